"""The griffe extension behind the API reference (docs/_ext/reference.py), on a small stub package."""

from __future__ import annotations

import sys
from pathlib import Path
from textwrap import dedent

import pytest

griffe = pytest.importorskip("griffe")
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "docs" / "_ext"))
from reference import DrelReference  # noqa: E402

STUB = '''\
"""A package; see :func:`fit`."""
from typing import Protocol, SupportsFloat, SupportsIndex, overload

_Real = SupportsFloat | SupportsIndex
_Either = int | str

class _Rows(Protocol):
    def __len__(self) -> int: ...

class Model: ...
class Scaler: ...

@overload
def fit(model: Model, X: _Rows, y: _Real) -> None:
    """Fit every row.

    Parameters
        model: the model or scaler.

    Raises
        All or nothing: the model is left as it was
        when a row is refused.
    """
@overload
def fit(model: Scaler, X: _Rows, y: None = None) -> None: ...
def pick(a: _Either, b: list[_Real]) -> _Real:
    """Pick one.

    Example:
        >>> pick(1, [2])
    """
'''


@pytest.fixture
def package(tmp_path: Path) -> griffe.Module:
    (tmp_path / "demo").mkdir()
    (tmp_path / "demo" / "__init__.pyi").write_text(STUB)
    extension = DrelReference(shown_as={"demo._Rows": "Sequence[float]"})
    loader = griffe.GriffeLoader(search_paths=[str(tmp_path)], extensions=griffe.load_extensions(extension),
                                 docstring_parser=griffe.Parser.google)
    return loader.load("demo")


def test_overloaded_function_gets_an_entry(package: griffe.Module) -> None:
    fit = package["fit"]
    assert [str(o.parameters["model"].annotation) for o in fit.overloads] == ["Model", "Scaler"]
    annotations = {p.name: str(p.annotation) for p in fit.parameters}
    assert annotations == {"model": "Model | Scaler", "X": "Sequence[float]",
                           "y": "SupportsFloat | SupportsIndex | None"}
    kinds = [section.kind.value for section in fit.docstring.parsed]
    assert kinds == ["text", "parameters", "text"]  # the prose Raises stays one paragraph


def test_private_aliases_show_their_value(package: griffe.Module) -> None:
    pick = package["pick"]
    assert str(pick.parameters["a"].annotation) == "int | str"
    assert str(pick.parameters["b"].annotation) == "list[SupportsFloat | SupportsIndex]"
    assert str(pick.returns) == "SupportsFloat | SupportsIndex"


def test_docstrings_are_rewritten(package: griffe.Module) -> None:
    assert package.docstring.value == "A package; see [`fit()`][demo.fit]."
    sections = package["pick"].docstring.parsed
    assert [s.kind.value for s in sections] == ["text", "examples"]


def test_private_name_without_a_display_warns(tmp_path: Path, caplog: pytest.LogCaptureFixture) -> None:
    (tmp_path / "bare").mkdir()
    (tmp_path / "bare" / "__init__.pyi").write_text(dedent("""\
        class _Hidden: ...
        def use(x: _Hidden) -> None: ...
        """))
    loader = griffe.GriffeLoader(search_paths=[str(tmp_path)], extensions=griffe.load_extensions(DrelReference()))
    loader.load("bare")
    assert "bare._Hidden" in caplog.text


def test_aliases_of_a_private_module_show_their_value(tmp_path: Path) -> None:
    (tmp_path / "kinds").mkdir()
    (tmp_path / "kinds" / "_roles.pyi").write_text(dedent("""\
        from typing import Literal, TypeVar, Union
        class A: ...
        class B: ...
        Either = Union[A, B]
        Name = Literal["a", "b"]
        Same = TypeVar("Same", A, B)
        """))
    (tmp_path / "kinds" / "__init__.pyi").write_text(dedent("""\
        from kinds._roles import A, B, Either, Name, Same
        def read(x: Either, name: Name = "a") -> list[Either]: ...
        def merge(a: Same, b: Same) -> Same: ...
        """))
    loader = griffe.GriffeLoader(search_paths=[str(tmp_path)], extensions=griffe.load_extensions(DrelReference()))
    package = loader.load("kinds")
    read = package["read"]
    assert str(read.parameters["x"].annotation) == "A | B"
    assert str(read.parameters["name"].annotation) == "Literal['a', 'b']"
    assert str(read.returns) == "list[A | B]"
    assert str(package["merge"].parameters["a"].annotation) == "Same"  # a TypeVar keeps its name


def test_a_literal_kept_out_of_all_shows_its_value(tmp_path: Path) -> None:
    (tmp_path / "public").mkdir()
    (tmp_path / "public" / "__init__.pyi").write_text(dedent("""\
        from typing import Literal, Union
        __all__ = ["fit", "Shown"]
        class A: ...
        class B: ...
        Kind = Literal["x", "y"]
        Alias = Kind
        Both = Union[A, B]
        Shown = Literal["z"]
        def fit(kind: Kind, alias: Alias, both: Both, shown: Shown) -> None: ...
        """))
    loader = griffe.GriffeLoader(search_paths=[str(tmp_path)], extensions=griffe.load_extensions(DrelReference()))
    fit = loader.load("public")["fit"]
    shown = {p.name: str(p.annotation) for p in fit.parameters}
    assert shown == {"kind": "Literal['x', 'y']", "alias": "Literal['x', 'y']",
                     "both": "Both", "shown": "Shown"}  # a union or an exported name keeps its name
