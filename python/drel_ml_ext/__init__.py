"""Companions of :mod:`drel_ml`: everything beside the fixed module itself.

The objects this package takes and returns are genuine ``drel_ml`` instances;
its native part works on them through the same instance layout as ``drel_ml``.
"""

from __future__ import annotations

from drel_ml_ext import _native

__all__: list[str] = []
