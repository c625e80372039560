#!/usr/bin/env bash
# The core as a C++ package: install it (headers, static library, CMake config)
# into a scratch prefix, build examples/cpp against the installed package, run it
# on a generated CSV file, and check that Python's drel_ml, fed the same rows,
# ends in the very same snapshot text.
set -euo pipefail
dir="$DREL_WORK/cpp-package"
prefix="$dir/prefix"
rm -rf "$dir" && mkdir -p "$dir"

cmake -S "$DREL_ROOT" -B "$dir/core" -G Ninja -DDREL_BUILD_PYTHON=OFF \
  -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$dir/core" -j "$DREL_JOBS" >/dev/null
cmake --install "$dir/core" >/dev/null
test -f "$prefix/lib/cmake/drel_ml/drel_mlConfig.cmake"

# Exactly the headers <drel_ml.hpp> includes are installed, no internal one.
installed=$(cd "$prefix/include/drel_ml" && find . -name '*.hpp' | sed 's|^\./||' | sort)
included=$(cd "$DREL_ROOT/src" && "${CXX:-c++}" -std=c++23 -I. -MM drel_ml.hpp |
  tr ' \\' '\n\n' | grep '\.hpp$' | sort -u)
if [ "$installed" != "$included" ]; then
  echo "installed headers differ from those <drel_ml.hpp> includes:" >&2
  diff <(echo "$installed") <(echo "$included") >&2 || true
  exit 1
fi
echo "C++ package: $(echo "$installed" | wc -l) public headers installed"

cmake -S "$DREL_ROOT/examples/cpp" -B "$dir/example" -G Ninja \
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$dir/example" >/dev/null
"$dir/example/own_macros"

"$DREL_PYTHON" - "$dir/data.csv" <<'PY'
import random, sys
rng = random.Random(7)
with open(sys.argv[1], "w") as f:
    f.write("x0,x1,x2,y\n")
    for i in range(2000):
        x = [rng.gauss(0, 1) * s for s in (1.0, 10.0, 0.1)]
        if i == 1000:
            x[1] = float("nan")          # a rejected row: the stream goes on
        y = 3.0 * x[0] - 0.2 * x[1] + 7.0 * x[2] + 1.5 + rng.gauss(0, 0.1)
        f.write(",".join(repr(v) for v in (*x, y)) + "\n")
PY
"$dir/example/stream_csv" "$dir/data.csv" "$dir/model.json" 0.01 | tail -n 3

"$DREL_PYTHON" - "$dir/data.csv" "$dir/model.json" <<'PY'
import sys
import drel_ml
rows = [list(map(float, line.split(","))) for line in open(sys.argv[1]).read().splitlines()[1:]]
model = drel_ml.RegressionPipeline(3, 0.01)
for *x, y in rows:
    try:
        model.learn_one(x, y)
    except RuntimeError:
        pass
saved = open(sys.argv[2]).read()
assert drel_ml.RegressionPipeline.from_json(saved).to_json() == saved
assert model.to_json() == saved, "the C++ program and drel_ml disagree"
print("C++ package: the example's snapshot equals drel_ml's, byte for byte")
PY
