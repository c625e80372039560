#!/usr/bin/env bash
# The scikit-learn estimators, the river adapters, the feature hasher and the metrics
# against their peers, and the plotted example. Installs the `sklearn`, `river` and
# `examples` extras (read from pyproject.toml, so drel_ml itself is not rebuilt), with
# joblib, pandas (scikit-learn's checks of data frames) and scipy (the hasher's matrices),
# then runs scikit-learn's and river's estimator checks and our tests with no test left
# skipped.
set -euo pipefail
: "${DREL_ROOT:?}" "${DREL_WORK:?}" "${DREL_PYTHON:?}"

mapfile -t extras < <("$DREL_PYTHON" "$DREL_ROOT/scripts/suites/extras.py" sklearn river examples)
"$DREL_PYTHON" -m pip install -q "${extras[@]}" joblib pandas scipy

log="$DREL_WORK/sklearn-suite.log"
cd "$DREL_WORK"
SCIPY_ARRAY_API=1 MPLBACKEND=Agg "$DREL_PYTHON" -m pytest -q -rs -p no:cacheprovider \
  "$DREL_ROOT/tests/python/test_sklearn.py" "$DREL_ROOT/tests/python/test_examples.py" \
  "$DREL_ROOT/tests/python/test_river.py" "$DREL_ROOT/tests/python/test_column_hasher.py" \
  "$DREL_ROOT/tests/python/test_feature_hasher.py" "$DREL_ROOT/tests/python/test_metric_agreement.py" \
  | tee "$log"
if grep -qE '[0-9]+ skipped' "$log"; then
  echo "40-sklearn: tests were skipped (see above); every check must run here" >&2
  exit 1
fi
