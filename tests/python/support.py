"""Shared tables and helpers of the Python suite."""

import math
import struct
from decimal import Decimal

import drel_ml

NAMES = [
    "Mean", "Variance", "EWMean", "StandardScaler", "LinearRegression",
    "LogisticRegression", "RegressionPipeline", "ClassificationPipeline", "Snapshot",
]
STATEFUL = NAMES[:-1]

# Constructor parameters and working arguments of every instantiable class.
CTOR_PARAMS = {
    "Mean": (), "Variance": ("kind",), "EWMean": ("alpha",),
    "StandardScaler": ("feature_count",),
    **{n: ("feature_count", "learning_rate") for n in STATEFUL[4:]},
}
CTOR_ARGS = {
    "Mean": (), "Variance": ("sample",), "EWMean": (0.5,), "StandardScaler": (3,),
    **{n: (3, 0.1) for n in STATEFUL[4:]},
}

# Methods with parameters (besides from_json) and their parameter names.
_X, _XY = ("x",), ("x", "y")
METHODS = {
    "Mean": {"update": _X},
    "Variance": {"update": _X},
    "EWMean": {"update": _X},
    "StandardScaler": {"transform_one": _X, "fit_one": _X, "learn_one": _X},
    "LinearRegression": {"predict_one": _X, "learn_one": _XY},
    "LogisticRegression": {"predict_one": _X, "predict_proba_one": _X, "learn_one": _XY},
    "RegressionPipeline": {"predict_one": _X, "learn_one": _XY},
    "ClassificationPipeline": {"predict_one": _X, "predict_proba_one": _X, "learn_one": _XY},
}
PROPERTIES = {
    "Mean": ("value", "count"),
    "Variance": ("value", "stddev", "mean", "count"),
    "EWMean": ("value",),
    "StandardScaler": ("samples_seen",),
    "LinearRegression": ("weights", "samples_seen"),
    "LogisticRegression": ("weights", "samples_seen"),
    "RegressionPipeline": ("samples_seen",),
    "ClassificationPipeline": ("samples_seen",),
}


def make(name):
    return getattr(drel_ml, name)(*CTOR_ARGS[name])


def fmt(x):
    """A float as error messages render it: shortest digits, never an exponent."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    text = format(Decimal(repr(abs(x))), "f")
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return ("-" if math.copysign(1.0, x) < 0 else "") + text


def bits(x):
    return struct.pack("<d", x)


def same(a, b):
    """Bit-for-bit equality of floats, lists of floats, or anything else by ==."""
    if isinstance(a, float) and isinstance(b, float):
        return bits(a) == bits(b)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(p, q) for p, q in zip(a, b))
    return type(a) is type(b) and a == b


def notes(exc):
    return getattr(exc, "__notes__", [])


def raises(exc_type, message, fn, *args, note=None, **kwargs):
    """Calls fn and checks the exact exception type, text and notes."""
    try:
        fn(*args, **kwargs)
    except BaseException as e:  # noqa: BLE001 - the type is checked below
        assert type(e) is exc_type, (type(e), e)
        if message is not None:
            assert str(e) == message
            assert e.args == (message,)
        if note is not ...:  # ...: the notes are checked by the caller
            assert notes(e) == ([note] if note else [])
        return e
    raise AssertionError(f"{fn!r} raised nothing")
