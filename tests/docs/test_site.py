"""The built documentation site, served on 127.0.0.1 and read in headless Chromium.

Run by scripts/suites/60-docs.sh after ``mkdocs build --strict``:

    DREL_DOCS_SITE=<site dir> DREL_DOCS_ARTIFACTS=<folder> pytest tests/docs

The API reference pages must read as rendered documentation: examples as
highlighted code, no Sphinx role or private name left as text, every internal
link answered by the server. A screenshot of each reference page is kept in
DREL_DOCS_ARTIFACTS.
"""

from __future__ import annotations

import functools
import http.server
import os
import re
import shutil
import subprocess
import tempfile
import threading
import urllib.error
import urllib.parse
import urllib.request
from collections.abc import Iterator
from pathlib import Path

import pytest

from page_dom import Element, parse

SITE = Path(os.environ.get("DREL_DOCS_SITE", "site"))
ARTIFACTS = Path(os.environ.get("DREL_DOCS_ARTIFACTS", "docs-artifacts"))
REFERENCE_PAGES = sorted(p.parent.name for p in (SITE / "reference").glob("*/index.html"))
# The first of the reference pages, the screenshot CI keeps as reference.png.
MAIN_REFERENCE_PAGE = "drel_ml"
BULK_FUNCTIONS = ["learn_many", "predict_many", "predict_proba_many", "transform_many", "update_many"]

LITERAL_ROLE = re.compile(r":(?:py:)?(?:func|meth|class|mod|attr|exc|data|obj|const|type):")
# A private name standing on its own: `_Real`, not `drel_ml_ext._native` nor `__new__`.
PRIVATE_NAME = re.compile(r"(?<![\w.])_[A-Za-z]\w*")
# A numpy section underline that the parser did not read.
UNDERLINE = re.compile(r"^\s*-{4,}\s*$", re.MULTILINE)

pytestmark = pytest.mark.skipif(not REFERENCE_PAGES, reason=f"no built site at {SITE} (set DREL_DOCS_SITE)")


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format: str, *args: object) -> None:
        pass


@pytest.fixture(scope="session")
def server() -> Iterator[str]:
    """The site served on 127.0.0.1, on a port the system picks."""
    handler = functools.partial(_QuietHandler, directory=str(SITE))
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{httpd.server_address[1]}/"
    httpd.shutdown()
    httpd.server_close()


def _chromium_binary() -> str:
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if path := shutil.which(name):
            return path
    pytest.fail("no Chromium on PATH (the docs suite installs Debian's chromium)")


def chromium(url: str, *args: str) -> str:
    """Run headless Chromium on ``url`` with ``args``; its standard output."""
    with tempfile.TemporaryDirectory(prefix="drel-chromium-") as profile:
        result = subprocess.run(
            [_chromium_binary(), "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
             "--no-first-run", "--hide-scrollbars", f"--user-data-dir={profile}", *args, url],
            capture_output=True, text=True, timeout=60, check=False,
        )
    assert result.returncode == 0, f"chromium failed on {url}:\n{result.stderr[-2000:]}"
    return result.stdout


@functools.cache
def _rendered(url: str) -> Element:
    return parse(chromium(url, "--dump-dom"))


def article(server: str, page: str) -> Element:
    """The main content of a reference page, as the browser rendered it."""
    found = _rendered(f"{server}reference/{page}/").find_all("article")
    assert found, f"reference/{page}: no <article> in the rendered page"
    return found[0]


def prose(root: Element) -> str:
    """The text of ``root`` outside code blocks, signatures included."""
    return "".join(
        text for text, holder in root.texts() if not holder.within("pre") or holder.within(cls="doc-signature")
    )


@pytest.mark.parametrize("page", REFERENCE_PAGES)
def test_no_literal_role_or_private_name(server: str, page: str) -> None:
    root = article(server, page)
    text = root.text()
    assert not LITERAL_ROLE.findall(text), f"reference/{page}: Sphinx roles left as text: {LITERAL_ROLE.findall(text)}"
    private = sorted(set(PRIVATE_NAME.findall(prose(root))))
    assert not private, f"reference/{page}: private names shown: {private}"
    entries = [h.attrs["id"] for h in root.find_all(cls="doc-heading") if "id" in h.attrs]
    hidden = [e for e in entries if PRIVATE_NAME.fullmatch(e.rsplit(".", 1)[-1])]
    assert not hidden, f"reference/{page}: private entries: {hidden}"


@pytest.mark.parametrize("page", REFERENCE_PAGES)
def test_examples_are_highlighted_code(server: str, page: str) -> None:
    root = article(server, page)
    assert not root.find_all("blockquote"), f"reference/{page}: a blockquote (a doctest read as quotes?)"
    stray = [holder.text()[:80] for text, holder in root.texts() if ">>>" in text and not holder.within("pre")]
    assert not stray, f"reference/{page}: '>>>' outside code blocks: {stray[:3]}"
    prompts = [holder for text, holder in root.texts() if text.startswith(">>>")]
    plain = [p.text()[:80] for p in prompts if not (p.within(cls="gp") and p.within("div", "highlight"))]
    assert not plain, f"reference/{page}: doctest prompts not highlighted: {plain[:3]}"


@pytest.mark.parametrize("page", REFERENCE_PAGES)
def test_sections_are_parsed(server: str, page: str) -> None:
    root = article(server, page)
    assert not UNDERLINE.search(prose(root)), f"reference/{page}: a numpy section underline shown as text"
    # Read as Markdown, "Parameters" over a line of dashes is a heading of its own.
    headings = [h.text().strip() for h in root.find_all()
                if re.fullmatch(r"h[1-6]", h.tag) and "doc-heading" not in h.classes and h.within(cls="doc-contents")]
    assert not headings, f"reference/{page}: docstring sections read as headings: {headings[:5]}"
    titles = [t.text() for t in root.find_all(cls="doc-section-title")]
    tables = root.find_all("table")
    parameter_sections = titles.count("Parameters:") + titles.count("Attributes:")
    assert len(tables) >= parameter_sections, f"reference/{page}: {parameter_sections} sections, {len(tables)} tables"


def test_estimator_parameters_are_tables(server: str) -> None:
    root = article(server, "drel_ml_ext-sklearn")
    cells = {cell.text().strip() for cell in root.find_all("td")}
    assert {"learning_rate", "epochs", "model_", "coef_", "with_mean", "scaler_"} <= cells


def test_bulk_functions_have_entries(server: str) -> None:
    ids = {e.attrs.get("id") for e in article(server, "drel_ml_ext").find_all(cls="doc-heading")}
    missing = [name for name in BULK_FUNCTIONS if f"drel_ml_ext.{name}" not in ids]
    assert not missing, f"no entry for {missing}"


def _links(html: str) -> list[str]:
    return re.findall(r"""(?:href|src)="([^"]*)\"""", html)


def _fetch(url: str) -> tuple[int, str]:
    try:
        with urllib.request.urlopen(url, timeout=10) as response:
            body = response.read()
            kind = response.headers.get_content_type()
            return response.status, body.decode("utf-8", "replace") if kind == "text/html" else ""
    except urllib.error.HTTPError as error:
        return error.code, ""


def test_internal_links_resolve(server: str) -> None:
    """Every internal link of every page is served, and its anchor exists on its page."""
    pages: dict[str, str] = {}
    pending = [server]
    broken: list[str] = []
    anchors: list[tuple[str, str, str]] = []
    while pending:
        url = pending.pop()
        if url in pages:
            continue
        status, html = _fetch(url)
        pages[url] = html
        if status != 200:
            broken.append(f"{url}: HTTP {status}")
            continue
        for link in _links(html):
            target = urllib.parse.urljoin(url, link)
            if not target.startswith(server):
                continue  # another site
            page, _, fragment = target.partition("#")
            if fragment:
                anchors.append((url, page, urllib.parse.unquote(fragment)))
            if page not in pages and (page.endswith("/") or page.endswith(".html")):
                pending.append(page)
            elif page not in pages:
                code, _ = _fetch(page)
                pages[page] = ""
                if code != 200:
                    broken.append(f"{url} -> {link}: HTTP {code}")
    for origin, page, fragment in anchors:
        if pages.get(page) and f'id="{fragment}"' not in pages[page]:
            broken.append(f"{origin} -> {page}#{fragment}: no such anchor")
    assert len(pages) > 10, f"only {len(pages)} pages reached from {server}"
    assert not broken, "broken links:\n" + "\n".join(broken[:20])


@pytest.mark.parametrize("page", REFERENCE_PAGES)
def test_screenshot(server: str, page: str) -> None:
    """A picture of the page's top as a reader sees it; the main one is reference.png."""
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    path = ARTIFACTS / ("reference.png" if page == MAIN_REFERENCE_PAGE else f"reference-{page}.png")
    path.unlink(missing_ok=True)
    chromium(f"{server}reference/{page}/", "--window-size=1280,2600", f"--screenshot={path.resolve()}")
    assert path.stat().st_size > 50_000, f"{path}: the screenshot looks empty"
    print(f"screenshot of reference/{page}: {path.resolve()}")
