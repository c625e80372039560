#!/usr/bin/env bash
# The documentation site: built strictly (a broken link, a missing page, an API
# object that cannot be documented or a private name in a signature fails it),
# served on 127.0.0.1 and read in headless Chromium (tests/docs: rendered
# examples, no literal Sphinx roles or private names, no broken links), and
# every Python example of the pages and of the README run as tests, with the
# optional packages they use installed so that none of them is skipped for want
# of one. A screenshot of each reference page is kept in $DREL_WORK/docs-artifacts.
set -euo pipefail

py="${DREL_PYTHON:?}"
root="${DREL_ROOT:?}"
work="${DREL_WORK:?}/docs"
artifacts="${DREL_WORK:?}/docs-artifacts"
rm -rf "$work" "$artifacts"
mkdir -p "$work" "$artifacts"

echo "-- install the docs, sklearn and dask extras"
# Only the extras' own dependencies: drel_ml itself is already in this venv.
"$py" "$root/scripts/suites/extras.py" docs sklearn dask > "$work/requirements.txt"
"$py" -m pip install -q -r "$work/requirements.txt"

if ! command -v chromium >/dev/null 2>&1; then
  echo "-- install Debian's chromium"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq chromium chromium-driver >/dev/null
fi

echo "-- mkdocs build --strict"
(cd "$root" && "$py" -m mkdocs build --strict --site-dir "$work/site") 2>&1 | tee "$work/build.log"
# The theme is pinned to a release that prints no end-of-life notice; a newer
# one would print it on every build.
if grep -qi "end of life" "$work/build.log"; then
  echo "the docs theme prints an end-of-life notice: keep the pin of the docs extra" >&2
  exit 1
fi
echo "built $(find "$work/site" -name '*.html' | wc -l) pages into $work/site"

echo "-- the rendered site in Chromium, and the docs' examples"
echo "screenshot of the API reference (written by tests/docs): $artifacts/reference.png"
# From outside the source tree, so that the installed packages are the ones used.
(cd "$work" && DREL_DOCS_SITE="$work/site" DREL_DOCS_ARTIFACTS="$artifacts" \
  "$py" -m pytest "$root/tests/docs" "$root/tests/python/test_docs_examples.py" -q -p no:cacheprovider -rs)
