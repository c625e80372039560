# pyright: standard
# (scikit-learn has no complete types: checked as the other integrations are)
"""ColumnHasher: the columns of a frame, categorical ones included, as hashed features.

Part of :mod:`drel_ml_ext.sklearn` (which imports scikit-learn first).
"""

from __future__ import annotations

from typing import Any, Self

import numpy as np
from sklearn.base import BaseEstimator, TransformerMixin
from sklearn.utils import Tags
from sklearn.utils.validation import check_is_fitted, validate_data

import drel_ml_ext as _ext
from drel_ml_ext._fit_input import commit, noting_input, on_stand_in


class ColumnHasher(TransformerMixin, BaseEstimator):  # type: ignore[misc]  # scikit-learn is untyped
    """Hashes each row's columns into ``n_features`` columns, by :class:`drel_ml_ext.FeatureHasher`.

    A numeric cell of column ``c`` is the feature ``c`` with its value; a string cell ``v``
    is the feature ``"c=v"`` with value 1, so categorical columns need no encoding and no
    vocabulary. Column names are those of a pandas frame (as text) or ``x0``, ``x1``, ... for
    an array. A pandas frame is read column by column as it is, never as an object array.
    Missing cells (``None``, NaN) and infinite values are refused with a ``ValueError``.
    ``fit`` learns nothing (the hashing needs no statistics): it records the input's width
    and names, and checks every cell.

    Parameters
    ----------
    n_features : int, default 2**20
        Columns of the output, in [1, 2**31 - 1].
    alternate_sign : bool, default True
        Negate a value whose name hashes to a negative number, so that collisions cancel
        on average.
    sparse_output : bool, default True
        A ``scipy.sparse.csr_matrix``; otherwise a dense float64 array of
        ``n_samples * n_features`` values.

    Attributes
    ----------
    hasher_ : drel_ml_ext.FeatureHasher
    n_features_in_ : int
    feature_names_in_ : ndarray of str, when fitted on a frame with string column names
    """

    hasher_: Any
    n_features_in_: int

    def __init__(self, *, n_features: int = 2**20, alternate_sign: bool = True,
                 sparse_output: bool = True) -> None:
        self.n_features = n_features
        self.alternate_sign = alternate_sign
        self.sparse_output = sparse_output

    def __sklearn_tags__(self) -> Tags:
        tags = super().__sklearn_tags__()
        tags.input_tags.categorical = True
        tags.input_tags.string = True
        return tags

    def fit(self, X: Any, y: Any = None) -> Self:
        """Records the columns; checks the settings and the cells."""
        try:
            hasher = _ext.FeatureHasher(self.n_features, input_type="pair",
                                        alternate_sign=self.alternate_sign)
        except (TypeError, ValueError) as error:
            raise ValueError(f"ColumnHasher: invalid settings: {error}") from error
        # The frame's width and names are recorded only once every cell is taken.
        (names, rows), attributes = on_stand_in(self, lambda e: e._rows(X, reset=True))
        self._hash(hasher, names, rows)
        commit(self, {**attributes, "hasher_": hasher})
        return self

    @staticmethod
    def _hash(hasher: Any, names: list[str], rows: Any) -> Any:
        try:
            return hasher.transform_many(zip(names, row) for row in rows)
        except (TypeError, ValueError) as error:
            raise ValueError(
                f"ColumnHasher: a cell is missing (NaN or None), infinite or neither a "
                f"number nor a string: {error}"
            ) from error

    def _rows(self, X: Any, *, reset: bool) -> tuple[list[str], Any]:
        """The column names and an iterable of rows, each a tuple of cells."""
        if hasattr(X, "itertuples") and hasattr(X, "columns"):
            validate_data(self, X, reset=reset, skip_check_array=True)
            return [str(c) for c in X.columns], X.itertuples(index=False, name=None)
        X = noting_input(
            lambda: validate_data(self, X, reset=reset, dtype=None, ensure_all_finite=False), X)
        return [f"x{i}" for i in range(X.shape[1])], X.tolist()

    def transform(self, X: Any) -> Any:
        """The rows hashed: a CSR matrix of shape ``(n_samples, n_features)``."""
        check_is_fitted(self)
        hashed = self._hash(self.hasher_, *self._rows(X, reset=False))
        if self.sparse_output:
            return hashed
        return hashed.toarray() if hasattr(hashed, "toarray") else np.asarray(hashed)
