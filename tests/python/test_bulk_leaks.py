"""10^5 bulk calls over every path (each function, each input form, each kind
of failure) leave memory and reference counts flat."""

import array
import math
import os

import pytest
from test_leaks import assert_flat

import drel_ml as d
import drel_ml_ext as e

np = pytest.importorskip("numpy")

N = 4
ROWS = [[float(i + j) for j in range(N)] for i in range(6)]
TOTAL = 10**5


def build():
    lin, log = d.LinearRegression(N, 1e-3), d.LogisticRegression(N, 1e-3)
    rp, cp = d.RegressionPipeline(N, 1e-3), d.ClassificationPipeline(N, 1e-3)
    sc, mean, var = d.StandardScaler(N), d.Mean(), d.Variance("sample")
    X64 = np.array(ROWS)
    X32, Xi, XF = X64.astype(np.float32), X64.astype(np.int64), np.asfortranarray(X64)
    y, yb, yi = np.ones(6), np.array([True, False] * 3), [1, 0] * 3
    flat = array.array("d", [v for r in ROWS for v in r])
    mv = memoryview(flat).cast("B").cast("d", shape=[6, N])
    bad, nan_rows, short = ROWS[:3] + [[1.0, "a", 2.0, 3.0]], ROWS[:2] + [[math.nan] * N], ROWS[:5]
    tuples = tuple(tuple(r) for r in ROWS)
    big_endian, complex_view = memoryview(X64.astype(">f8")), memoryview(X64.astype(complex))

    class Own(Exception):
        pass

    class Raiser:
        def __float__(self):
            raise Own("the caller's own")  # a new one each time: its notes do not pile up

    class Grow:  # appends a row to the list it is read from
        def __init__(self, rows):
            self.rows = rows

        def __float__(self):
            self.rows.append(ROWS[0])
            return 1.0

    def growing():
        rows = [list(r) for r in ROWS[:3]]
        rows[1][0] = Grow(rows)
        return rows

    objects = [lin, log, rp, cp, sc, mean, var, X64, X32, Xi, XF, y, yb, yi, mv, bad, nan_rows,
               short, tuples, big_endian, complex_view] + ROWS
    ok, rt, te, ve = (), RuntimeError, TypeError, ValueError
    paths = [
        (ok, lambda: e.learn_many(lin, X64, y)),
        (ok, lambda: e.learn_many(lin, X32, y)),
        (ok, lambda: e.learn_many(rp, XF, list(y))),
        (ok, lambda: e.learn_many(log, Xi, yb)),
        (ok, lambda: e.learn_many(cp, ROWS, yi)),
        (ok, lambda: e.learn_many(sc, tuples)),
        (ok, lambda: e.learn_many(sc, mv)),
        (ok, lambda: e.learn_many(lin, (r for r in ROWS), iter(y))),
        (ok, lambda: e.predict_many(lin, X64)),
        (ok, lambda: e.predict_many(cp, ROWS)),
        (ok, lambda: e.predict_proba_many(log, X32)),
        (ok, lambda: e.transform_many(sc, X64)),
        (ok, lambda: e.update_many(mean, y)),
        (ok, lambda: e.update_many(var, [1.0, 2, 3])),
        (rt, lambda: e.learn_many(lin, nan_rows, [1.0] * 3)),
        (rt, lambda: e.predict_many(rp, short + [[1.0]])),
        (rt, lambda: e.update_many(mean, [1.0, math.inf])),
        (te, lambda: e.learn_many(lin, bad, [1.0] * 4)),
        (te, lambda: e.learn_many(log, ROWS, [1.0] * 6)),
        (te, lambda: e.predict_many(mean, X64)),
        (te, lambda: e.learn_many(lin, X64)),
        (te, lambda: e.learn_many(sc, X64, y)),
        (te, lambda: e.update_many(mean, [None])),
        (ve, lambda: e.learn_many(log, X64, [0, 1, 2, 0, 1, 0])),
        (ve, lambda: e.learn_many(log, X64, np.arange(6))),
        (ve, lambda: e.learn_many(lin, short, y)),
        (ve, lambda: e.learn_many(lin, iter(short), iter(y))),
        (ok, lambda: e.learn_many(lin, big_endian, y)),
        (te, lambda: e.predict_many(lin, complex_view)),
        (te, lambda: e.learn_many(lin, X64, X64)),
        (te, lambda: e.predict_many(lin, y)),
        (te, lambda: e.update_many(mean, [[1.0]])),
        (Own, lambda: e.learn_many(lin, [ROWS[0], [1.0, Raiser(), 2.0, 3.0]], [1.0, 2.0])),
        (ve, lambda: e.learn_many(lin, growing(), [1.0] * 3)),
    ]
    return objects, paths


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_memory_and_references_stay_flat():
    assert_flat(*build(), TOTAL)
