"""The error an optional part of drel_ml_ext raises when its extra is not installed."""

from __future__ import annotations


def missing_extra(module: str, needs: str, extra: str, error: ImportError) -> ImportError:
    """An error of the same kind as ``error`` (a ``ModuleNotFoundError`` stays one, with the
    missing module's ``name``) that says which extra to install; raise it ``from error``.
    """
    kind = ModuleNotFoundError if isinstance(error, ModuleNotFoundError) else ImportError
    return kind(f"{module} needs {needs}: pip install 'drel_ml[{extra}]' ({error})",
                name=error.name, path=error.path)
