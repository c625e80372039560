#!/usr/bin/env bash
# The scikit-learn estimators and the plotted example. Installs the `sklearn` and
# `examples` extras (read from pyproject.toml, so drel_ml itself is not rebuilt), with
# joblib, pandas (scikit-learn's checks of data frames) and river (the example's peer), then
# runs scikit-learn's estimator checks and our tests with no test left skipped.
set -euo pipefail
: "${DREL_ROOT:?}" "${DREL_WORK:?}" "${DREL_PYTHON:?}"

mapfile -t extras < <("$DREL_PYTHON" "$DREL_ROOT/scripts/suites/extras.py" sklearn examples)
"$DREL_PYTHON" -m pip install -q "${extras[@]}" joblib pandas river

log="$DREL_WORK/sklearn-suite.log"
cd "$DREL_WORK"
MPLBACKEND=Agg "$DREL_PYTHON" -m pytest -q -rs -p no:cacheprovider \
  "$DREL_ROOT/tests/python/test_sklearn.py" "$DREL_ROOT/tests/python/test_examples.py" | tee "$log"
if grep -qE '[0-9]+ skipped' "$log"; then
  echo "40-sklearn: tests were skipped (see above); every check must run here" >&2
  exit 1
fi
