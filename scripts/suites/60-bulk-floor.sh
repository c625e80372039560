#!/usr/bin/env bash
# The bulk benchmark as a check: build its unchecked floor loops, verify that
# they produce bit for bit the weights, scaler state and predictions of
# learn_many / predict_many (an independent check of the core's bulk
# arithmetic), and run every benchmark row once (--quick: the figures are not
# judged here).
set -euo pipefail
dir="$DREL_WORK/bulk-floor"
rm -rf "$dir" && mkdir -p "$dir"
cmake -S "$DREL_ROOT" -B "$dir" -G Ninja -DDREL_BUILD_PYTHON=OFF -DDREL_BUILD_BENCH_EXT=ON \
  -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$DREL_PYTHON" >/dev/null
cmake --build "$dir" --target drel_bench_bulk_floor -j "$DREL_JOBS" >/dev/null
cd "$dir"
PYTHONPATH="$dir" "$DREL_PYTHON" "$DREL_ROOT/benchmarks/bench_bulk.py" --quick
