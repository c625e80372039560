"""progressive_validation equals the one-sample loop bit for bit, with and
without delay, and a rejected row changes nothing."""

import math
import struct
from collections import deque

import pytest

import drel_ml
import drel_ml_ext
from drel_ml_ext import metrics as M

hypothesis = pytest.importorskip("hypothesis")
st = hypothesis.strategies
given = hypothesis.given

MODELS = ["LinearRegression", "RegressionPipeline", "LogisticRegression", "ClassificationPipeline"]
CLASSIFIERS = {"LogisticRegression", "ClassificationPipeline"}


# The pass takes up to two metrics of a sum of terms or of confusion counts
# inside its loop, the first two of the list that have such a form; these
# lists put them in every place, alone and twice.
METRIC_LISTS = {
    "regression": [
        lambda: [M.MAE(), M.RMSE(), M.R2(), M.Rolling(M.MSE(), 3)],
        lambda: [M.MSE()],
        lambda: [M.R2(), M.MSE(), M.Rolling(M.MAE(), 2), M.MAE(), M.RMSE()],
        lambda: [M.RMSE(), M.MSE()],
    ],
    "classification": [
        lambda: [M.Accuracy(), M.F1(), M.LogLoss(), M.ROCAUC(), M.Rolling(M.ROCAUC(), 4)],
        lambda: [M.LogLoss()],
        lambda: [M.ROCAUC(), M.LogLoss(), M.Precision(), M.Recall()],
        lambda: [M.Recall(), M.LogLoss(), M.LogLoss()],
    ],
}


def metrics_for(name, choice=0):
    return METRIC_LISTS["classification" if name in CLASSIFIERS else "regression"][choice]()


failing_row = [0]


def loop(model, X, y, metrics, delay, every):
    """The reference: one-sample calls, labels arriving `delay` rows late. The
    row being handled is kept in failing_row[0] for a test that makes it fail."""
    classifier = isinstance(model, (drel_ml.LogisticRegression, drel_ml.ClassificationPipeline))
    predictions, pending, points, curve = [], deque(), [], [[] for _ in metrics]
    scored = 0

    def answer(row, x, t, p):
        nonlocal scored
        failing_row[0] = row
        for m in metrics:
            takes_label = isinstance(m, (M.Accuracy, M.Precision, M.Recall, M.F1)) or (
                isinstance(m, M.Rolling) and m.metric in ("Accuracy", "Precision", "Recall", "F1")
            )
            m.update(t, p >= 0.5 if takes_label else p)
        model.learn_one(x, t)
        scored += 1
        if every and scored % every == 0:
            points.append(scored)
            for c, m in zip(curve, metrics):
                c.append(m.value)

    for row, (x, t) in enumerate(zip(X, y)):
        failing_row[0] = row
        p = model.predict_proba_one(x) if classifier else model.predict_one(x)
        if classifier:
            assert model.predict_one(x) == (p >= 0.5)
        predictions.append(p)
        pending.append((row, x, t, p))
        if len(pending) > delay:
            answer(*pending.popleft())
    while pending:
        answer(*pending.popleft())
    return predictions, points, curve


def state(model, metrics):
    return model.to_json(), [m.to_json() for m in metrics]


def bits(values):
    return [None if v is None else struct.pack("<d", v) for v in values]


finite = st.floats(-4, 4, allow_nan=False, allow_infinity=False)


@given(
    name=st.sampled_from(MODELS),
    rows=st.lists(st.tuples(finite, finite, finite, st.booleans(), finite), max_size=40),
    delay=st.integers(0, 5),
    every=st.sampled_from([None, 1, 3, 7]),
    choice=st.integers(0, 3),
)
def test_equals_the_one_sample_loop(name, rows, delay, every, choice):
    classifier = name in CLASSIFIERS
    X = [list(r[:3]) for r in rows]
    y = [r[3] for r in rows] if classifier else [r[4] for r in rows]
    native_model, loop_model = getattr(drel_ml, name)(3, 0.1), getattr(drel_ml, name)(3, 0.1)
    native_metrics, loop_metrics = metrics_for(name, choice), metrics_for(name, choice)
    result = drel_ml_ext.progressive_validation(
        native_model, X, y, native_metrics, every=every, delay=delay
    )
    predictions, points, curve = loop(loop_model, X, y, loop_metrics, delay, every)
    assert bits(list(result.predictions)) == bits(predictions)
    assert state(native_model, native_metrics) == state(loop_model, loop_metrics)
    assert result.checkpoints == points
    assert [bits(c) for c in result.curve] == [bits(c) for c in curve]


@pytest.mark.parametrize("name", MODELS)
@pytest.mark.parametrize("delay", [0, 2])
@pytest.mark.parametrize("bad_row", [0, 5, 9])
def test_a_rejected_row_changes_nothing_and_is_named(name, delay, bad_row):
    np = pytest.importorskip("numpy")
    classifier = name in CLASSIFIERS
    rng = np.random.default_rng(1)
    X = rng.normal(size=(10, 3))
    X[bad_row, 1] = math.inf
    y = X[:, 0] > 0 if classifier else X[:, 0] * 2.0
    model = getattr(drel_ml, name)(3, 0.1)
    model.learn_one([0.1, 0.2, 0.3], True if classifier else 1.0)
    metrics = metrics_for(name)
    drel_ml_ext.progressive_validation(model, rng.normal(size=(2, 3)), y[:2], metrics)  # some state
    before = state(model, metrics)
    with pytest.raises(RuntimeError, match=rf"\(row {bad_row}\)"):
        drel_ml_ext.progressive_validation(model, X, y, metrics, delay=delay)
    assert state(model, metrics) == before
    # A row that fails to convert is named too.
    rows = X.tolist()
    rows[bad_row] = "not a row"
    with pytest.raises(TypeError, match=rf"\(row {bad_row}\)"):
        drel_ml_ext.progressive_validation(model, rows, y.tolist(), metrics, delay=delay)
    assert state(model, metrics) == before


def test_argument_checks():
    model = drel_ml.LinearRegression(1, 0.1)
    mae = M.MAE()
    with pytest.raises(TypeError, match="scores classes, but the model is a regressor"):
        drel_ml_ext.progressive_validation(model, [[1.0]], [1.0], M.Accuracy())
    with pytest.raises(TypeError, match="must be a metric of drel_ml_ext.metrics"):
        drel_ml_ext.progressive_validation(model, [[1.0]], [1.0], [mae, 3])
    with pytest.raises(ValueError, match=r"metric 2 is metric 0: pass each metric once"):
        drel_ml_ext.progressive_validation(model, [[1.0]], [1.0], [mae, M.MSE(), mae])
    for keyword, value, text in [
        ("every", 2.0, "every must be an int or a list of row counts, not 'float'"),
        ("every", "10", "every must be an int or a list of row counts, not 'str'"),
        ("every", [10, 2.5], "each an int, not 'float'"),
        ("every", True, "every must be an int or a list of row counts, not 'bool'"),
        ("delay", 1.0, "delay must be an int, not 'float'"),
        ("delay", None, "delay must be an int, not 'NoneType'"),
    ]:
        with pytest.raises(TypeError, match=text):
            drel_ml_ext.progressive_validation(model, [[1.0]], [1.0], mae, **{keyword: value})
    assert mae.count == 0 and model.samples_seen == 0
    with pytest.raises(ValueError, match="delay must be at least 0"):
        drel_ml_ext.progressive_validation(model, [[1.0]], [1.0], mae, delay=-1)
    with pytest.raises(ValueError, match="every must be a positive"):
        drel_ml_ext.progressive_validation(model, [[1.0]], [1.0], mae, every=0)
    with pytest.raises(TypeError):
        drel_ml_ext.progressive_validation(M.MAE(), [[1.0]], [1.0], mae)
    result = drel_ml_ext.progressive_validation(model, [[1.0]] * 5, [1.0] * 5, mae, every=[2, 9, 4, 2])
    assert result.checkpoints == [2, 4]
    assert mae.count == 5 and model.samples_seen == 5


@pytest.mark.parametrize("call", ["progressive_validation", "update_many"])
def test_ctrl_c_stops_the_pass_and_changes_nothing(call, interrupted):
    np = pytest.importorskip("numpy")
    model, mae = drel_ml.LinearRegression(1000, 1e-6), M.MAE()
    mae.update(1.0, 0.5)
    before = state(model, [mae])
    if call == "progressive_validation":
        rows = np.broadcast_to(np.linspace(-1.0, 1.0, 1000), (3 * 10**6, 1000))
        run = lambda: drel_ml_ext.progressive_validation(model, rows, np.broadcast_to(0.5, (3 * 10**6,)), mae)
    else:
        values = np.broadcast_to(0.25, (10**9,))
        run = lambda: mae.update_many(values, values)
    assert interrupted(run) < 5.0
    assert state(model, [mae]) == before


# Models built with every optimizer and loss the bare models take: the fused
# predict-and-learn step covers each.
def make_model(name, variant, width=3):
    if variant == "plain":
        return getattr(drel_ml, name)(width, 0.1)
    if variant.startswith("l2") and name in ("LinearRegression", "LogisticRegression"):
        # Plain SGD with a penalty; "-0.0" keeps the penalised arithmetic too.
        l2 = -0.0 if variant == "l2 -0.0" else 0.01
        return getattr(drel_ml_ext, "linear_regression" if name == "LinearRegression"
                       else "logistic_regression")(width, learning_rate=0.1, l2=l2)
    if name == "LinearRegression":
        return drel_ml_ext.linear_regression(3, learning_rate=0.1, optimizer="adagrad", l2=0.01,
                                             loss="huber")
    if name == "LogisticRegression":
        return drel_ml_ext.logistic_regression(3, learning_rate=0.1, optimizer="adagrad", l2=0.01)
    return getattr(drel_ml, name)(3, 0.1)


def as_input(kind, X):
    np = pytest.importorskip("numpy")
    if kind == "lists":
        return X
    array = np.array(X, dtype=np.float64).reshape(len(X), 3)
    if kind == "array":
        return array
    wide = np.zeros((len(X), 6))  # every other column: a strided view
    wide[:, ::2] = array
    return wide[:, ::2]


# Mostly ordinary values; now and then one that makes a step defer or fail:
# an overflowing output or gradient, a NaN, an infinity.
wild = st.one_of(finite, finite, finite, finite, finite, finite,
                 st.sampled_from([1e200, -1e300, math.inf, math.nan, 5e-324]))


@given(
    name=st.sampled_from(MODELS),
    variant=st.sampled_from(["plain", "configured", "l2", "l2 -0.0"]),
    kind=st.sampled_from(["lists", "array", "strided"]),
    rows=st.lists(st.tuples(wild, wild, wild, st.booleans(), wild), max_size=30),
    delay=st.sampled_from([0, 0, 1, 3]),
    every=st.sampled_from([None, 1, 4]),
    choice=st.integers(0, 3),
)
def test_all_or_nothing_like_the_loop_whatever_the_rows(name, variant, kind, rows, delay, every,
                                                         choice):
    classifier = name in CLASSIFIERS
    X = [list(r[:3]) for r in rows]
    y = [r[3] for r in rows] if classifier else [r[4] for r in rows]
    native_model, loop_model = make_model(name, variant), make_model(name, variant)
    native_metrics, loop_metrics = metrics_for(name, choice), metrics_for(name, choice)
    before = state(native_model, native_metrics)
    try:
        expected = loop(loop_model, X, y, loop_metrics, delay, every)
    except (RuntimeError, ValueError) as error:
        failed = f"{error} (row {failing_row[0]})"
    else:
        failed = None
    hypothesis.event("rejected" if failed else "accepted")
    if failed is None:
        result = drel_ml_ext.progressive_validation(
            native_model, as_input(kind, X), y, native_metrics, every=every, delay=delay
        )
        predictions, points, curve = expected
        assert bits(list(result.predictions)) == bits(predictions)
        assert state(native_model, native_metrics) == state(loop_model, loop_metrics)
        assert (result.checkpoints, [bits(c) for c in result.curve]) == (
            points, [bits(c) for c in curve])
    else:
        with pytest.raises((RuntimeError, ValueError)) as raised:
            drel_ml_ext.progressive_validation(
                native_model, as_input(kind, X), y, native_metrics, every=every, delay=delay
            )
        # The loop's message, with the row the loop failed at.
        assert str(raised.value) == failed
        assert state(native_model, native_metrics) == before


# Rows of every width the loop handles differently: one weight, pairs and an
# odd last one, past the widths kept on the stack; features and weights with
# zeros of both signs; blocks longer than the metrics' tallies take at once.
@pytest.mark.parametrize("width", [1, 2, 5, 17, 300])
@pytest.mark.parametrize("name", ["LinearRegression", "LogisticRegression"])
@pytest.mark.parametrize("variant", ["plain", "l2", "l2 -0.0"])
def test_every_width_equals_the_loop(width, name, variant):
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(width)
    rows = 2500 if width < 100 else 60
    X = rng.normal(size=(rows, width))
    X[rng.random(X.shape) < 0.2] = 0.0
    X[rng.random(X.shape) < 0.1] = -0.0
    y = X @ rng.normal(size=width) + rng.normal(size=rows)
    y[::7] = 0.0
    if name in CLASSIFIERS:
        y = y > 0
    native_model, loop_model = make_model(name, variant, width), make_model(name, variant, width)
    native_metrics, loop_metrics = metrics_for(name), metrics_for(name)
    result = drel_ml_ext.progressive_validation(native_model, X, y, native_metrics, every=1000)
    predictions, points, curve = loop(loop_model, X.tolist(), y.tolist(), loop_metrics, 0, 1000)
    assert bits(list(result.predictions)) == bits(predictions)
    assert state(native_model, native_metrics) == state(loop_model, loop_metrics)
    assert (result.checkpoints, [bits(c) for c in result.curve]) == (
        points, [bits(c) for c in curve])


# A row the model takes but a metric refuses (its squared error overflows):
# the metric's error, named at that row, wherever the row sits in the blocks
# the metrics take at once, and nothing changes.
@pytest.mark.parametrize("choice", range(4))
@pytest.mark.parametrize("bad_row", [0, 3, 1500])
def test_a_metric_refusing_a_learned_row_is_named(choice, bad_row):
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(bad_row)
    X = rng.normal(size=(2000, 3))
    y = X @ rng.normal(size=3)
    y[bad_row] = 1e200
    model, metrics = drel_ml.LinearRegression(3, 0.1), metrics_for("LinearRegression", choice)
    loop_model, loop_metrics = drel_ml.LinearRegression(3, 0.1), metrics_for("LinearRegression", choice)
    before = state(model, metrics)
    with pytest.raises(RuntimeError) as expected:
        loop(loop_model, X.tolist(), y.tolist(), loop_metrics, 0, None)
    assert failing_row[0] == bad_row
    with pytest.raises(RuntimeError) as raised:
        drel_ml_ext.progressive_validation(model, X, y, metrics, every=700)
    assert str(raised.value) == f"{expected.value} (row {bad_row})"
    assert state(model, metrics) == before
