"""The companion calls beyond the bulk functions (learn_each, the hashed steps, fixed names,
the hasher's transform_many, progressive validation, the by-key calls, the metrics), each
path of them taken thousands of times, leave memory and reference counts flat."""

import math
import os

import pytest
from test_leaks import assert_flat

import drel_ml as d
import drel_ml_ext as e
from drel_ml_ext import _native
from drel_ml_ext import metrics as M

np = pytest.importorskip("numpy")

N = 4
ROWS = [[float(i + j) for j in range(N)] for i in range(6)]
TOTAL = 60_000


class Own(Exception):
    pass


class Raiser:
    def __float__(self):
        raise Own("the caller's own")


def build():
    X, y, flags = np.array(ROWS), np.ones(6), np.array([True, False] * 3)
    hasher, pairs = e.FeatureHasher(8), e.FeatureHasher(8, input_type="pair")
    steps, texts = _native.HashedSteps(hasher), _native.HashedSteps(hasher, text_names=True)
    named = _native.NamedColumns({"a": 0, "b": 1}, True)
    sparse = [d.LogisticRegression(8, 1e-3) for _ in range(3)]
    dense = [d.LogisticRegression(N, 1e-3) for _ in range(3)]
    keyed = [d.LinearRegression(N, 1e-3) for _ in range(3)]
    model, classifier = d.LinearRegression(N, 1e-3), d.LogisticRegression(N, 1e-3)
    # ROCAUC holds every score it has seen: only its window, which stays bounded, here.
    mae, mse, acc, loss = M.MAE(), M.MSE(), M.Accuracy(), M.LogLoss()
    rolling, seen = M.Rolling(M.ROCAUC(), window=4), M.MAE()
    seen.update(1.0, 2.0)
    sample, numbered, bad = {"a": 1.0, "b": "x", "c": 2}, {1: 1.0, "b": "x"}, {"a": Raiser()}
    offsets = [0, 2, 4, 6]
    objects = [X, y, flags, hasher, pairs, steps, texts, named, *sparse, *dense, *keyed, model,
               classifier, mae, mse, acc, loss, rolling, seen, sample, numbered, offsets]
    ok, te, ve, rt = (), TypeError, ValueError, RuntimeError
    paths = [
        (ok, lambda: steps.learn_each(sparse, sample, [True, False, False])),
        (ok, lambda: texts.learn_each(sparse, numbered, [True, False, False])),
        (ok, lambda: texts.predict_proba_one(sparse[0], numbered)),
        (ve, lambda: steps.learn_each(sparse, sample, [True])),
        (te, lambda: steps.learn_each(sparse, [1.0], [True] * 3)),
        (te, lambda: texts.learn_each(sparse, [1.0], [True] * 3)),
        (Own, lambda: steps.learn_each(sparse, bad, [True] * 3)),
        (ve, lambda: steps.learn_each([sparse[0], sparse[0]], sample, [True] * 2)),
        (ok, lambda: _native.learn_each(dense, ROWS[0], [True, False, True])),
        (te, lambda: _native.learn_each(dense, ROWS[0], [True, 1.0, True])),
        (ok, lambda: named.row({"a": 1.0, "b": 2.0})),
        (KeyError, lambda: named.row({"a": 1.0, "z": 2.0})),
        (te, lambda: named.row([1.0])),
        (ok, lambda: hasher.transform_many([sample, sample])),
        (te, lambda: hasher.transform_many(sample)),
        (te, lambda: hasher.transform_many([sample, [1.0]])),
        (ok, lambda: pairs.transform_many([[("a", 1.0), ("b", "x")]])),
        (ok, lambda: e.progressive_validation(model, X, y, [mae, mse], every=2)),
        (ok, lambda: e.progressive_validation(classifier, X, flags, [acc, loss, rolling], delay=2)),
        (ve, lambda: e.progressive_validation(model, X, y, [mae, mae])),
        (te, lambda: e.progressive_validation(model, X, y, [acc])),
        (te, lambda: e.progressive_validation(classifier, X, y, [acc])),
        (rt, lambda: e.progressive_validation(model, [[math.nan] * N], [1.0], mae)),
        (ok, lambda: _native._progressive_validation_by_key(keyed, X, y, offsets,
                                                            ((mae,), (mse,), ()), 0)),
        (ve, lambda: _native._progressive_validation_by_key(keyed, X, y, offsets,
                                                            ((mae,), (mae,), ()), 0)),
        (ok, lambda: e.learn_many_by_key(keyed, X, y, offsets)),
        (ve, lambda: e.learn_many_by_key(keyed, X, y, [0, 2, 4, 7])),
        (ok, lambda: acc.update_many(flags, flags)),
        (te, lambda: acc.update_many(y, flags)),
        (ve, lambda: mae.update_many(y, y[:3])),
        (ok, lambda: mae.merge(seen)),
        (te, lambda: mae.merge(mse)),
        (rt, lambda: rolling.merge(M.Rolling(M.ROCAUC(), window=5))),
        (ok, lambda: e.merge(keyed[0], keyed[1], start=keyed[2])),
    ]
    return objects, paths


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_memory_and_references_stay_flat():
    assert_flat(*build(), TOTAL)
