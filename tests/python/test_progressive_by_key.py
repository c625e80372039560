"""The native per-key progressive pass equals progressive_validation of each
key's rows, bit for bit, and is all or nothing for the whole call."""

import struct

import pytest

import drel_ml
import drel_ml_ext
from drel_ml_ext import _native
from drel_ml_ext import metrics as M

hypothesis = pytest.importorskip("hypothesis")
np = pytest.importorskip("numpy")
st = hypothesis.strategies

MODELS = ["LinearRegression", "RegressionPipeline", "LogisticRegression", "ClassificationPipeline"]
CLASSIFIERS = {"LogisticRegression", "ClassificationPipeline"}


def metrics_for(name):
    if name in CLASSIFIERS:
        return (M.Accuracy(), M.LogLoss(), M.ROCAUC(), M.Rolling(M.F1(), 3))
    return (M.MAE(), M.R2(), M.Rolling(M.MSE(), 3))


def snapshot(models, metrics):
    return [m.to_json() for m in models], [[m.to_json() for m in ms] for ms in metrics]


def bits(values):
    return [struct.pack("<d", v) for v in values]


@hypothesis.given(
    name=st.sampled_from(MODELS),
    sizes=st.lists(st.integers(0, 12), min_size=0, max_size=6),
    delay=st.integers(0, 4),
    seed=st.integers(0, 2**32 - 1),
    as_lists=st.booleans(),
)
def test_equals_progressive_validation_per_key(name, sizes, delay, seed, as_lists):
    rng = np.random.default_rng(seed)
    n = sum(sizes)
    X = rng.normal(size=(n, 3))
    y = X[:, 0] > 0 if name in CLASSIFIERS else X @ [1.0, -2.0, 0.5]
    offsets = np.concatenate([[0], np.cumsum(sizes)]).astype(np.int64)
    models = [getattr(drel_ml, name)(3, 0.1) for _ in sizes]
    metrics = tuple(metrics_for(name) for _ in sizes)
    expected_models = [getattr(drel_ml, name)(3, 0.1) for _ in sizes]
    expected_metrics = [metrics_for(name) for _ in sizes]
    expected = []
    for k in range(len(sizes)):
        rows = slice(offsets[k], offsets[k + 1])
        result = drel_ml_ext.progressive_validation(
            expected_models[k], X[rows], y[rows], expected_metrics[k], delay=delay
        )
        expected.extend(result.predictions)
    Xs, ys = (X.tolist(), y.tolist()) if as_lists else (X, y)
    predictions = _native._progressive_validation_by_key(models, Xs, ys, offsets, metrics, delay)
    assert bits(predictions) == bits(expected)
    assert snapshot(models, metrics) == snapshot(expected_models, expected_metrics)


@pytest.mark.parametrize("name", MODELS)
@pytest.mark.parametrize("delay", [0, 3])
@pytest.mark.parametrize("bad_row", [0, 7, 11])
def test_a_rejected_row_changes_no_key_and_is_named(name, delay, bad_row):
    rng = np.random.default_rng(2)
    X = rng.normal(size=(12, 3))
    X[bad_row, 2] = np.inf
    y = X[:, 0] > 0 if name in CLASSIFIERS else X[:, 0] * 2.0
    offsets = [0, 5, 5, 12]  # key 1 has no rows
    models = [getattr(drel_ml, name)(3, 0.1) for _ in range(3)]
    metrics = tuple(metrics_for(name) for _ in range(3))
    before = snapshot(models, metrics)
    key = 0 if bad_row < 5 else 2
    with pytest.raises(RuntimeError, match=rf"\(row {bad_row}, models\[{key}\]\)$"):
        _native._progressive_validation_by_key(models, X, y, offsets, metrics, delay)
    assert snapshot(models, metrics) == before
    rows = X.tolist()
    rows[bad_row] = "not a row"
    with pytest.raises(TypeError, match=rf"\(row {bad_row}\)"):
        _native._progressive_validation_by_key(models, rows, y.tolist(), offsets, metrics, delay)
    assert snapshot(models, metrics) == before


def test_argument_checks():
    a, b = drel_ml.LinearRegression(1, 0.1), drel_ml.LinearRegression(1, 0.1)
    mae = M.MAE()
    call = _native._progressive_validation_by_key
    with pytest.raises(TypeError, match="one tuple per model|tuple of 2 tuples"):
        call([a, b], [[1.0]], [1.0], [0, 1, 1], ((mae,),), 0)
    with pytest.raises(ValueError, match="metric 0 is given twice: pass each metric once"):
        call([a, b], [[1.0]], [1.0], [0, 1, 1], ((mae,), (mae,)), 0)
    with pytest.raises(ValueError, match="metric 1 is metric 0: pass each metric once"):
        call([a, b], [[1.0]], [1.0], [0, 1, 1], ((M.MSE(),), (mae, mae)), 0)
    with pytest.raises(ValueError, match="models\\[1\\] is models\\[0\\]"):
        call([a, a], [[1.0]], [1.0], [0, 1, 1], ((), ()), 0)
    with pytest.raises(TypeError, match="scores classes"):
        call([a], [[1.0]], [1.0], [0, 1], ((M.Accuracy(),),), 0)
    with pytest.raises(ValueError, match="offsets\\[-1\\] is 1, but X has 2 rows"):
        call([a], [[1.0], [2.0]], [1.0, 2.0], [0, 1], ((),), 0)
    with pytest.raises(TypeError, match="must be LinearRegression"):
        call([drel_ml.Mean()], [[1.0]], [1.0], [0, 1], ((),), 0)
    assert a.samples_seen == b.samples_seen == 0 and mae.count == 0
    call([a, b], [[1.0], [2.0], [3.0]], [1.0, 2.0, 3.0], [0, 2, 3], ((mae,), ()), 1)
    assert (a.samples_seen, b.samples_seen, mae.count) == (2, 1, 2)
