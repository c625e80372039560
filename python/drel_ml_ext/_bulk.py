"""Whole arrays through the core: learn_many, predict_many, transform_many, update_many,
and learn_many_by_key / update_many_by_key for many objects in one call.

The functions are the native ones themselves (no wrapper on the hot path);
their types are in ``_native.pyi``.
"""

from __future__ import annotations

from drel_ml_ext._native import (
    learn_many,
    learn_many_by_key,
    predict_many,
    predict_proba_many,
    transform_many,
    update_many,
    update_many_by_key,
)

__all__ = [
    "learn_many",
    "learn_many_by_key",
    "predict_many",
    "predict_proba_many",
    "transform_many",
    "update_many",
    "update_many_by_key",
]
