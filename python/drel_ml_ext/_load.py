"""Loading a snapshot whose class the caller does not know.

A snapshot carries no class name: its class shows in the keys of its ``model``
record, and for the two linear models (and the two pipelines, through their
model's record) in the loss, ``{"epsilon": ...}`` for the logistic one. The
text is scanned only for those: values are stepped over, not read, so that a
model of a million weights costs a few character searches before its class's
``from_json`` reads it. That reader stays the judge of everything else.
"""

from __future__ import annotations

import json
import os
import re
from typing import get_args

from drel_ml_ext import _native
from drel_ml_ext._classes import STATEFUL, Stateful

__all__ = ["load"]

_CLASSES: dict[str, type[Stateful]] = {cls.__name__: cls for cls in STATEFUL}

# The keys of each class's record, as its to_json writes them (the core's own field tables).
# A record may carry keys of its own besides (the readers skip unknown keys), so a class
# fits a record that holds all of its keys; the class with the most keys among those that
# fit is the record's class.
# The classes whose records have the keys of an earlier one's and differ from it by their
# loss (the logistic model and the pipeline around it) map that earlier one to the other.
def _record_tables() -> tuple[dict[str, frozenset[str]], dict[str, str]]:
    record_keys: dict[str, frozenset[str]] = {}
    logistic: dict[str, str] = {}
    for name, keys in _native.record_keys().items():
        twin = next((other for other, known in record_keys.items() if known == frozenset(keys)), None)
        if twin is None:
            record_keys[name] = frozenset(keys)
        else:
            logistic[twin] = name
    return record_keys, logistic


_RECORD_KEYS, _LOGISTIC = _record_tables()

# A snapshot nests six deep at most (a pipeline's AdaGrad settings); far deeper is none.
_MAX_DEPTH = 32

_SPACE = re.compile(r"[ \t\n\r]*")
_STRING = re.compile(r'"(?:[^"\\\x00-\x1f]|\\.)*"')
_SCALAR = re.compile(r"[-+.0-9A-Za-z]+")  # a number, true, false or null

Spans = dict[str, tuple[int, int]]


class _NotJson(ValueError):
    pass


def _space(text: str, at: int) -> int:
    match = _SPACE.match(text, at)
    assert match is not None  # it matches the empty string
    return match.end()


def _expect(text: str, at: int, character: str) -> int:
    if not text.startswith(character, at):
        raise _NotJson(f"expected {character!r} at character {at}")
    return _space(text, at + 1)


def _members(text: str, at: int, depth: int = 0) -> tuple[Spans, int]:
    """The keys of the JSON object at ``at``, each with the span of its value (the first
    one of a repeated key), and where the object ends."""
    if depth > _MAX_DEPTH:
        raise _NotJson(f"nested deeper than {_MAX_DEPTH} levels")
    at = _expect(text, _space(text, at), "{")
    members: Spans = {}
    if text.startswith("}", at):
        return members, at + 1
    while True:
        key = _STRING.match(text, at)
        if key is None:
            raise _NotJson(f"expected a key at character {at}")
        at = _expect(text, _space(text, key.end()), ":")
        end = _skip_value(text, at, depth + 1)
        members.setdefault(json.loads(key.group()), (at, end))
        at = _space(text, end)
        if text.startswith("}", at):
            return members, at + 1
        at = _expect(text, at, ",")


def _flat_array_end(text: str, at: int) -> int:
    """Where the array at ``at`` ends if it holds no string, array or object (the numbers
    that are the bulk of a snapshot), else -1. Searches for one character run at the speed
    of memchr, where a regular expression would step through every digit."""
    end = text.find("]", at)
    if end < 0 or any(text.find(opening, at + 1, end) >= 0 for opening in '[{"'):
        return -1
    return end + 1


def _skip_value(text: str, at: int, depth: int) -> int:
    """Where the JSON value at ``at`` ends."""
    if text.startswith("{", at):
        return _members(text, at, depth)[1]
    if text.startswith("[", at):
        flat = _flat_array_end(text, at)
        if flat >= 0:
            return flat
        if depth > _MAX_DEPTH:
            raise _NotJson(f"nested deeper than {_MAX_DEPTH} levels")
        at = _space(text, at + 1)
        if text.startswith("]", at):
            return at + 1
        while True:
            at = _space(text, _skip_value(text, at, depth + 1))
            if text.startswith("]", at):
                return at + 1
            at = _expect(text, at, ",")
    token = (_STRING if text.startswith('"', at) else _SCALAR).match(text, at)
    if token is None:
        raise _NotJson(f"expected a value at character {at}")
    return token.end()


def _record(text: str, spans: Spans) -> Spans | None:
    """The members of the object under ``model`` in ``spans``, or None when there is none."""
    if "model" not in spans:
        return None
    start, _ = spans["model"]
    try:
        return _members(text, start)[0]
    except _NotJson:
        return None


def _is_logistic(text: str, record: Spans) -> bool:
    """True when the model record's loss is the logistic one, ``{"epsilon": ...}``."""
    if "loss" not in record:
        return False
    start, end = record["loss"]
    try:
        loss = json.loads(text[start:end])
    except ValueError:
        return False  # the reader says what is wrong with it
    return isinstance(loss, dict) and "epsilon" in loss


def _file_hint(text: str) -> str:
    """A note for the text of a file's name, which a caller may pass for its contents."""
    if len(text) > 4096 or "\n" in text or "\x00" in text:
        return ""
    try:
        named = os.path.isfile(text)
    except (OSError, ValueError):
        return ""
    if not named:
        return ""
    return f"; {text!r} names a file: pass its contents, such as open(name).read()"


def _metric_hint(text: str) -> str:
    """A note for the snapshot of a metric, which its own class loads."""
    from drel_ml_ext.metrics import Metric  # noqa: PLC0415 - the metrics import this module's package

    readers: list[str] = []
    for cls in get_args(Metric):  # several write the same record: it names no class
        try:
            cls.from_json(text)
        except (RuntimeError, ValueError):
            continue
        readers.append(cls.__name__)
    if not readers:
        return ""
    return (f" (a metric's snapshot: load it by its class's from_json, of "
            f"drel_ml_ext.metrics.{' or '.join(readers)})")


def _accepted() -> str:
    return ", ".join(_CLASSES)


def _class_of(text: str) -> type[Stateful]:
    try:
        document, end = _members(text, 0)
        if _space(text, end) != len(text):
            raise _NotJson(f"text after the document at character {end}")
    except _NotJson as error:
        raise ValueError(
            f"not a drel_ml snapshot: not a JSON object ({error}){_file_hint(text)}"
        ) from None
    record = _record(text, document)
    if record is None:
        raise ValueError(
            f"not a drel_ml snapshot: no \"model\" object in a document with the keys "
            f"{sorted(document)}; a snapshot of {_accepted()} holds one"
        )
    fits = [name for name, keys in _RECORD_KEYS.items() if keys <= record.keys()]
    widest = max((len(_RECORD_KEYS[name]) for name in fits), default=0)
    fits = [name for name in fits if len(_RECORD_KEYS[name]) == widest]
    if len(fits) != 1:
        found = "fit none" if not fits else f"fit {' and '.join(fits)} alike"
        raise ValueError(
            f"not a drel_ml snapshot: the keys of its \"model\" record {sorted(record)} "
            f"{found} of the records of {_accepted()}{_metric_hint(text)}"
        )
    name = fits[0]
    if name in _LOGISTIC:
        # A pipeline's loss is its model's.
        model = _record(text, record) if "model" in _RECORD_KEYS[name] else record
        if model is not None and _is_logistic(text, model):
            name = _LOGISTIC[name]
    return _CLASSES[name]


def load(text: str | bytes) -> Stateful:
    """Rebuild a drel_ml object from its snapshot, whatever its class.

    The class is told from the snapshot itself (the keys of its ``model`` record and,
    for the linear models and the pipelines, the loss), and that class's ``from_json``
    reads the text, with all of its checks.

    Parameters:
        text: the snapshot as ``to_json`` wrote it, as ``str`` or as UTF-8 ``bytes``.

    Returns:
        A ``Mean``, ``EWMean``, ``Variance``, ``StandardScaler``, ``LinearRegression``,
        ``LogisticRegression``, ``RegressionPipeline`` or ``ClassificationPipeline``.

    Raises:
        TypeError: ``text`` is neither ``str`` nor ``bytes``.
        ValueError: the text is not a snapshot of any of the eight classes (not JSON, not
            UTF-8, no ``model`` record, or a record no class writes); the message says
            what was found.
        RuntimeError: the class's ``from_json`` refused the text, with its message.

    >>> import drel_ml, drel_ml_ext
    >>> model = drel_ml.LogisticRegression(2, 0.1)
    >>> type(drel_ml_ext.load(model.to_json())).__name__
    'LogisticRegression'
    """
    if isinstance(text, bytes):
        try:
            text = text.decode("utf-8")
        except UnicodeDecodeError as error:
            raise ValueError(f"not a drel_ml snapshot: not UTF-8 text ({error})") from None
    if not isinstance(text, str):  # pyright: ignore[reportUnnecessaryIsInstance] - callers are untyped
        raise TypeError(f"load() takes a snapshot as str or bytes, got {type(text).__name__}")
    return _class_of(text).from_json(text)
