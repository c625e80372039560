"""The docstring rewriting behind the API reference (docs/_ext/docstring_text.py)."""

from __future__ import annotations

import sys
from pathlib import Path
from textwrap import dedent

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "docs" / "_ext"))
import docstring_text as dt  # noqa: E402


def resolve(target: str) -> str | None:
    """Names under drel_ml resolve in place; `copyreg` is documented elsewhere."""
    if target == "copyreg":
        return None
    return target if target.startswith("drel_ml") else f"drel_ml_ext.{target}"


@pytest.mark.parametrize(
    ("role", "reference"),
    [
        (":func:`learn_by_key`", "[`learn_by_key()`][drel_ml_ext.learn_by_key]"),
        (":class:`~drel_ml.Mean`", "[`Mean`][drel_ml.Mean]"),
        (":py:meth:`drel_ml.Mean.update`", "[`drel_ml.Mean.update()`][drel_ml.Mean.update]"),
        (":attr:`the weights <drel_ml.LinearRegression.weights>`", "[`the weights`][drel_ml.LinearRegression.weights]"),
        (":mod:`copyreg`", "`copyreg`"),
    ],
)
def test_roles_become_references(role: str, reference: str) -> None:
    assert dt.roles_to_references(f"See {role}.", resolve) == f"See {reference}."


def test_doctests_outside_examples_are_fenced() -> None:
    text = "Intro.\n\n>>> x = 1\n>>> x\n1\n\nAfter."
    assert dt.doctests_to_fences(text, numpy=False) == "Intro.\n\n\n```pycon\n>>> x = 1\n>>> x\n1\n```\n\n\nAfter."


@pytest.mark.parametrize(
    ("text", "numpy"),
    [
        ("Summary.\n\nExamples:\n    >>> 1\n    1\n", False),
        ("Summary.\n\nExample:\n    >>> 1\n    1\n", False),
        ("Summary.\n\nExamples\n--------\n>>> 1\n1\n", True),
        ("Summary.\n\n```pycon\n>>> 1\n1\n```\n", False),
    ],
    ids=["google", "google-singular", "numpy", "fenced"],
)
def test_doctests_the_parser_reads_are_left_alone(text: str, numpy: bool) -> None:
    assert dt.doctests_to_fences(text, numpy) == text


def test_literal_block_becomes_fenced_code() -> None:
    text = "Example::\n\n    import drel_ml\n    m = drel_ml.Mean()\n\nAfter."
    assert dt.literal_blocks_to_fences(text) == "Example:\n\n```python\nimport drel_ml\nm = drel_ml.Mean()\n```\n\n\nAfter."
    assert dt.literal_blocks_to_fences("Code ::\n\n    x = 1\n").startswith("Code\n\n```python\nx = 1\n```")


def test_bare_sections() -> None:
    text = dedent("""\
        Learn.

        Parameters
            model: the model.
            X: the rows,
                one a line.

        Raises
            All or nothing: the model is left as it was
            and the error raised.

        Example
            >>> 1
            1""")
    rewritten = dt.bare_sections(text)
    assert "Parameters:\n    model: the model.\n    X: the rows,\n        one a line." in rewritten
    title = dt.SECTION_TITLE.format(title="Raises")
    assert f"{title}\n\nAll or nothing: the model is left as it was\nand the error raised." in rewritten
    assert "Examples:\n    >>> 1" in rewritten


def test_numpy_sections_are_not_bare_sections() -> None:
    text = "Summary.\n\nParameters\n----------\nx : float\n    The x.\n"
    assert dt.is_numpy_style(text)
    rewritten, numpy = dt.normalize(text, resolve)
    assert numpy and rewritten == text


def test_google_example_title() -> None:
    assert dt.google_example_titles("Sum.\n\n    Example:\n        >>> 1") == "Sum.\n\n    Examples:\n        >>> 1"
    # Not a section (a paragraph ending in a colon): left as written.
    assert dt.google_example_titles("Example:\n\n```python\nx\n```") == "Example:\n\n```python\nx\n```"


def test_dunders_in_prose_become_code() -> None:
    text = "the original as __cause__; ``__float__`` stays.\n\n```python\nx.__cause__\n```\n>>> e.__cause__"
    assert dt.dunders_as_code(text) == (
        "the original as `__cause__`; ``__float__`` stays.\n\n```python\nx.__cause__\n```\n>>> e.__cause__"
    )


def test_normalize_google_docstring() -> None:
    text = "Sum, see :func:`merge`.\n\n>>> merge(a, b)\n\nExample:\n    >>> 2\n    2"
    rewritten, numpy = dt.normalize(text, resolve)
    assert not numpy
    assert rewritten == (
        "Sum, see [`merge()`][drel_ml_ext.merge].\n\n\n```pycon\n>>> merge(a, b)\n```\n\n\nExamples:\n    >>> 2\n    2"
    )
