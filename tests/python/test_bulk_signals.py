"""Ctrl-C stops a bulk call: SIGINT, sent during a call that would run for
seconds, raises KeyboardInterrupt within a second, and the object is exactly as
it was. Another process sends the signal, as a terminal does: a thread of this
one could not run while the call converts Python objects, holding the
interpreter lock. The inputs cost next to no memory (broadcast rows, repeated
items), and each call is stopped a fifth of a second in."""

import itertools
from decimal import Decimal

import pytest

import drel_ml
import drel_ml_ext

np = pytest.importorskip("numpy")

WIDE = 1000  # wide rows: a few seconds of work needs few rows


def wide_rows(n):
    return np.broadcast_to(np.linspace(-1.0, 1.0, WIDE), (n, WIDE))


# name -> (object, the call on it, the width of its rows or None for a statistic)
CALLS = {
    # buffers: the core runs without the interpreter lock
    "learn_many": lambda: (drel_ml.LinearRegression(WIDE, 1e-6), lambda m: drel_ml_ext.learn_many(
        m, wide_rows(3 * 10**6), np.broadcast_to(0.5, (3 * 10**6,))), WIDE),
    "learn_many_scaler": lambda: (drel_ml.StandardScaler(WIDE), lambda s: drel_ml_ext.learn_many(
        s, wide_rows(3 * 10**6)), WIDE),
    "predict_many": lambda: (drel_ml.LogisticRegression(WIDE, 0.1), lambda m: drel_ml_ext.predict_many(
        m, wide_rows(10**7)), WIDE),
    "predict_proba_many": lambda: (drel_ml.ClassificationPipeline(WIDE, 0.1),
                                   lambda m: drel_ml_ext.predict_proba_many(m, wide_rows(3 * 10**6)),
                                   WIDE),
    "update_many": lambda: (drel_ml.Variance("sample"), lambda v: drel_ml_ext.update_many(
        v, np.broadcast_to(0.5, (2 * 10**9,))), None),
    # iterables: converted under the lock by C code that runs no Python code
    "learn_many_iterated": lambda: (drel_ml.RegressionPipeline(4, 0.01),
                                    lambda m: drel_ml_ext.learn_many(
                                        m, itertools.repeat([Decimal("1.5")] * 4, 3 * 10**6),
                                        itertools.repeat(1.0, 3 * 10**6)), 4),
    "update_many_iterated": lambda: (drel_ml.Mean(), lambda v: drel_ml_ext.update_many(
        v, itertools.repeat(Decimal("0.5"), 10**7)), None),
    # offsets that never end
    "learn_many_by_key_offsets": lambda: (drel_ml.LinearRegression(4, 0.01),
                                          lambda m: drel_ml_ext.learn_many_by_key(
                                              [m], [[0.5] * 4], [1.0], itertools.count()), 4),
}


@pytest.mark.parametrize("name", sorted(CALLS))
def test_sigint_stops_a_bulk_call_and_changes_nothing(name, interrupted):
    obj, call, width = CALLS[name]()
    if width is not None:
        # some state that must stay as it is
        drel_ml_ext.learn_many(obj, [[0.25] * width, [0.75] * width],
                               *([] if isinstance(obj, drel_ml.StandardScaler) else [[1, 0]]))
    before = obj.to_json()
    assert interrupted(lambda: call(obj)) < 1.0
    assert obj.to_json() == before
    # and the object is not left borrowed
    if width is None:
        obj.update(1.0)
    else:
        obj.learn_one([0.5] * width, *([] if isinstance(obj, drel_ml.StandardScaler) else [True]))
