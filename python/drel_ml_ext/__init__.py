"""Companions of :mod:`drel_ml`: bulk calls over arrays, every configuration of
the core, progressive validation and metrics, feature hashing, merging, loading
and pickling.

The objects this package takes and returns are genuine ``drel_ml`` instances;
its native part works on them through the same instance layout as ``drel_ml``.
Importing it registers pickling support for the ``drel_ml`` classes. The
optional integrations live in submodules: ``drel_ml_ext.sklearn`` (needs
scikit-learn), ``drel_ml_ext.dask`` (needs Dask) and ``drel_ml_ext.river``
(needs river).
"""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError as _PackageNotFoundError
from importlib.metadata import version as _distribution_version

from drel_ml_ext import _native as _native  # fails early on a mismatched drel_ml
from drel_ml_ext import _bulk, _config, _evaluate, _features, _load, _merge, _pickling
from drel_ml_ext import metrics as metrics  # registers the metrics' pickling
from drel_ml_ext._bulk import *  # noqa: F403
from drel_ml_ext._config import *  # noqa: F403
from drel_ml_ext._evaluate import *  # noqa: F403
from drel_ml_ext._features import *  # noqa: F403
from drel_ml_ext._load import *  # noqa: F403
from drel_ml_ext._merge import *  # noqa: F403
from drel_ml_ext._pickling import *  # noqa: F403

try:
    __version__: str = _distribution_version("drel_ml")
except _PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

# In the form type checkers follow: each unit's public names.
__all__: list[str] = []
__all__ += _bulk.__all__
__all__ += _config.__all__
__all__ += _evaluate.__all__
__all__ += _features.__all__
__all__ += _load.__all__
__all__ += _merge.__all__
__all__ += _pickling.__all__
