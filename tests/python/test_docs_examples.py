"""Every Python example of the documentation runs, as the reader would run it.

The fenced ``python`` (or ``py``, ``pycon``) blocks of docs/**/*.md and of
README.md are collected in page order. A page is one session: its blocks run
one after the other in one namespace, so a later block may use what an earlier
one defined. A block whose first line starts with ``>>>`` is checked with
doctest (its printed results must match); any other block is executed and
must not raise.

A block is skipped when
- the line before its fence is ``<!-- no-run -->`` (for placeholders such as
  an undefined ``stream``; such a block does not run at all), or
- it imports an optional package that is not installed (scikit-learn, Dask,
  ...), or it reads a name that such a skipped block of its page defines.
"""

from __future__ import annotations

import ast
import doctest
import importlib.util
import io
import os
import re
from dataclasses import dataclass, field
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PAGES = [*sorted((ROOT / "docs").glob("**/*.md")), ROOT / "README.md"]

LANGUAGES = {"python", "py", "pycon", "python3"}
NO_RUN = "<!-- no-run -->"
FENCE = re.compile(r"^(?P<indent>[ \t]*)(?P<fence>`{3,}|~{3,})[ \t]*(?P<info>[^`]*)$")

# Top-level modules that an example may need and a test run may lack, and
# drel_ml_ext's submodules that need one of them.
OPTIONAL = {"numpy", "scipy", "sklearn", "joblib", "dask", "distributed", "pandas", "matplotlib", "river"}
NEEDS = {
    "drel_ml_ext.sklearn": ("sklearn",),
    "drel_ml_ext.dask": ("dask", "distributed", "pandas"),
    "drel_ml_ext.river": ("river",),
}


@dataclass
class Block:
    page: Path
    line: int  # 1-based line of the block's first code line
    code: str
    no_run: bool

    @property
    def is_doctest(self) -> bool:
        return self.code.lstrip().startswith(">>>")

    @property
    def id(self) -> str:
        return f"{self.page.relative_to(ROOT)}:{self.line}"

    def source(self) -> str:
        """The Python source of the block (the examples' source for doctest)."""
        if not self.is_doctest:
            return self.code
        examples = doctest.DocTestParser().get_examples(self.code)
        return "".join(example.source for example in examples)

    def tree(self) -> ast.Module:
        try:
            return ast.parse(self.source())
        except SyntaxError:
            return ast.Module(body=[], type_ignores=[])  # reported when the block runs

    def names(self, context: type[ast.expr_context]) -> set[str]:
        """The names the block binds (ast.Store) or reads (ast.Load)."""
        found = {n.id for n in ast.walk(self.tree()) if isinstance(n, ast.Name) and isinstance(n.ctx, context)}
        if context is ast.Store:
            for node in ast.walk(self.tree()):
                if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
                    found.add(node.name)
                elif isinstance(node, (ast.Import, ast.ImportFrom)):
                    found.update((a.asname or a.name).split(".")[0] for a in node.names)
        return found

    def missing_packages(self) -> list[str]:
        tree = self.tree()
        wanted: set[str] = set()
        for node in ast.walk(tree):
            if isinstance(node, ast.Import):
                names = [alias.name for alias in node.names]
            elif isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
                names = [node.module]
            else:
                continue
            for name in names:
                top = name.split(".")[0]
                if top in OPTIONAL:
                    wanted.add(top)
                for module, packages in NEEDS.items():
                    if name == module or name.startswith(module + "."):
                        wanted.update(packages)
        return sorted(p for p in wanted if importlib.util.find_spec(p) is None)


def blocks_of(page: Path) -> list[Block]:
    blocks: list[Block] = []
    lines = page.read_text(encoding="utf-8").splitlines()
    i = 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if not opening:
            i += 1
            continue
        indent, fence = opening["indent"], opening["fence"]
        words = opening["info"].strip().lstrip("{").split()
        language = words[0].lstrip(".").lower() if words else ""
        previous = next((lines[j].strip() for j in range(i - 1, -1, -1) if lines[j].strip()), "")
        start = i + 1
        i = start
        while i < len(lines):
            closing = FENCE.match(lines[i])
            if closing and closing["fence"][0] == fence[0] and len(closing["fence"]) >= len(fence) \
                    and not closing["info"].strip():
                break
            i += 1
        if language in LANGUAGES:
            body = [line[len(indent):] if line.startswith(indent) else line.lstrip() for line in lines[start:i]]
            blocks.append(Block(page, start + 1, "\n".join(body) + "\n", previous == NO_RUN))
        i += 1
    return blocks


PAGE_BLOCKS = {page: blocks_of(page) for page in PAGES if page.exists()}
BLOCKS = [block for blocks in PAGE_BLOCKS.values() for block in blocks]


@dataclass
class PageSession:
    """The namespace of one page and how far its blocks have run."""

    workdir: Path
    namespace: dict[str, object] = field(default_factory=lambda: {"__name__": "docs_example"})
    done: int = 0  # blocks of the page run (or skipped) so far
    stop: str | None = None  # set when a block failed: every later block is skipped
    # Names bound by blocks skipped for a missing package: a later block that
    # reads one of them is skipped too, with the same reason.
    unbound: dict[str, str] = field(default_factory=dict)


SESSIONS: dict[Path, PageSession] = {}


def run(block: Block, session: PageSession) -> None:
    """Run one block in its page's namespace, from the page's own folder."""
    here = os.getcwd()
    os.chdir(session.workdir)
    try:
        if block.is_doctest:
            test = doctest.DocTestParser().get_doctest(
                block.code, session.namespace, block.id, str(block.page), block.line - 1
            )
            test.globs = session.namespace  # shared with the page's other blocks, not a copy
            runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
            report = io.StringIO()
            runner.run(test, out=report.write, clear_globs=False)
            if runner.failures:
                pytest.fail(f"{block.id}: doctest failed\n{report.getvalue()}", pytrace=False)
        else:
            # Leading blank lines make tracebacks point at the page's own lines.
            code = compile("\n" * (block.line - 1) + block.code, str(block.page), "exec")
            exec(code, session.namespace)
    finally:
        os.chdir(here)


def step(block: Block, session: PageSession) -> str | None:
    """Run one block in its page's session; return why it was skipped, or None."""
    if block.no_run:
        return f"{NO_RUN} placeholder"
    if session.stop is not None:
        return session.stop
    if missing := block.missing_packages():
        reason = f"{block.id} needs {', '.join(missing)}"
        session.unbound.update(dict.fromkeys(block.names(ast.Store), reason))
        return reason
    if needed := (block.names(ast.Load) - block.names(ast.Store)) & session.unbound.keys():
        reason = session.unbound[min(needed)]
        session.unbound.update(dict.fromkeys(block.names(ast.Store), reason))
        return reason
    try:
        run(block, session)
    except BaseException:
        session.stop = f"the earlier block {block.id} failed"
        raise
    return None


@pytest.mark.parametrize("block", BLOCKS, ids=[b.id for b in BLOCKS])
def test_example_runs(block: Block, tmp_path_factory: pytest.TempPathFactory) -> None:
    blocks = PAGE_BLOCKS[block.page]
    target = blocks.index(block)
    session = SESSIONS.get(block.page)
    if session is None or session.done > target:  # a new page, or a selection re-running one
        session = SESSIONS[block.page] = PageSession(tmp_path_factory.mktemp("page"))
    # Blocks left out by a selection still run first: later ones may need them.
    for earlier in blocks[session.done : target]:
        session.done += 1
        step(earlier, session)
    session.done += 1
    reason = step(block, session)
    if reason is not None:
        pytest.skip(reason)


def test_pages_have_examples() -> None:
    """The collection itself works: every page with code has a block found."""
    assert (ROOT / "docs").is_dir(), "docs/ is missing"
    for page in PAGES:
        text = page.read_text(encoding="utf-8")
        if re.search(r"^[ \t]*```(python|py|pycon)\b", text, re.MULTILINE):
            assert blocks_of(page), f"{page}: fenced Python found but no block collected"
