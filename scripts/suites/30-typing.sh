#!/usr/bin/env bash
# Types. stubtest checks the drel_ml-stubs package against the module itself;
# mypy --strict and basedpyright check drel_ml_ext, the examples and the typed
# usage file tests/typing/usage.py; then that file runs, and tests/typing checks
# the installed distribution (stubs, py.typed, licence, __version__) and runs
# every example written in the stubs' and drel_ml_ext's docstrings.
set -euo pipefail

root="${DREL_ROOT:?}" work="${DREL_WORK:?}" py="${DREL_PYTHON:?}"
bin=$(dirname "$py")

# The typing extra's requirements, without reinstalling drel_ml itself, and the
# libraries the integrations and examples import, so that their types are checked
# against the real ones rather than read as Any.
mapfile -t requirements < <("$py" "$root/scripts/suites/extras.py" typing sklearn dask river examples)
"$py" -m pip install -q "${requirements[@]}" scipy pandas

# Every check runs, so that one report shows all failures; the suite fails if any did.
failed=()
check() {
  local name="$1"; shift
  echo "-- $name"
  "$@" || failed+=("$name")
}

cd "$root"
check "stubtest drel_ml" "$py" -m mypy.stubtest drel_ml --mypy-config-file tests/typing/mypy.ini
check "mypy --strict" "$py" -m mypy --config-file tests/typing/mypy.ini \
  --cache-dir "$work/mypy-cache" python/drel_ml_ext examples tests/typing
check "basedpyright" "$bin/basedpyright" --pythonpath "$py" --project tests/typing/pyrightconfig.json

cd "$work"
check "typed usage runs" "$py" "$root/tests/typing/usage.py"
check "installed types and docstring examples" \
  "$py" -m pytest -q -p no:cacheprovider "$root/tests/typing"

if [ ${#failed[@]} -gt 0 ]; then
  printf 'typing checks failed: %s\n' "${failed[*]}" >&2
  exit 1
fi
