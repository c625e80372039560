"""Whole arrays through the core: learn_many, predict_many, transform_many, update_many."""

from __future__ import annotations

__all__: list[str] = []
