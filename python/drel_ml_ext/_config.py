"""Keyword factories for every configuration the core supports, and readers for the state drel_ml keeps hidden."""

from __future__ import annotations

__all__: list[str] = []
