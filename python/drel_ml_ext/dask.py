"""Training drel_ml objects on a Dask cluster (needs the ``dask`` extra).

Two ways to spread a stream over several processes or machines:

* **One object per key** (a model per customer, a statistic per sensor):
  :func:`learn_by_key` and :func:`update_by_key` move every key's rows into
  one partition (a shuffle on the key) and train each key's object there, on
  the worker that holds the rows, with the bulk functions. Each key sees its
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

# Columns that carry the frame's own row order through a shuffle.
_PARTITION = "__drel_partition"
_ROW = "__drel_row"
_STATE = "state"


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
        return [*self.features, *([self.target] if self.target is not None else [])]

    def restore(self, text: str) -> Any:
        return getattr(drel_ml, self.class_name).from_json(text)

    def feed(self, obj: Any, rows: pd.DataFrame) -> None:
        if self.class_name in _STATISTICS:
            update_many(obj, rows[self.features[0]].to_numpy(dtype=np.float64))
            return
        x = np.ascontiguousarray(rows[list(self.features)].to_numpy(dtype=np.float64))
        if self.target is None:
            learn_many(obj, x)
            return
        # Classifier targets go as they are: a float NaN must not pass as True.
        column = rows[self.target]
        y = column.to_numpy() if self.class_name in _CLASSIFIERS else column.to_numpy(dtype=np.float64)
        learn_many(obj, x, y)

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

    def feed_by_key(
        self, objects: list[Any], rows: pd.DataFrame, order: np.ndarray, offsets: np.ndarray
    ) -> None:
        """Rows ``order[offsets[k]:offsets[k + 1]]`` to ``objects[k]``, in one native call."""
        if self.class_name in _STATISTICS:
            xs = rows[self.features[0]].to_numpy(dtype=np.float64)[order]
            update_many_by_key(objects, xs, offsets)
            return
        x = rows[list(self.features)].to_numpy(dtype=np.float64)[order]
        if self.target is None:
            learn_many_by_key(objects, x, None, offsets)
            return
        column = rows[self.target]
        y = column.to_numpy() if self.class_name in _CLASSIFIERS else column.to_numpy(dtype=np.float64)
        learn_many_by_key(objects, x, y[order], offsets)


def _feed_for(obj: object, features: Sequence[str], target: str | None) -> _Feed:
    name = type(obj).__name__
    if getattr(drel_ml, name, None) is not type(obj):
        raise TypeError(f"expected a drel_ml object, got {name!r}")
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


def _row_place(rows: pd.DataFrame, position: int) -> str:
    """The frame's own name for the row at ``position``: its index label, and the partition
    it came from when the rows were gathered from several."""
    if not 0 <= position < len(rows):
        return f"row {position}"
    place = f"index label {_plain(rows.index[position])!r}"
    if _PARTITION in rows.columns:
        place = f"partition {_plain(rows[_PARTITION].iat[position])}, {place}"
    return place


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


def _located_by_key(
    part: pd.DataFrame, order: np.ndarray, offsets: np.ndarray, keys: Any,
    feed: _Feed,
) -> Any:
    """Errors of one by-key call over ``part``'s rows taken in ``order`` name the key and
    the row's index label. An error that names no row (a column pandas cannot convert)
    is traced to the first key whose rows alone fail to convert."""

    def place(at: int | None) -> str:
        if at is None or not 0 <= at < len(order):
            k = feed.first_unconvertible(part, order, offsets)
            return "a key of this partition" if k is None else f"key {_plain(keys[k])!r}"
        key = keys[int(np.searchsorted(offsets, at, side="right")) - 1]
        return f"key {_plain(key)!r}, {_row_place(part, int(order[at]))}"

    return _located_by(place)


# ---- one object per key -----------------------------------------------------


def _with_position(part: pd.DataFrame, partition_info: dict[str, Any] | None = None) -> pd.DataFrame:
    number = partition_info["number"] if partition_info is not None else 0
    positioned = part.copy()
    positioned[_PARTITION] = np.full(len(part), number, dtype=np.int64)
    positioned[_ROW] = np.arange(len(part), dtype=np.int64)
    return positioned


def _learn_groups(
    part: pd.DataFrame,
    key: str,
    feed: _Feed,
    initial: bytes,
    states: Mapping[Hashable, bytes] | None,
    shuffled: bool,
) -> pd.DataFrame:
    """Every key of one partition, each fed its rows in the frame's order, in one native call.

    The partition is converted to float64 once and sorted stably by key (rows
    of a shuffled partition by key, then by their place in the frame), so that
    each key's rows are one slice; the key's object takes that slice exactly as
    learn_many would. Keys that are missing (NaN, None) are left out, as
    pandas' groupby leaves them out.
    """
    values = part[key] if key in part.columns else part.index.to_series()
    codes, uniques = pd.factorize(values, sort=False)
    frame_order = None
    if shuffled:
        # Back into frame order first: the rows come as runs, each in order, which a
        # stable sort merges.
        position = (part[_PARTITION].to_numpy() << 32) | part[_ROW].to_numpy()
        frame_order = np.argsort(position, kind="stable")
        codes = codes[frame_order]
    # Codes that fit 16 bits sort by radix, in linear time.
    narrow = codes.astype(np.int16) if len(uniques) < 2**15 else codes
    order = np.argsort(narrow, kind="stable")
    if frame_order is not None:
        order = frame_order[order]
    missing = int(np.count_nonzero(codes < 0))
    order = order[missing:]  # the missing keys' code, -1, sorts first
    codes = codes[codes >= 0]
    offsets = np.zeros(len(uniques) + 1, dtype=np.int64)
    np.cumsum(np.bincount(codes, minlength=len(uniques)), out=offsets[1:])
    objects = [from_bytes(states.get(k, initial) if states else initial) for k in uniques]
    if objects:  # a shuffle leaves some partitions empty
        with _located_by_key(part, order, offsets, uniques, feed):
            feed.feed_by_key(objects, part, order, offsets)
    return pd.DataFrame(
        {
            key: pd.Series(uniques, dtype=values.dtype),
            _STATE: pd.Series([to_bytes(obj) for obj in objects], dtype=object),
        }
    )


def _state_bytes(key: Hashable, state: Any, feed: _Feed) -> bytes:
    with _located_by(lambda _: f"key {_plain(key)!r}"):
        return to_bytes(feed.restore(state) if isinstance(state, str) else state)


def _by_key(
    frame: dd.DataFrame,
    key: str,
    feed: _Feed,
    initial: bytes,
    states: Mapping[Hashable, object] | None,
    as_text: bool,
    partitioned_by_key: bool,
) -> dict[Hashable, Any]:
    if key in feed.columns:
        raise ValueError(f"the key column {key!r} is also a feature or the target")
    start = {k: _state_bytes(k, s, feed) for k, s in states.items()} if states else None
    # A frame indexed by the key with known divisions holds each key in one
    # partition already: no shuffle then, nor when the caller says so.
    in_index = key not in frame.columns and frame.index.name == key
    if in_index and not (partitioned_by_key or frame.known_divisions):
        frame = frame.reset_index()
        in_index = False
    source = frame[feed.columns] if in_index else frame[[key, *feed.columns]]
    shuffled = not (in_index or partitioned_by_key)
    if shuffled:
        source = source.map_partitions(_with_position).shuffle(on=key)
    key_dtype = frame.index.dtype if in_index else frame[key].dtype
    meta = pd.DataFrame({key: pd.Series(dtype=key_dtype), _STATE: pd.Series(dtype=object)})
    learned = source.map_partitions(
        _learn_groups,
        key,
        feed,
        initial,
        delayed(start) if start else None,
        shuffled,
        meta=meta,
        enforce_metadata=False,
    )
    table = learned.compute()
    keys = table[key].tolist()
    if not shuffled and len(set(keys)) != len(keys):
        raise ValueError(
            f"the rows of some {key!r} values are in more than one partition: "
            "the frame is not partitioned by the key"
        )
    learned_states: dict[Hashable, bytes] = dict(start or {})
    learned_states.update(zip(keys, table[_STATE].tolist()))
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
        states: existing objects (or their snapshot text) to continue, by key.
            Keys that have no rows in ``frame`` come back unchanged.
        as_text: return snapshot text instead of objects.
        partitioned_by_key: every key's rows are in one partition already, so
            the rows need no shuffle. A frame indexed by the key with known
            divisions is taken as partitioned without this flag. A key found
            in two partitions is then a ValueError.

    Returns:
        A dict from each key value to its object (or snapshot text), bit for bit
        what feeding each key's rows in order in one process gives. Rows whose
        key is missing (NaN or None) are skipped, as pandas' groupby skips them.

    Each partition is converted to one float64 array once, sorted stably by
    key and handed to :func:`drel_ml_ext.learn_many_by_key`; the states travel
    between processes in their binary form (:func:`drel_ml_ext.to_bytes`).

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
    prototype = make_model()
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
    prototype = make_statistic()
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
    parts = frame[feed.columns].to_delayed()
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
    if rounds < 1:
        raise ValueError(f"rounds must be at least 1, got {rounds}")
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
