"""A million calls over every path of the call frame leave memory and references flat."""

import gc
import math
from array import array
import os
import sys
import tracemalloc

import pytest

import drel_ml as d

try:
    import numpy as np
except ImportError:  # the numpy paths are skipped
    np = None

N = 256  # wide vectors, so that a leaked copy of one shows at once
X = [float(i % 7) for i in range(N)]
XT = tuple(X)
SHORT, BAD_ITEM, NAN_ITEM = X[:-1], X[:-1] + ["a"], X[:-1] + [math.nan]
Y = 0.5
TOTAL = 10**6
OK = ()  # no exception expected


class Sneaky:
    """Calls back into a model while being converted."""

    def __init__(self, model):
        self.model = model

    def __float__(self):
        self.model.predict_one(XT)
        return 1.0


def build():
    lin, log = d.LinearRegression(N, 1e-9), d.LogisticRegression(N, 1e-9)
    rp, cp = d.RegressionPipeline(N, 1e-9), d.ClassificationPipeline(N, 1e-9)
    sc, mean, var = d.StandardScaler(N), d.Mean(), d.Variance("sample")
    lin_doc, mean_doc = lin.to_json(), mean.to_json()
    objects = [lin, log, rp, cp, sc, mean, var, X, XT, SHORT, BAD_ITEM, NAN_ITEM, Y,
               lin_doc, mean_doc]
    ok, rt, te = OK, RuntimeError, TypeError
    # (weight, expected exception, call)
    paths = [
        (8, ok, lambda: mean.update(1.5)),
        (4, ok, lambda: var.value),
        (4, ok, lambda: lin.learn_one(X, Y)),
        (4, ok, lambda: lin.predict_one(XT)),
        (2, ok, lambda: lin.weights),
        (4, ok, lambda: log.learn_one(XT, True)),
        (4, ok, lambda: log.predict_proba_one(range(N))),
        (4, ok, lambda: sc.transform_one(X)),
        (2, ok, lambda: sc.fit_one(XT)),
        (2, ok, lambda: rp.learn_one(X, Y)),
        (2, ok, lambda: cp.predict_one(X)),
        (1, ok, lambda: lin.to_json()),
        (1, ok, lambda: d.LinearRegression.from_json(lin_doc)),
        (4, ok, lambda: d.Snapshot.to_json(mean)),
        (4, ok, lambda: d.LinearRegression(N, 0.1)),
        (8, rt, lambda: mean.update(math.nan)),
        (4, rt, lambda: lin.predict_one(NAN_ITEM)),
        (4, rt, lambda: lin.learn_one(SHORT, Y)),
        (4, rt, lambda: rp.learn_one(X, math.inf)),
        (4, rt, lambda: d.LinearRegression(0, 0.1)),
        (4, rt, lambda: d.Variance("bad")),
        (4, rt, lambda: d.Mean.from_json("")),
        (4, rt, lambda: d.Mean.from_json('{"format_version":2,"model":{"count":0,"mean":0.0}}')),
        (4, te, lambda: lin.learn_one(BAD_ITEM, Y)),
        (4, te, lambda: lin.learn_one(X, "a")),
        (4, te, lambda: log.learn_one(X, 1)),
        (4, te, lambda: mean.update(None)),
        (4, te, lambda: d.Mean.from_json(b"")),
        (4, OverflowError, lambda: d.LinearRegression(-1, 0.1)),
        (4, te, lambda: lin.predict_one("abc")),
        (4, te, lambda: lin.predict_one(5)),
        (4, te, lambda: lin.learn_one(X)),
        (4, te, lambda: lin.learn_one(X, Y, 1)),
        (4, te, lambda: mean.update(z=1)),
        (4, te, lambda: d.LinearRegression(N, 0.1, bogus=1)),
        (2, rt, lambda: lin.learn_one([Sneaky(lin)] + SHORT, Y)),
    ]
    return objects + extra_objects, paths + extra_paths(lin, log, sc)


class NoLength(list):
    """A sequence whose length fails: ordinary failures are ignored, others raised."""

    def __init__(self, items, exc_type):
        super().__init__(items)
        self.exc_type = exc_type

    def __len__(self):
        raise self.exc_type("no length")


ARRAY_X = array("f", X)
NO_LENGTH = NoLength(X, ValueError)
INTERRUPTING = NoLength(X, KeyboardInterrupt)
extra_objects = [ARRAY_X, NO_LENGTH, INTERRUPTING]


def extra_paths(lin, log, sc):
    """Buffers of every kind, numpy rows and targets, failing lengths."""
    ok = OK
    paths = [
        (2, ok, lambda: lin.predict_one(ARRAY_X)),
        (2, ok, lambda: lin.predict_one(memoryview(ARRAY_X)[::-1])),
        (2, ok, lambda: sc.transform_one(NO_LENGTH)),
        (2, KeyboardInterrupt, lambda: lin.learn_one(INTERRUPTING, Y)),
    ]
    if np is None:
        return paths
    xa = np.array(X)
    rows = [xa, xa.astype(np.float32), xa.astype(np.int64), xa > 3.0, np.repeat(xa, 2)[::2],
            xa.astype(">f8"), xa.reshape(2, -1)]
    extra_objects.extend(rows)
    for row in rows[:-1]:
        paths.append((2, ok, lambda row=row: lin.learn_one(row, Y)))
        paths.append((1, ok, lambda row=row: sc.transform_one(row)))
    paths.append((1, TypeError, lambda: lin.predict_one(rows[-1])))
    paths.append((2, ok, lambda: log.learn_one(rows[0], np.True_)))
    paths.append((2, TypeError, lambda: log.learn_one(rows[0], np.int64(1))))
    return paths


def run(paths, total):
    weight = sum(w for w, _, _ in paths)
    for w, exc, call in paths:
        for _ in range(total * w // weight):
            try:
                call()
            except exc:
                pass


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def assert_flat(objects, paths, total):
    """Runs each (expected exception, call) path `total` times in all, after checking that it
    ends that way; memory and the references to `objects` must stay flat."""
    for exc, call in paths:  # every path really ends the way it is filed
        if exc == ():
            call()
        else:
            with pytest.raises(exc):
                call()
    weighted = [(1, exc, call) for exc, call in paths]
    run(weighted, total // 10)  # warm-up: caches, free lists, arenas
    watched = objects + [None, True, False]
    gc.collect()
    refs, memory = [sys.getrefcount(o) for o in watched], rss()
    tracemalloc.start()
    traced = tracemalloc.take_snapshot()
    run(weighted, total)
    gc.collect()
    leaked = sum(s.size_diff for s in tracemalloc.take_snapshot().compare_to(traced, "lineno"))
    tracemalloc.stop()
    after = [sys.getrefcount(o) for o in watched]
    assert leaked < 64 * 1024 and rss() - memory < 1024 * 1024
    assert after[:-3] == refs[:-3]
    assert all(abs(a - b) < 1000 for a, b in zip(after[-3:], refs[-3:])), (refs[-3:], after[-3:])


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_memory_and_references_stay_flat():
    objects, paths = build()
    for _, exc, call in paths:  # every path really ends the way it is filed
        if exc == ():
            call()
        else:
            with pytest.raises(exc):
                call()
    run(paths, 20_000)  # warm-up: caches, free lists, allocator arenas
    watched = objects + [None, True, False]
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    before = rss()

    tracemalloc.start()
    gc.collect()
    traced = tracemalloc.take_snapshot()
    run(paths, TOTAL // 10)
    gc.collect()
    growth = tracemalloc.take_snapshot().compare_to(traced, "lineno")
    tracemalloc.stop()
    leaked = sum(s.size_diff for s in growth)
    assert leaked < 64 * 1024, growth[:5]

    run(paths, TOTAL - TOTAL // 10)
    gc.collect()
    assert rss() - before < 1024 * 1024
    after = [sys.getrefcount(o) for o in watched]
    assert after[:-3] == refs[:-3]
    assert all(abs(a - b) < 1000 for a, b in zip(after[-3:], refs[-3:])), (refs[-3:], after[-3:])
