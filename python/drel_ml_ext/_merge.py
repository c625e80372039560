"""Merging the states of two objects that learned from different parts of a stream."""

from __future__ import annotations

__all__: list[str] = []
