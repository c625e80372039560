"""drel_ml_ext.metrics: one-sample and bulk updates, refusals, merges,
snapshots and pickling, and agreement with scikit-learn's batch functions."""

import math
import pickle
import random
import struct

import pytest

from drel_ml_ext import metrics as M

REGRESSION = [M.MAE, M.MSE, M.RMSE, M.R2]
LABELS = [M.Accuracy, M.Precision, M.Recall, M.F1]
SCORES = [M.LogLoss, M.ROCAUC]
ALL = REGRESSION + LABELS + SCORES


def bits(x):
    return None if x is None else struct.pack("<d", x)


def stream(cls, n, seed=0):
    """n (truth, prediction) pairs of the kind cls takes."""
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        if cls in REGRESSION:
            y = rng.uniform(-10, 10)
            out.append((y, y + rng.gauss(0, 2)))
        else:
            y = rng.random() < 0.4
            p = min(1.0, max(0.0, (0.65 if y else 0.35) + rng.gauss(0, 0.25)))
            # A few repeated scores, so that ties matter.
            p = round(p, 2)
            out.append((y, p >= 0.5 if cls in LABELS else p))
    return out


def fed(cls, pairs):
    m = cls()
    for y, p in pairs:
        m.update(y, p)
    return m


@pytest.mark.parametrize("cls", ALL, ids=lambda c: c.__name__)
def test_update_many_equals_the_loop_bit_for_bit(cls):
    pairs = stream(cls, 300, seed=1)
    one = fed(cls, pairs)
    many = cls()
    many.update_many([y for y, _ in pairs[:100]], [p for _, p in pairs[:100]])
    many.update_many(tuple(y for y, _ in pairs[100:]), iter([p for _, p in pairs[100:]]))
    assert bits(one.value) == bits(many.value)
    assert one.to_json() == many.to_json()
    assert one.count == many.count == 300


BAD = {
    "regression": [(math.nan, 1.0, "non-finite value for `y_true`: NaN"),
                   (1.0, math.inf, "non-finite value for `y_pred`: inf")],
    "labels": [],
    "scores": [(True, math.nan, "non-finite value for `y_pred`: NaN")],
}


@pytest.mark.parametrize("cls", ALL, ids=lambda c: c.__name__)
def test_refused_pairs_change_nothing(cls):
    pairs = stream(cls, 20, seed=2)
    m = fed(cls, pairs)
    before = m.to_json()
    kind = "regression" if cls in REGRESSION else "labels" if cls in LABELS else "scores"
    for y, p, message in BAD[kind]:
        with pytest.raises(RuntimeError, match=message.replace("`", ".")):
            m.update(y, p)
        with pytest.raises(RuntimeError, match=r"\(row 3\)"):
            m.update_many([pairs[0][0]] * 3 + [y], [pairs[0][1]] * 3 + [p])
    if cls is M.LogLoss:
        with pytest.raises(RuntimeError, match=r"invalid probability: 1.5 .* \(row 1\)"):
            m.update_many([True, True], [0.5, 1.5])
    if cls in LABELS or cls in SCORES:
        with pytest.raises(TypeError):
            m.update(1.5, pairs[0][1])
        with pytest.raises(TypeError):
            m.update_many([True, 2.5], [pairs[0][1]] * 2)
    with pytest.raises(ValueError, match="differ in length"):
        m.update_many([pairs[0][0]] * 2, [pairs[0][1]] * 3)
    assert m.to_json() == before


@pytest.mark.parametrize("cls", ALL, ids=lambda c: c.__name__)
@pytest.mark.parametrize("cut", [0, 1, 77, 200])
def test_merge_of_a_split_stream_equals_the_whole(cls, cut):
    pairs = stream(cls, 200, seed=3)
    whole = fed(cls, pairs)
    a, b = fed(cls, pairs[:cut]), fed(cls, pairs[cut:])
    b_json = b.to_json()
    a.merge(b)
    assert b.to_json() == b_json
    if cls is M.R2:  # moments by the parallel formula: within rounding
        assert a.count == whole.count
        assert math.isclose(a.value, whole.value, rel_tol=1e-13)
    else:
        assert a.to_json() == whole.to_json()
        assert bits(a.value) == bits(whole.value)


def test_merge_refuses_other_classes_and_merges_with_itself():
    m = fed(M.MAE, [(1.0, 2.0)])
    with pytest.raises(TypeError, match="merge\\(\\) needs a MAE, not 'drel_ml_ext.metrics.MSE'"):
        m.merge(M.MSE())
    m.merge(m)
    assert (m.count, m.value) == (2, 1.0)
    r = M.Rolling(M.MAE(), 3)
    with pytest.raises(RuntimeError, match="cannot merge states whose metrics differ: MAE and MSE"):
        r.merge(M.Rolling(M.MSE(), 3))
    with pytest.raises(RuntimeError, match="cannot merge states whose windows differ: 3 and 4"):
        r.merge(M.Rolling(M.MAE(), 4))


@pytest.mark.parametrize("cls", ALL, ids=lambda c: c.__name__)
def test_snapshots_and_pickles_round_trip(cls):
    m = fed(cls, stream(cls, 50, seed=4))
    for back in (cls.from_json(m.to_json()), pickle.loads(pickle.dumps(m))):
        assert type(back) is cls
        assert back.to_json() == m.to_json()
        assert bits(back.value) == bits(m.value)
    r = M.Rolling(cls(), 7)
    r.update_many(*zip(*stream(cls, 20, seed=5)))
    back = pickle.loads(pickle.dumps(r))
    assert back.to_json() == r.to_json() and bits(back.value) == bits(r.value)
    assert repr(back) == repr(r)


@pytest.mark.parametrize("cls", ALL, ids=lambda c: c.__name__)
@pytest.mark.parametrize("window", [1, 5, 64])
def test_rolling_equals_a_fresh_metric_of_its_window(cls, window):
    pairs = stream(cls, 150, seed=6)
    r = M.Rolling(cls(), window)
    for i, (y, p) in enumerate(pairs):
        r.update(y, p)
        if i % 13 == 0 or i == len(pairs) - 1:
            fresh = fed(cls, pairs[max(0, i + 1 - window) : i + 1])
            assert r.count == fresh.count
            if cls is M.R2:  # moments recomputed from the window, not by Welford
                assert (r.value is None) == (fresh.value is None)
                if r.value is not None:
                    assert math.isclose(r.value, fresh.value, rel_tol=1e-12, abs_tol=1e-12)
            else:
                assert bits(r.value) == bits(fresh.value)


def test_rolling_refusals():
    with pytest.raises(ValueError, match="has seen 1"):
        M.Rolling(fed(M.MAE, [(1.0, 1.0)]), 3)
    with pytest.raises(TypeError, match="must be a metric"):
        M.Rolling(3, 3)
    with pytest.raises(RuntimeError, match="invalid window size"):
        M.Rolling(M.MAE(), 0)
    r = M.Rolling(M.Accuracy(), 2)
    assert (r.metric, r.window, r.count, r.value) == ("Accuracy", 2, 0, None)
    with pytest.raises(RuntimeError, match="not 0 or 1"):
        M.Rolling.from_json(
            '{"format_version":1,"model":{"Accuracy":{"window":2,"truths":[0.5],"predictions":[1]}}}'
        )


# ---- against scikit-learn ------------------------------------------------------


def sklearn_reference(cls):
    sk = pytest.importorskip("sklearn.metrics")
    np = pytest.importorskip("numpy")
    return {
        M.MAE: sk.mean_absolute_error,
        M.MSE: sk.mean_squared_error,
        M.RMSE: lambda y, p: float(np.sqrt(sk.mean_squared_error(y, p))),
        M.R2: sk.r2_score,
        M.Accuracy: sk.accuracy_score,
        M.Precision: lambda y, p: sk.precision_score(y, p, zero_division=0),
        M.Recall: lambda y, p: sk.recall_score(y, p, zero_division=0),
        M.F1: lambda y, p: sk.f1_score(y, p, zero_division=0),
        M.LogLoss: lambda y, p: sk.log_loss(y, np.clip(p, 1e-15, 1 - 1e-15), labels=[False, True]),
        M.ROCAUC: sk.roc_auc_score,
    }[cls]


def real_stream(cls, name):
    """Predictions of a one-pass linear model on a bundled data set."""
    datasets = pytest.importorskip("sklearn.datasets")
    import drel_ml

    if cls in REGRESSION:
        X, y = datasets.load_diabetes(return_X_y=True) if name == "real" else (None, None)
        model = drel_ml.LinearRegression(X.shape[1], 0.05)
        targets = [float(v) / 100.0 for v in y]
    else:
        X, y = datasets.load_breast_cancer(return_X_y=True)
        X = (X - X.mean(axis=0)) / X.std(axis=0)
        model = drel_ml.LogisticRegression(X.shape[1], 0.05)
        targets = [bool(v) for v in y]
    pairs = []
    for x, t in zip(X.tolist(), targets):
        if cls in REGRESSION:
            p = model.predict_one(x)
        elif cls in LABELS:
            p = model.predict_one(x)
        else:
            p = model.predict_proba_one(x)
        pairs.append((t, p))
        model.learn_one(x, t)
    return pairs


@pytest.mark.parametrize("cls", ALL, ids=lambda c: c.__name__)
@pytest.mark.parametrize("data", ["synthetic", "real"])
def test_agrees_with_scikit_learn(cls, data):
    reference = sklearn_reference(cls)
    pairs = stream(cls, 2000, seed=7) if data == "synthetic" else real_stream(cls, data)
    m = cls()
    m.update_many(*zip(*pairs))
    y, p = zip(*pairs)
    expected = float(reference(list(y), list(p)))
    assert math.isclose(m.value, expected, rel_tol=1e-12, abs_tol=1e-15), (m.value, expected)
