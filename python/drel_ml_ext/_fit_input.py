# pyright: standard
"""The input of the scikit-learn estimators' fits: what a refused fit must not change (the
input attributes that scikit-learn's validation records on the estimator it validates for),
and what to do with input that is no numbers.

Part of :mod:`drel_ml_ext.sklearn` (which imports scikit-learn first).
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any, TypeVar

import numpy as np

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


# What a newcomer's rows of categories or of named features should have been.
TEXT_HINT = ("X holds text: features are real numbers; hash text and categorical columns first "
             "with drel_ml_ext.sklearn.ColumnHasher (in a ColumnTransformer for some columns)")
MAPPING_HINT = ("X holds mappings: hash named features into rows of numbers first with "
                "drel_ml_ext.FeatureHasher(n_features).transform_many(X)")


def noting_input(validate: Callable[[], _T], X: Any) -> _T:
    """``validate()``; its refusal of X, when X's first row holds text or mappings, with a
    note on what to do."""
    try:
        return validate()
    except (TypeError, ValueError) as error:
        hint = _input_hint(X)
        if hint is not None:
            error.add_note(hint)
        raise


def _input_hint(X: Any) -> str | None:
    try:
        first = X.iloc[:1] if hasattr(X, "iloc") else X[:1]
        cells = np.asarray(first, dtype=object).ravel()
    except Exception:  # noqa: BLE001 - no advice then; the refusal itself stands
        return None
    if any(isinstance(cell, Mapping) for cell in cells):
        return MAPPING_HINT
    if any(isinstance(cell, (str, bytes)) for cell in cells):
        return TEXT_HINT
    return None
