#!/usr/bin/env bash
# The documentation site: built strictly (a broken link, a missing page or an
# API object that cannot be documented fails it), then every Python example of
# the pages and of the README run as tests, with the optional packages they use
# installed so that none of them is skipped for want of one.
set -euo pipefail

py="${DREL_PYTHON:?}"
root="${DREL_ROOT:?}"
work="${DREL_WORK:?}/docs"
rm -rf "$work"
mkdir -p "$work"

echo "-- install the docs, sklearn and dask extras"
# Only the extras' own dependencies: drel_ml itself is already in this venv.
"$py" "$root/scripts/suites/extras.py" docs sklearn dask > "$work/requirements.txt"
"$py" -m pip install -q -r "$work/requirements.txt"

echo "-- mkdocs build --strict"
(cd "$root" && NO_MKDOCS_2_WARNING=1 "$py" -m mkdocs build --strict --quiet --site-dir "$work/site")
echo "built $(find "$work/site" -name '*.html' | wc -l) pages into $work/site"

echo "-- the docs' examples"
# From outside the source tree, so that the installed packages are the ones used.
(cd "$work" && "$py" -m pytest "$root/tests/python/test_docs_examples.py" -q -p no:cacheprovider -rs)
