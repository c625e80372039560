#!/usr/bin/env bash
# Training on a Dask cluster: installs the `dask` extra's packages into the test
# venv, then runs the merge tests, the cluster tests (a LocalCluster of two
# worker processes over a million generated rows; about a minute) and the
# errors' tests on Dask's synchronous scheduler.
set -euo pipefail
"$DREL_PYTHON" -m pip install -q --disable-pip-version-check 'dask[dataframe,distributed]>=2024.1'
# The cluster tests skip without Dask; here a missing Dask is a failure.
"$DREL_PYTHON" -c 'import dask.dataframe, distributed'
cd "$DREL_WORK"
"$DREL_PYTHON" -m pytest -q -p no:cacheprovider \
  "$DREL_ROOT/tests/python/test_merge.py" "$DREL_ROOT/tests/python/test_dask.py" \
  "$DREL_ROOT/tests/python/test_dask_errors.py"
