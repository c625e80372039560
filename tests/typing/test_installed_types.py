"""The installed distribution carries its types and licence, and every example
in the stubs' and drel_ml_ext's docstrings runs as written."""

from __future__ import annotations

import ast
import doctest
import importlib.metadata
from pathlib import Path

import pytest

import drel_ml_ext
from drel_ml_ext import _config, _load, _pickling

DISTRIBUTION = "drel_ml"


def installed_file(suffix: str) -> Path:
    files = importlib.metadata.files(DISTRIBUTION) or []
    matches = [f for f in files if str(f).replace("\\", "/").endswith(suffix)]
    assert matches, f"{suffix} is not part of the installed {DISTRIBUTION}"
    return Path(str(matches[0].locate()))


def stub_docstrings() -> list[tuple[str, str]]:
    """(qualified name, docstring) of the stub module and of every class and function in it."""
    tree = ast.parse(installed_file("drel_ml-stubs/__init__.pyi").read_text())
    found: list[tuple[str, str]] = []

    def visit(node: ast.AST, prefix: str) -> None:
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.ClassDef, ast.FunctionDef)):
                name = f"{prefix}.{child.name}"
                doc = ast.get_docstring(child, clean=False)
                if doc:
                    found.append((name, doc))
                visit(child, name)

    module_doc = ast.get_docstring(tree, clean=False)
    if module_doc:
        found.append(("drel_ml", module_doc))
    visit(tree, "drel_ml")
    return found


def run_examples(name: str, doc: str) -> None:
    test = doctest.DocTestParser().get_doctest(doc, {}, name, None, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0, f"{runner.failures} example(s) of {name} failed (see above)"


def test_stub_package_and_licence_are_installed() -> None:
    assert installed_file("drel_ml-stubs/__init__.pyi").stat().st_size > 0
    assert installed_file("drel_ml_ext/py.typed").exists()
    assert "MIT License" in installed_file("LICENSE").read_text()


def test_version_is_the_distribution_version() -> None:
    assert drel_ml_ext.__version__ == importlib.metadata.version(DISTRIBUTION)
    assert drel_ml_ext.__version__[0].isdigit()


def test_every_public_stub_member_is_documented() -> None:
    documented = {name for name, _ in stub_docstrings()}
    tree = ast.parse(installed_file("drel_ml-stubs/__init__.pyi").read_text())
    for cls in (n for n in tree.body if isinstance(n, ast.ClassDef) and not n.name.startswith("_")):
        assert f"drel_ml.{cls.name}" in documented
        for member in cls.body:
            if isinstance(member, ast.FunctionDef):
                assert f"drel_ml.{cls.name}.{member.name}" in documented


@pytest.mark.parametrize(("name", "doc"), stub_docstrings(), ids=lambda v: str(v)[:40])
def test_stub_examples_run(name: str, doc: str) -> None:
    run_examples(name, doc)


@pytest.mark.parametrize("module", [drel_ml_ext, _config, _load, _pickling], ids=lambda m: m.__name__)
def test_drel_ml_ext_examples_run(module: object) -> None:
    finder = doctest.DocTestFinder()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for test in finder.find(module):
        runner.run(test)
    assert runner.failures == 0
