"""Pickling and copying of drel_ml objects through their snapshot text."""

from __future__ import annotations

__all__: list[str] = []
