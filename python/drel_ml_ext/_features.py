"""Named features: the hashing trick (:class:`FeatureHasher`).

>>> from drel_ml_ext import FeatureHasher
>>> hasher = FeatureHasher(8)
>>> row = hasher.transform_one({"country": "fr", "amount": 12.5})
>>> len(row)
8
>>> sorted(abs(v) for v in row if v != 0)
[1.0, 12.5]
"""

from __future__ import annotations

from drel_ml_ext._native import FeatureHasher

__all__ = ["FeatureHasher"]
