#!/usr/bin/env bash
# Exactness does not depend on the compiler nor on the vector unit: the
# deterministic stream of tests/determinism/stream.cpp (every class and
# configuration, one-sample and bulk) must print the same bytes when the core
# is built with GCC and with Clang, at -O2 and at -O3, each build run with its
# elementwise passes in their AVX2 build (where the processor has AVX2) and
# forced to the x86-64 baseline (DREL_ML_VECTOR=baseline). Builds only the
# core library and that program.
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

mkdir -p "$work"
digests=()
for compiler in g++ clang++-16; do
  for level in -O2 -O3; do
    name="$compiler$level"
    dir="$work/$name"
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" \
      -DDREL_BUILD_PYTHON=OFF -DDREL_BUILD_DETERMINISM=ON -DDREL_OPTIMIZE="$level" >/dev/null
    ninja -C "$dir" -j "$jobs" drel_determinism_stream >/dev/null
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
