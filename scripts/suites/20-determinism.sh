#!/usr/bin/env bash
# Exactness does not depend on the compiler nor on the vector unit: the
# deterministic stream of tests/determinism/stream.cpp (every class and
# configuration, one-sample and bulk) must print the same bytes when the core
# is built with GCC and with Clang, at -O2 and at -O3, each build run with its
# elementwise passes in their AVX2 build (where the processor has AVX2) and
# forced to the x86-64 baseline (DREL_ML_VECTOR=baseline). Builds only the
# core library and that program; the GCC -O2 case is the C++ core suite's
# Release build (DREL_CORE_BUILD) when there is one with those flags.
set -euo pipefail

root="${DREL_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}"
work="${DREL_WORK:-$root/build/test}/determinism"
jobs="${DREL_JOBS:-2}"

if ! command -v clang++-16 >/dev/null 2>&1; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "installing clang-16"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq clang-16 >/dev/null
fi

# A build folder's cached setting, empty when it has none.
cached() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt" 2>/dev/null; }

# The core suite's build holds the very library of the GCC -O2 case when it was
# configured as a Release build by GCC at -O2: the stream is added to it, so
# that the core is not compiled once more.
core="${DREL_CORE_BUILD:-}"
if [ -z "$core" ] || [ "$(readlink -f "$(cached "$core" CMAKE_CXX_COMPILER)")" != "$(readlink -f "$(command -v g++)")" ] ||
   [ "$(cached "$core" DREL_OPTIMIZE)" != -O2 ] || [ "$(cached "$core" DREL_SANITIZE)" = ON ] ||
   ! [[ "$(cached "$core" CMAKE_BUILD_TYPE)" =~ ^(Release)?$ ]]; then
  core=""
fi

mkdir -p "$work"
digests=()
for compiler in g++ clang++-16; do
  for level in -O2 -O3; do
    name="$compiler$level"
    dir="$work/$name"
    if [ "$name" = g++-O2 ] && [ -n "$core" ]; then
      cmake -S "$root" -B "$core" -DDREL_BUILD_DETERMINISM=ON >/dev/null
      ninja -C "$core" -j "$jobs" drel_determinism_stream >/dev/null
      mkdir -p "$dir"
      ln -sf "$core/drel_determinism_stream" "$dir/drel_determinism_stream"
    else
      cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" \
        -DDREL_BUILD_PYTHON=OFF -DDREL_BUILD_DETERMINISM=ON -DDREL_OPTIMIZE="$level" >/dev/null
      ninja -C "$dir" -j "$jobs" drel_determinism_stream >/dev/null
    fi
    # The program itself fails when a bulk call and its one-sample loop differ.
    for vector in native baseline; do
      out="$dir/stream-$vector.txt"
      if [ "$vector" = baseline ]; then
        DREL_ML_VECTOR=baseline "$dir/drel_determinism_stream" > "$out"
      else
        "$dir/drel_determinism_stream" > "$out"
      fi
      digest=$(sha256sum < "$out" | cut -d' ' -f1)
      printf '%-16s %-8s %s  (%s lines)\n' "$name" "$vector" "$digest" "$(wc -l < "$out")"
      digests+=("$digest")
    done
  done
done

for digest in "${digests[@]}"; do
  if [ "$digest" != "${digests[0]}" ]; then
    echo "the builds disagree; first differing lines against g++-O2:" >&2
    for other in "$work"/*/stream-*.txt; do
      cmp "$work/g++-O2/stream-native.txt" "$other" >&2 || true
    done
    exit 1
  fi
done
if grep -qw avx2 /proc/cpuinfo 2>/dev/null; then
  native="AVX2 and baseline vector passes"
else
  native="baseline vector passes only (this processor has no AVX2)"
fi
echo "all four builds print the same stream with $native: sha256 ${digests[0]}"
