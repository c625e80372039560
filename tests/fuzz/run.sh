#!/usr/bin/env bash
# Builds the snapshot reader fuzzer (clang, libFuzzer, ASan+UBSan) and runs it
# for $1 seconds (default 60). Exits non-zero when it finds anything.
set -euo pipefail

seconds="${1:-60}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
build="${DREL_FUZZ_BUILD_DIR:-/tmp/build-snap-fuzz}"

# clang 16 or newer: older ones cannot compile std::expected from libstdc++.
clang_major() { "$1" -dumpversion 2>/dev/null | cut -d. -f1; }
find_clang() {
  local candidate
  for candidate in ${CXX:-} clang++ clang++-21 clang++-20 clang++-19 clang++-18 clang++-17 clang++-16; do
    if command -v "$candidate" >/dev/null 2>&1 && [[ "$(clang_major "$candidate")" -ge 16 ]] \
        && [[ "$("$candidate" --version)" == *clang* ]]; then
      command -v "$candidate"
      return 0
    fi
  done
  return 1
}
compiler="$(find_clang || true)"
if [[ -z "$compiler" ]]; then
  if [[ "$(id -u)" == 0 ]] && command -v apt-get >/dev/null 2>&1; then
    echo "run.sh: installing clang-16 with its libFuzzer runtime" >&2
    apt-get install -y -q clang-16 libclang-rt-16-dev >/dev/null
    compiler="$(find_clang)"
  else
    echo "run.sh: needs clang++ 16 or newer with libFuzzer (libclang-rt-16-dev)" >&2
    exit 2
  fi
fi

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" \
  -DDREL_BUILD_PYTHON=OFF -DDREL_BUILD_TESTS=OFF -DDREL_BUILD_FUZZER=ON -DDREL_SANITIZE=ON >/dev/null
ninja -C "$build" -j2 snapshot_reader_fuzz snapshot_fuzz_seeds >/dev/null

seeds="$build/seeds"
corpus="$build/corpus"
artifacts="$build/artifacts"
mkdir -p "$corpus" "$artifacts"
"$build/tests/fuzz/snapshot_fuzz_seeds" "$seeds"

# libFuzzer reports every new input it finds; that goes to a log, and only its
# final statistics (or, on a finding, the log's end) are shown.
log="$build/fuzz.log"
status=0
"$build/tests/fuzz/snapshot_reader_fuzz" \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len=16384 \
  -dict="$here/snapshot.dict" -artifact_prefix="$artifacts/" -print_final_stats=1 \
  "$corpus" "$seeds" >"$log" 2>&1 || status=$?
if [[ "$status" -ne 0 ]]; then
  tail -n 60 "$log"
  echo "run.sh: the fuzzer stopped with status $status; inputs in $artifacts, full log $log" >&2
  exit "$status"
fi
grep -E '^stat::(number_of_executed_units|peak_rss_mb|new_units_added)' "$log" || true
echo "run.sh: no finding in ${seconds}s"
