"""Pickling and copying of drel_ml objects through their snapshot text.

Importing ``drel_ml_ext`` registers a reducer with :mod:`copyreg` for each of
drel_ml's eight stateful classes. From then on ``pickle`` (every protocol),
``copy.copy``, ``copy.deepcopy`` and everything built on them (joblib,
multiprocessing, Dask) handle drel_ml objects: a pickle holds the class name
and the object's snapshot text, and unpickling rebuilds the object from that
text with the class's ``from_json``, bit for bit (a snapshot writes every real
as the shortest text that reads back to the same double). Unpickling needs
only drel_ml_ext installed: the pickle names :func:`drel_ml_ext.restore`, and
importing it registers the reducers again.

drel_ml itself defines no pickling, so without importing drel_ml_ext pickling
a drel_ml object fails as it always did, with the interpreter's ``TypeError``.

>>> import copy, pickle
>>> import drel_ml, drel_ml_ext
>>> m = drel_ml.LinearRegression(2, 0.1)
>>> m.learn_one([1.0, 2.0], 3.0)
>>> pickle.loads(pickle.dumps(m)).weights == m.weights
True
>>> copy.deepcopy(m).to_json() == m.to_json()
True
"""

from __future__ import annotations

import copyreg
from typing import Callable

from drel_ml_ext._classes import STATEFUL, Stateful

__all__ = ["restore"]

_CLASSES: dict[str, type[Stateful]] = {cls.__name__: cls for cls in STATEFUL}


def restore(class_name: str, text: str) -> Stateful:
    """Rebuild a drel_ml object from its class name and its snapshot text.

    This is what every pickle of a drel_ml object calls when it is loaded;
    its name, ``drel_ml_ext.restore``, is stored in those pickles and stays.
    ``restore("Mean", text)`` is ``drel_ml.Mean.from_json(text)``.

    Parameters:
        class_name: one of the eight stateful classes' names, ``"Mean"`` to
            ``"ClassificationPipeline"``.
        text: the object's snapshot, as its ``to_json`` wrote it.

    Raises:
        ValueError: ``class_name`` names no stateful drel_ml class.
        RuntimeError: the snapshot is refused, with the loader's message.

    >>> import drel_ml, drel_ml_ext
    >>> drel_ml_ext.restore("Mean", drel_ml.Mean().to_json()).count
    0
    """
    try:
        cls = _CLASSES[class_name]
    except (KeyError, TypeError):  # TypeError: an unhashable name
        raise ValueError(
            f"unknown drel_ml class: {class_name!r} (expected one of {', '.join(_CLASSES)})"
        ) from None
    return cls.from_json(text)


# Pickles name the function by its module and name: keep them independent of
# the file it is defined in.
restore.__module__ = "drel_ml_ext"


def _reduce(obj: Stateful) -> tuple[Callable[[str, str], Stateful], tuple[str, str]]:
    return restore, (type(obj).__name__, obj.to_json())


for _cls in _CLASSES.values():
    copyreg.pickle(_cls, _reduce)
