"""What Python sees of each class beyond the numbers (those are test_differential's)."""

import math

import pytest

import drel_ml
from support import raises

INF, NAN = math.inf, math.nan
MODELS = ["LinearRegression", "LogisticRegression", "RegressionPipeline", "ClassificationPipeline"]
CLASSIFIERS = ["LogisticRegression", "ClassificationPipeline"]


def build(cls, n=2, rate=0.1):
    return drel_ml.StandardScaler(n) if cls == "StandardScaler" else getattr(drel_ml, cls)(n, rate)


def target(cls, value=1.0):
    return value > 0 if cls in CLASSIFIERS else value


def test_statistics_results():
    m = drel_ml.Mean()
    assert (m.value, m.count) == (0.0, 0) and type(m.value) is float and type(m.count) is int
    assert [m.update(v) for v in (1, 2, 3, 4)] == [None] * 4
    assert (m.value, m.count) == (2.5, 4)
    assert drel_ml.EWMean(0.5).value == 0.0
    for kind, enough in (("population", 1), ("sample", 2)):
        v = drel_ml.Variance(kind=kind)
        for i in range(3):
            assert (v.value is None) == (v.stddev is None) == (i < enough)
            v.update(2 * i)
        assert type(v.value) is float and type(v.mean) is float and v.count == 3
    assert v.value == 4.0 and v.stddev == 2.0


@pytest.mark.parametrize("cls", MODELS)
@pytest.mark.parametrize("args,text", [
    ((0, 0.1), "empty features are not allowed"),
    ((0, NAN), "empty features are not allowed"),
    ((3, 0.0), "invalid learning rate: 0 (must be finite and > 0)"),
    ((3, -0.0), "invalid learning rate: -0 (must be finite and > 0)"),
    ((3, -1e21), "invalid learning rate: -1000000000000000000000 (must be finite and > 0)"),
    ((3, INF), "non-finite value for `learning_rate`: inf"),
    ((3, NAN), "non-finite value for `learning_rate`: NaN"),
])
def test_constructor_core_errors(cls, args, text):
    raises(RuntimeError, text, build, cls, *args)


@pytest.mark.parametrize("cls", MODELS + ["StandardScaler"])
@pytest.mark.parametrize("n", [2**62, 2**64 - 1])
def test_impossible_sizes_raise_memory_error(cls, n):
    with pytest.raises(MemoryError):
        build(cls, n)
    raises(RuntimeError, "empty features are not allowed", build, cls, 0)


@pytest.mark.parametrize("cls", MODELS)
def test_fresh_predictions(cls):
    m = build(cls, 3)
    for x in ([5.0, -7.0, 1e300], (0, 0, 0), range(3)):
        p = m.predict_one(x)
        if cls in CLASSIFIERS:
            assert p is True  # probability exactly 0.5 counts as positive
            assert m.predict_proba_one(x) == 0.5
        else:
            assert p == 0.0 and type(p) is float
    m.learn_one([1.0, 2.0, 3.0], target(cls, -1.0))
    assert m.samples_seen == 1
    if cls in CLASSIFIERS:
        assert m.predict_proba_one([1.0, 2.0, 3.0]) < 0.5
        assert m.predict_one([1.0, 2.0, 3.0]) is False


@pytest.mark.parametrize("cls", ["LinearRegression", "LogisticRegression"])
def test_results_are_fresh_lists(cls):
    m = build(cls)
    m.learn_one([1.0, 2.0], target(cls))
    first = m.weights
    first[0] = 123.0
    first.append(1.0)
    assert m.weights != first and m.weights is not m.weights
    s = drel_ml.StandardScaler(2)
    out = s.transform_one([1.0, 2.0])
    out[0] = 9.0
    assert s.transform_one([1.0, 2.0]) == [1.0, 2.0]


# Which check comes first when several fail at once.
@pytest.mark.parametrize("cls,x,y,text", [
    ("LinearRegression", [], NAN, "empty features are not allowed"),
    ("LogisticRegression", [], True, "empty features are not allowed"),
    ("ClassificationPipeline", [], True, "empty features are not allowed"),
    ("RegressionPipeline", [], NAN, "non-finite value for `target`: NaN"),
    ("LinearRegression", [NAN, INF], INF, "non-finite value for `feature`: NaN"),
    ("RegressionPipeline", [NAN], INF, "non-finite value for `target`: inf"),
    ("LinearRegression", [NAN], NAN, "dimension mismatch: expected 2, got 1"),
])
def test_first_failing_check_wins(cls, x, y, text):
    m = build(cls)
    before = m.to_json()
    raises(RuntimeError, text, m.learn_one, x, y)
    assert m.to_json() == before


@pytest.mark.parametrize("cls", MODELS)
def test_target_is_converted_before_features(cls):
    m = build(cls)
    e = raises(TypeError, None, m.learn_one, "abc", "bad", note="while processing 'y'")
    assert "Vec" not in str(e)
    raises(TypeError, "Can't extract `str` to `Vec`", m.learn_one, "abc", target(cls))


def test_scaler_fit_and_learn_are_one_operation():
    fit, learned = drel_ml.StandardScaler(2), drel_ml.StandardScaler(2)
    for x in ([1.0, -2.0], [3.0, 4.0]):
        assert fit.fit_one(x) is None and learned.learn_one(x=x) is None
    assert fit.to_json() == learned.to_json() and fit.samples_seen == 2
    assert fit.transform_one([5.0, 1.0]) == [3.0, 0.0]
