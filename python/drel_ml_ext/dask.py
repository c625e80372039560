"""Training drel_ml objects on a Dask cluster (needs the ``dask`` extra).

Two ways to spread a stream over several processes or machines:

* **One object per key** (a model per customer, a statistic per sensor):
  :func:`learn_by_key` and :func:`update_by_key` move every key's rows into
  one bucket of keys (each partition converted once and cut by a hash of the
  key) and train each key's object there, with the bulk functions. Each key sees its
  rows in the frame's order, so the result is bit for bit what one process
  feeding the rows in that order would get.
* **One object from all partitions**: :func:`learn_partitioned` and
  :func:`update_partitioned`. Each round, every partition trains a copy of the
  current object on its own rows, and the copies are merged pairwise
  (:func:`drel_ml_ext.merge` with the round's start, in a tree of tasks) into
  the next object. Statistics come out as if one object had seen every row;
  models come out as the sample-weighted average of the partition models.

An error in a key's or a partition's work names the key or the partition and,
when a row was rejected, the row's index label in the frame.

Per-key states travel between processes in their binary form
(:func:`drel_ml_ext.to_bytes`), partition models as snapshot text. The
functions run on whatever scheduler is current:
a ``distributed.Client`` when one is active, else Dask's local scheduler.
Persist a frame that several rounds read (``frame = frame.persist()``), or
every round reads it from its source again.

Example::

    import dask.dataframe as dd
    import drel_ml
    from distributed import Client
    from drel_ml_ext.dask import learn_by_key, learn_partitioned

    client = Client(n_workers=2)
    frame = dd.read_parquet("readings/")          # columns: sensor, x0, x1, y
    per_sensor = learn_by_key(frame, "sensor", ["x0", "x1"], "y",
                              lambda: drel_ml.RegressionPipeline(2, 0.01))
    one_model = learn_partitioned(frame.persist(), ["x0", "x1"], "y",
                                  drel_ml.RegressionPipeline(2, 0.01), rounds=3)
"""

from __future__ import annotations

import pickle
import re
from collections.abc import Callable, Hashable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, Literal, cast, overload

from drel_ml_ext._extras import missing_extra

try:
    import dask.dataframe as dd
    import numpy as np
    import pandas as pd
    from dask.base import compute as _untyped_compute
    from dask.delayed import Delayed, delayed
    from pandas.core.util.hashing import hash_pandas_object  # what pandas.util re-exports
except ModuleNotFoundError as error:
    raise missing_extra(__name__, "Dask (with its data frames), pandas and numpy", "dask",
                        error) from error

import drel_ml
from drel_ml_ext._bulk import learn_many, learn_many_by_key, update_many, update_many_by_key
from drel_ml_ext._classes import (
    CLASSIFIERS,
    REGRESSORS,
    SCALERS,
    STATISTICS,
    Learner,
    MergeableStatistic,
    Statistic,
    names,
)
from drel_ml_ext._evaluate import checked_count
from drel_ml_ext._pickling import from_bytes, to_bytes
from drel_ml_ext._merge import merge, tree_reduce

__all__ = ["learn_by_key", "learn_partitioned", "update_by_key", "update_partitioned"]

# Dask's compute, typed for this module: a tuple of the computed values.
_compute = cast(Callable[..., tuple[Any, ...]], _untyped_compute)

# Classes travel by name (see _Feed).
_STATISTICS = names(STATISTICS)
_SCALERS = names(SCALERS)
_REGRESSORS = names(REGRESSORS)
_CLASSIFIERS = names(CLASSIFIERS)



# ---- what an object learns from ---------------------------------------------


@dataclass(frozen=True)
class _Feed:
    """How one class of object takes the rows of a partition.

    ``class_name`` names a drel_ml class: classes travel by name, since they
    are rebuilt from snapshot text wherever the rows are.
    """

    class_name: str
    features: tuple[str, ...]
    target: str | None

    @property
    def columns(self) -> list[str]:
        """The columns read, each once: a frame selected by a repeated name would hold
        that column twice, and a target that is also a feature would read as two."""
        target = [self.target] if self.target is not None else []
        return list(dict.fromkeys([*self.features, *target]))

    def restore(self, text: str) -> Any:
        return getattr(drel_ml, self.class_name).from_json(text)

    def feed(self, obj: Any, rows: pd.DataFrame) -> None:
        x, y = self.arrays(rows)
        if self.class_name in _STATISTICS:
            update_many(obj, x)
        elif y is None:
            learn_many(obj, np.ascontiguousarray(x))
        else:
            learn_many(obj, np.ascontiguousarray(x), y)

    def first_unconvertible(
        self, rows: pd.DataFrame, order: np.ndarray, offsets: np.ndarray
    ) -> int | None:
        """The first key whose rows alone cannot be converted, for naming it in an error."""
        for k in range(len(offsets) - 1):
            taken = rows.iloc[order[offsets[k]:offsets[k + 1]]]
            try:
                taken[list(self.columns)].to_numpy(dtype=np.float64)
            except (TypeError, ValueError):
                return k
        return None

    def arrays(self, rows: pd.DataFrame) -> tuple[np.ndarray, np.ndarray | None]:
        """The rows as the by-key calls take them: a float64 block (one column for a
        statistic) and the target, if any."""
        if self.class_name in _STATISTICS:
            return rows[self.features[0]].to_numpy(dtype=np.float64), None
        x = rows[list(self.features)].to_numpy(dtype=np.float64)
        if self.target is None:
            return x, None
        # Classifier targets go as they are: a float NaN must not pass as True.
        column = rows[self.target]
        y = column.to_numpy() if self.class_name in _CLASSIFIERS else column.to_numpy(dtype=np.float64)
        return x, y

    def feed_arrays(
        self, objects: list[Any], x: np.ndarray, y: np.ndarray | None, order: np.ndarray,
        offsets: np.ndarray,
    ) -> None:
        """Rows ``order[offsets[k]:offsets[k + 1]]`` of ``x`` (and ``y``) to ``objects[k]``,
        in one native call."""
        if self.class_name in _STATISTICS:
            update_many_by_key(objects, x[order], offsets)
            return
        learn_many_by_key(objects, x[order], None if y is None else y[order], offsets)


def _feed_for(obj: object, features: Sequence[str], target: str | None) -> _Feed:
    name = type(obj).__name__
    if getattr(drel_ml, name, None) is not type(obj):
        maker = " (the *_by_key calls take a function that makes one)" if callable(obj) else ""
        raise TypeError(f"expected a drel_ml object, got {name!r}{maker}")
    features = (features,) if isinstance(features, str) else tuple(features)
    if not features:
        raise ValueError("no feature columns given")
    if name in _STATISTICS and len(features) != 1:
        raise ValueError(f"a {name} follows one column, got {len(features)}")
    if name in _STATISTICS + _SCALERS and target is not None:
        raise ValueError(f"a {name} learns without a target; pass target=None")
    if name in _REGRESSORS + _CLASSIFIERS and target is None:
        raise ValueError(f"a {name} needs a target column")
    return _Feed(name, features, target)


def _made(make: Callable[[], Any], name: str) -> Any:
    """The prototype object a *_by_key call copies for every key."""
    if not callable(make):
        raise TypeError(
            f"{name} must be a function that returns a fresh object, such as "
            f"lambda: drel_ml.LinearRegression(2, 0.01); got a {type(make).__name__!r} "
            f"(the *_partitioned calls take the object itself)"
        )
    return make()


def _parts(frame: Any, columns: list[str]) -> list[Delayed]:
    """The frame's partitions, of these columns, as Dask's delayed objects."""
    _check_frame(frame)
    return cast(list[Delayed], frame[columns].to_delayed())


def _check_frame(frame: Any) -> None:
    if not callable(getattr(frame, "to_delayed", None)):
        raise TypeError(
            f"frame must be a Dask DataFrame, not {type(frame).__module__}."
            f"{type(frame).__qualname__}: dask.dataframe.from_pandas(frame, npartitions=n) "
            f"makes one; in one process, drel_ml_ext.learn_many_by_key and "
            f"progressive_validation take a frame's arrays directly"
        )


# ---- where an error happened --------------------------------------------------

# The bulk functions name a rejected row by its position among the rows they were given: in
# their own message (" (row N)" at its end, " (row N, objects[k])" for the by-key calls) or,
# for an exception of the caller's code, in a note. Within a key or a partition that position
# means nothing to the caller.
_ROW_IN_TEXT = re.compile(r" \(row (\d+)(?:, \w+\[\d+\])?\)\Z")
_ROW_IN_NOTE = re.compile(r"\brow (\d+)\b")


def _plain(value: Any) -> Any:
    """A numpy scalar as the Python value it holds, for a readable repr."""
    return value.item() if isinstance(value, np.generic) else value


def _label_place(label: Any, partition: Any = None) -> str:
    place = f"index label {_plain(label)!r}"
    return place if partition is None else f"partition {_plain(partition)}, {place}"


def _row_place(rows: pd.DataFrame, position: int) -> str:
    """The frame's own name for the row at ``position`` of ``rows``: its index label."""
    return _label_place(rows.index[position]) if 0 <= position < len(rows) else f"row {position}"


def _noted_row(error: BaseException) -> int | None:
    for note in reversed(getattr(error, "__notes__", [])):
        if isinstance(note, str) and (found := _ROW_IN_NOTE.search(note)):
            return int(found[1])
    return None


@contextmanager
def _located_by(place: Callable[[int | None], str]) -> Iterator[None]:
    """Names where the failing row is, ``place(position)`` for the position the library
    reported (None when it reported none), in any error raised inside. The library's own
    row error keeps its type and text, with the place in place of the row's position; any
    other exception stays the same object, the place added as a note."""
    try:
        yield
    except Exception as error:
        # The library raises built-in types with one message; a caller's exception is asked
        # nothing (its __str__ is the caller's code).
        builtin = type(error).__module__ == "builtins" and len(error.args) == 1
        text = error.args[0] if builtin else None
        own = _ROW_IN_TEXT.search(text) if isinstance(text, str) else None
        if own is not None and isinstance(text, str):
            error.args = (f"{text[:own.start()]} ({place(int(own[1]))})",)
            raise
        error.add_note(f"in {place(_noted_row(error))}")
        raise


def _located(where: str, rows: pd.DataFrame) -> Any:
    """Errors of the work on ``rows`` name ``where`` (a key or a partition) and the row."""
    return _located_by(lambda at: where if at is None else f"{where}, {_row_place(rows, at)}")


def _located_in_keys(
    keys: Any, order: np.ndarray, offsets: np.ndarray, row_place: Callable[[int], str],
    unconvertible: Callable[[], int | None],
) -> Any:
    """Errors of one by-key call over rows taken in ``order`` name the key and
    ``row_place(row)``. An error that names no row is traced to the key
    ``unconvertible()`` finds, if any."""

    def place(at: int | None) -> str:
        if at is None or not 0 <= at < len(order):
            k = unconvertible()
            return "a key of this partition" if k is None else f"key {_plain(keys[k])!r}"
        key = keys[int(np.searchsorted(offsets, at, side="right")) - 1]
        return f"key {_plain(key)!r}, {row_place(int(order[at]))}"

    return _located_by(place)


def _located_by_key(
    part: pd.DataFrame, order: np.ndarray, offsets: np.ndarray, keys: Any,
    feed: _Feed,
) -> Any:
    """Errors of one by-key call over ``part``'s rows taken in ``order`` name the key and
    the row's index label. An error that names no row (a column pandas cannot convert)
    is traced to the first key whose rows alone fail to convert."""
    return _located_in_keys(
        keys, order, offsets, lambda row: _row_place(part, row),
        lambda: feed.first_unconvertible(part, order, offsets),
    )


# ---- one object per key -----------------------------------------------------


def _key_slices(codes: np.ndarray, count: int) -> tuple[np.ndarray, np.ndarray]:
    """The row order that makes each of ``count`` keys' rows one slice, rows kept in
    their order within it, and the slices' offsets. Rows coded -1 (a missing key) are
    left out."""
    # Codes that fit 16 bits sort by radix, in linear time.
    narrow = codes.astype(np.int16) if count < 2**15 else codes
    order = np.argsort(narrow, kind="stable")
    present = codes[codes >= 0]
    order = order[len(codes) - len(present):]  # the missing keys' code, -1, sorts first
    offsets = np.zeros(count + 1, dtype=np.int64)
    np.cumsum(np.bincount(present, minlength=count), out=offsets[1:])
    return order, offsets


def _starting(uniques: Any, initial: bytes, states: Mapping[Hashable, bytes] | None) -> list[Any]:
    return [from_bytes(states.get(k, initial) if states else initial) for k in uniques]


# What a by-key task does with its keys' rows, given the keys' objects, the rows (x, y),
# the order that makes each key's rows one slice, and the slices' offsets: it returns a
# result per key besides the objects' states, or None when it only trains them.
_Work = Callable[[list[Any], np.ndarray, "np.ndarray | None", np.ndarray, np.ndarray], "list[Any] | None"]

# Each by-key task's result: its keys, their states, and the work's result per key.
_Learned = tuple[list[Hashable], list[bytes], list[Any]]


def _packed(keys: list[Hashable], objects: list[Any], results: list[Any]) -> bytes:
    """A task's result as one pickle: Dask would send each state of a list as a message
    part of its own, which costs more than the state itself when keys are many."""
    return pickle.dumps((keys, [to_bytes(obj) for obj in objects], results), protocol=5)


def _run(
    work: _Work | None, feed: _Feed, objects: list[Any], x: np.ndarray, y: np.ndarray | None,
    order: np.ndarray, offsets: np.ndarray,
) -> list[Any]:
    if work is None:
        feed.feed_arrays(objects, x, y, order, offsets)
        return []
    return work(objects, x, y, order, offsets) or []


def _learn_groups(
    part: pd.DataFrame,
    key: str,
    feed: _Feed,
    initial: bytes,
    states: Mapping[Hashable, bytes] | None,
    work: _Work | None = None,
) -> bytes:
    """Every key of one partition that holds all its keys' rows, each fed its rows in the
    frame's order, in one native call: the partition is converted to float64 once and
    sorted stably by key, so that each key's rows are one slice, which the key's object
    takes exactly as learn_many would. Keys that are missing (NaN, None) are left out,
    as pandas' groupby leaves them out."""
    values = part[key] if key in part.columns else part.index.to_series()
    codes, uniques = pd.factorize(values, sort=False)
    order, offsets = _key_slices(codes, len(uniques))
    objects = _starting(uniques, initial, states)
    results: list[Any] = []
    if objects:
        with _located_by_key(part, order, offsets, uniques, feed):
            results = _run(work, feed, objects, *feed.arrays(part), order, offsets)
    keys = pd.Series(uniques, dtype=values.dtype).tolist()
    return _packed(keys, objects, results)


# ---- moving every key's rows into one bucket ----------------------------------------


@dataclass(frozen=True)
class _Piece:
    """The rows of one partition bound for one bucket, in the frame's order: converted
    once, with where they came from kept for naming a rejected row."""

    partition: int
    keys: pd.Series
    labels: pd.Index
    x: np.ndarray
    y: np.ndarray | None


def _split(part: pd.DataFrame, key: str, feed: _Feed, buckets: int, number: int) -> tuple[_Piece, ...]:
    """Partition ``number`` converted once and cut into ``buckets`` pieces by a hash of
    the key, which sends a key to the same bucket from every partition. Rows whose key is
    missing go nowhere."""
    values = part[key]

    def unconvertible(_: int | None) -> str:  # pandas' conversion error names no row
        codes, uniques = pd.factorize(values, sort=False)
        order, offsets = _key_slices(codes, len(uniques))
        k = feed.first_unconvertible(part, order, offsets)
        return f"partition {number}" if k is None else f"key {_plain(uniques[k])!r}"

    with _located_by(unconvertible):
        x, y = feed.arrays(part)
    hashes = hash_pandas_object(values, index=False).to_numpy()
    bucket = (hashes % np.uint64(buckets)).astype(np.int64)
    bucket[values.isna().to_numpy()] = buckets
    # Stable: each piece keeps its rows in the partition's order.
    order = np.argsort(bucket.astype(np.int16) if buckets < 2**15 else bucket, kind="stable")
    ends = np.cumsum(np.bincount(bucket, minlength=buckets + 1))[:buckets]
    keys, labels, x = values.iloc[order].reset_index(drop=True), part.index[order], x[order]
    y = None if y is None else y[order]
    return tuple(
        _Piece(number, keys.iloc[lo:hi], labels[lo:hi], x[lo:hi], None if y is None else y[lo:hi])
        for lo, hi in zip([0, *ends[:-1]], ends)
    )


def _learn_bucket(
    pieces: Sequence[_Piece], feed: _Feed, initial: bytes, states: Mapping[Hashable, bytes] | None,
    work: _Work | None = None,
) -> bytes:
    """Every key of one bucket, each fed its rows in the frame's order, in one native call.
    The pieces come in partition order, so their rows joined are in the frame's order."""
    keys = pd.concat([p.keys for p in pieces], ignore_index=True)
    codes, uniques = pd.factorize(keys, sort=False)
    order, offsets = _key_slices(codes, len(uniques))
    objects = _starting(uniques, initial, states)
    results: list[Any] = []
    if objects:
        x = np.concatenate([p.x for p in pieces])
        y = None if feed.target is None else np.concatenate([cast(np.ndarray, p.y) for p in pieces])
        starts = np.cumsum([0, *(len(p.x) for p in pieces)])

        def row_place(row: int) -> str:
            piece = int(np.searchsorted(starts, row, side="right")) - 1
            return _label_place(pieces[piece].labels[row - starts[piece]], pieces[piece].partition)

        with _located_in_keys(uniques, order, offsets, row_place, lambda: None):
            results = _run(work, feed, objects, x, y, order, offsets)
    return _packed(pd.Series(uniques, dtype=keys.dtype).tolist(), objects, results)


def _learn_by_key(
    frame: dd.DataFrame,
    key: str,
    feed: _Feed,
    initial: bytes,
    start: Mapping[Hashable, bytes] | None,
    partitioned_by_key: bool,
    work: _Work | None = None,
) -> _Learned:
    """Every key's object (from ``start`` or ``initial``) fed the key's rows in the frame's
    order, by ``work`` or by training, in one task per partition (a frame partitioned by
    the key) or per bucket of keys."""
    _check_frame(frame)
    if key in feed.columns:
        raise ValueError(f"the key column {key!r} is also a feature or the target")
    # A frame indexed by the key with known divisions holds each key in one
    # partition already: no shuffle then, nor when the caller says so.
    in_index = key not in frame.columns and frame.index.name == key
    if in_index and not (partitioned_by_key or frame.known_divisions):
        frame = frame.reset_index()
        in_index = False
    source = frame[feed.columns] if in_index else frame[[key, *feed.columns]]
    parts = source.to_delayed()
    states = delayed(start) if start else None
    shuffled = not (in_index or partitioned_by_key)
    if shuffled:
        # Each partition is split into a piece per bucket, and each bucket's task takes
        # its piece of every partition.
        buckets = len(parts)
        split = delayed(_split, nout=buckets)
        # Each split gives a piece per bucket (nout=buckets).
        pieces = [cast(Sequence[Delayed], split(part, key, feed, buckets, number))
                  for number, part in enumerate(parts)]
        learn = delayed(_learn_bucket)
        tasks = [learn([p[b] for p in pieces], feed, initial, states, work) for b in range(buckets)]
    else:
        learn = delayed(_learn_groups)
        tasks = [learn(part, key, feed, initial, states, work) for part in parts]
    keys: list[Hashable] = []
    learned: list[bytes] = []
    results: list[Any] = []
    for packed in _compute(*tasks):
        part_keys, part_states, part_results = cast(_Learned, pickle.loads(packed))
        keys += part_keys
        learned += part_states
        results += part_results
    if len(set(keys)) != len(keys):
        if shuffled:  # a key's rows split by a hash that tells apart values pandas equates
            raise RuntimeError(f"some {key!r} values equal as keys were sent to different buckets")
        raise ValueError(
            f"the rows of some {key!r} values are in more than one partition: "
            "the frame is not partitioned by the key"
        )
    return keys, learned, results


def _state_bytes(key: Hashable, state: Any, feed: _Feed) -> bytes:
    with _located_by(lambda _: f"key {_plain(key)!r}"):
        if isinstance(state, str):
            return to_bytes(feed.restore(state))
        # Refused here, by the key's name, rather than as one object among a task's others.
        if type(state) is not getattr(drel_ml, feed.class_name):
            raise TypeError(
                f"a state must be a {feed.class_name}, as the new objects are, or its "
                f"snapshot text; got {type(state).__name__!r}"
            )
        return to_bytes(state)


def _by_key(
    frame: dd.DataFrame,
    key: str,
    feed: _Feed,
    initial: bytes,
    states: Mapping[Hashable, object] | None,
    as_text: bool,
    partitioned_by_key: bool,
) -> dict[Hashable, Any]:
    start = {k: _state_bytes(k, s, feed) for k, s in states.items()} if states else None
    keys, learned, _ = _learn_by_key(frame, key, feed, initial, start, partitioned_by_key)
    learned_states: dict[Hashable, bytes] = dict(start or {})
    learned_states.update(zip(keys, learned))
    if as_text:
        return {k: from_bytes(b).to_json() for k, b in learned_states.items()}
    return {k: from_bytes(b) for k, b in learned_states.items()}


def learn_by_key(
    frame: dd.DataFrame,
    key: str,
    features: Sequence[str],
    target: str | None,
    make_model: Callable[[], Learner],
    *,
    states: Mapping[Hashable, Learner | str] | None = None,
    as_text: bool = False,
    partitioned_by_key: bool = False,
) -> dict[Hashable, Any]:
    """Train one model (or scaler) per value of the ``key`` column.

    Args:
        frame: the rows, in stream order: partition by partition, and within a
            partition row by row.
        key: the column whose values name the models, or the name of the
            frame's index.
        features: the feature columns, in the order the model takes them.
        target: the target column (booleans for the classifiers), or ``None``
            for a ``StandardScaler``.
        make_model: returns a fresh object. It is called once, here: every key
            without a state in ``states`` starts from a copy of that object.
        states: existing objects of ``make_model``'s class (or their snapshot
            text) to continue, by key. Keys that have no rows in ``frame`` come
            back unchanged.
        as_text: return snapshot text instead of objects.
        partitioned_by_key: every key's rows are in one partition already, so
            the rows need no shuffle. A frame indexed by the key with known
            divisions is taken as partitioned without this flag. A key found
            in two partitions is then a ValueError.

    Returns:
        A dict from each key value to its object (or snapshot text), bit for bit
        what feeding each key's rows in order in one process gives. Rows whose
        key is missing (NaN or None) are skipped, as pandas' groupby skips them.

    Each partition is converted to one float64 array once and cut by a hash of
    the key into a piece per bucket of keys; each bucket joins its pieces in
    the frame's order, sorts them stably by key and hands them to
    :func:`drel_ml_ext.learn_many_by_key`. The states travel between processes
    in their binary form (:func:`drel_ml_ext.to_bytes`).

    Raises:
        RuntimeError: an object rejected a row (from the worker, with the
            message of the core and, in place of the row's position, its
            key, its partition and its index label in ``frame``). Any other
            error keeps its type and text, its key added as a note.

    Example::

        models = learn_by_key(frame, "customer", ["x0", "x1"], "spent",
                              lambda: drel_ml.LinearRegression(2, 0.01))
        models[17].predict_one([0.5, 1.0])
    """
    prototype = _made(make_model, "make_model")
    feed = _feed_for(prototype, features, target)
    return _by_key(frame, key, feed, to_bytes(prototype), states, as_text, partitioned_by_key)


def update_by_key(
    frame: dd.DataFrame,
    key: str,
    column: str,
    make_statistic: Callable[[], Statistic],
    *,
    states: Mapping[Hashable, Statistic | str] | None = None,
    as_text: bool = False,
    partitioned_by_key: bool = False,
) -> dict[Hashable, Any]:
    """One running statistic (``Mean``, ``Variance`` or ``EWMean``) of ``column`` per key.

    The arguments and the result are those of :func:`learn_by_key`. Since every
    key's values are fed in order, ``EWMean`` works here too.
    """
    prototype = _made(make_statistic, "make_statistic")
    feed = _feed_for(prototype, [column], None)
    if feed.class_name not in _STATISTICS:
        raise TypeError(f"update_by_key takes a running statistic, got {feed.class_name!r}")
    return _by_key(frame, key, feed, to_bytes(prototype), states, as_text, partitioned_by_key)


# ---- one object from all partitions -------------------------------------------


def _train_copy(part: pd.DataFrame, feed: _Feed, start: str, number: int) -> str:
    obj = feed.restore(start)
    with _located(f"partition {number}", part):
        feed.feed(obj, part)
    text: str = obj.to_json()
    return text


def _merge_texts(feed: _Feed, start: str, a: str, b: str) -> str:
    text: str = merge(feed.restore(a), feed.restore(b), start=feed.restore(start)).to_json()
    return text


def _rounds(frame: dd.DataFrame, feed: _Feed, start: str, rounds: int) -> Delayed | str:
    """The graph of all rounds: train a copy per partition, merge the copies by a tree."""
    parts = _parts(frame, feed.columns)
    train = delayed(_train_copy)
    merge_pair = delayed(_merge_texts)
    state: Delayed | str = start
    for _ in range(rounds):
        round_start = state

        def merge_copies(a: Delayed, b: Delayed, start: Delayed | str = round_start) -> Delayed:
            return cast(Delayed, merge_pair(feed, start, a, b))

        copies: list[Delayed] = [
            train(part, feed, round_start, number) for number, part in enumerate(parts)
        ]
        state = tree_reduce(copies, merge_copies)
    return state


def _check_mergeable(obj: Any) -> None:
    merge(obj, obj)  # raises the core's refusal, e.g. for EWMean


@overload
def learn_partitioned(
    frame: dd.DataFrame, features: Sequence[str], target: str | None, model: Learner,
    rounds: int = 1, *, as_text: Literal[False] = False,
) -> Learner: ...
@overload
def learn_partitioned(
    frame: dd.DataFrame, features: Sequence[str], target: str | None, model: Learner,
    rounds: int = 1, *, as_text: Literal[True],
) -> str: ...
def learn_partitioned(
    frame: dd.DataFrame,
    features: Sequence[str],
    target: str | None,
    model: Learner,
    rounds: int = 1,
    *,
    as_text: bool = False,
) -> Learner | str:
    """Train one model (or scaler) from all partitions at once, in ``rounds`` rounds.

    Each round, every partition trains a copy of the current model on its rows
    (on the worker that holds them), and the copies are merged pairwise by
    :func:`drel_ml_ext.merge` with the round's start model, in a tree of tasks,
    into the next model. ``model`` itself is not changed; the new model carries
    its samples plus every row of every round.

    A scaler comes out exactly as if it had seen every row; a model comes out
    as the average of the partition models weighted by their rows, which is
    close to, but not the same as, one model trained on the whole stream. More
    rounds on the same rows act like more passes over the data.

    Args:
        frame: the rows. Persist it first when ``rounds > 1``.
        features: the feature columns, in the order the model takes them.
        target: the target column (booleans for the classifiers), or ``None``
            for a ``StandardScaler``.
        model: the model to start from.
        rounds: how many rounds (passes over the frame); at least 1.
        as_text: return snapshot text instead of an object.

    The pairing of the tree depends only on the number of partitions, so
    :func:`drel_ml_ext.merge_all` over the same partition models, with the
    same start, gives the same model bit for bit.
    """
    rounds = checked_count(rounds, "rounds", 1)
    feed = _feed_for(model, features, target)
    _check_mergeable(model)
    (text,) = _compute(_rounds(frame, feed, model.to_json(), rounds))
    return cast(str, text) if as_text else cast(Learner, feed.restore(text))


def update_partitioned(
    frame: dd.DataFrame,
    columns: str | Sequence[str],
    statistic: MergeableStatistic,
    *,
    as_text: bool = False,
) -> Any:
    """A ``Mean`` or ``Variance`` of one column, or of each of several, over all partitions.

    Every partition updates a copy of ``statistic`` with its values, and the
    copies are merged by a tree of tasks, so the result is what one object fed
    every value would hold (counts exact, moments within a few ulps). ``statistic``
    itself is not changed; its own samples are counted once.

    Returns:
        For one column name, the statistic (or its snapshot text); for a list of
        columns, a dict from column to statistic, all computed in one pass.
    """
    names = [columns] if isinstance(columns, str) else list(columns)
    feeds = [_feed_for(statistic, [name], None) for name in names]
    _check_mergeable(statistic)
    start = statistic.to_json()
    texts = _compute(*(_rounds(frame, feed, start, 1) for feed in feeds))
    results = [text if as_text else feed.restore(text) for feed, text in zip(feeds, texts)]
    if isinstance(columns, str):
        return results[0]
    return dict(zip(names, results))


# ---- evaluating while learning (progressive validation in the workers) ----------

from drel_ml_ext._dask_evaluate import (  # noqa: E402  (it builds on the helpers above)
    KeyedEvaluation,
    PartitionedEvaluation,
    evaluate_by_key,
    evaluate_partitioned,
)

__all__ += ["evaluate_by_key", "evaluate_partitioned", "KeyedEvaluation", "PartitionedEvaluation"]
