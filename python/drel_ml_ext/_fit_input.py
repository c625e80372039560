# pyright: standard
"""What a refused fit must not change: the input attributes that scikit-learn's validation
records on the estimator it validates for.

Part of :mod:`drel_ml_ext.sklearn` (which imports scikit-learn first).
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, TypeVar

# What validate_data(reset=True) records about the input on the estimator it validates for.
INPUT_ATTRIBUTES = ("n_features_in_", "feature_names_in_")

_T = TypeVar("_T")


def on_stand_in(estimator: Any, validate: Callable[[Any], _T]) -> tuple[_T, dict[str, Any]]:
    """``validate(stand_in)`` on a copy of ``estimator``, and the input attributes it
    recorded there (``None`` for one to remove), for :func:`commit` to set once the call
    that validated has succeeded: the estimator keeps its own if the call is refused."""
    stand_in = object.__new__(type(estimator))
    vars(stand_in).update(vars(estimator))
    validated = validate(stand_in)
    return validated, {name: getattr(stand_in, name, None) for name in INPUT_ATTRIBUTES}


def commit(estimator: Any, attributes: dict[str, Any]) -> None:
    """Sets what a call computed, after everything that could refuse it has run."""
    for name, value in attributes.items():
        if value is None:
            vars(estimator).pop(name, None)
        else:
            setattr(estimator, name, value)
