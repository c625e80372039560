"""Whole arrays through the core: learn_many, predict_many, transform_many, update_many.

The functions are the native ones themselves (no wrapper on the hot path);
their types are in ``_native.pyi``.
"""

from __future__ import annotations

from drel_ml_ext._native import (
    learn_many,
    predict_many,
    predict_proba_many,
    transform_many,
    update_many,
)

__all__ = ["learn_many", "predict_many", "predict_proba_many", "transform_many", "update_many"]
