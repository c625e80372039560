import json
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


def teach(m, cls, x, y=1.0):
    return m.learn_one(x) if cls == "StandardScaler" else m.learn_one(x, target(cls, y))


@pytest.mark.parametrize("cls", MODELS)
@pytest.mark.parametrize("args,text", [
    ((0, 0.1), "empty features are not allowed"),
    ((0, NAN), "empty features are not allowed"),
    ((3, 0.0), "invalid learning rate: 0 (must be finite and > 0)"),
    ((3, -0.0), "invalid learning rate: -0 (must be finite and > 0)"),
    ((3, -0.5), "invalid learning rate: -0.5 (must be finite and > 0)"),
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
    assert m.samples_seen == 0


def test_negative_class_below_one_half():
    m = drel_ml.LogisticRegression(1, 0.1)
    m.learn_one([1.0], False)
    assert m.predict_proba_one([1.0]) < 0.5 and m.predict_one([1.0]) is False


# (class, x, y, weights afterwards, prediction of x afterwards)
TRAJECTORIES = [
    ("LinearRegression", [0.30000000000000004, 0.6000000000000001], 1.8000000000000003),
    ("LogisticRegression", [0.05, 0.1], 0.574442516811659),
    ("RegressionPipeline", None, 0.30000000000000004),
    ("ClassificationPipeline", None, 0.5124973964842103),
]


@pytest.mark.parametrize("cls,weights,prediction", TRAJECTORIES)
def test_one_learned_sample(cls, weights, prediction):
    m = build(cls)
    assert m.learn_one([1.0, 2.0], target(cls, 3.0)) is None
    assert m.samples_seen == 1
    predict = m.predict_proba_one if cls in CLASSIFIERS else m.predict_one
    assert predict([1.0, 2.0]) == prediction == predict(x=(1, 2))
    if weights is not None:
        assert m.weights == weights
        if cls in CLASSIFIERS:
            assert m.predict_one([1.0, 2.0]) is True


@pytest.mark.parametrize("cls", ["LinearRegression", "LogisticRegression"])
def test_weights_are_fresh_lists(cls):
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


# (classes, rejected call, message)
def learn(x, y=1.0):
    return lambda m, cls: teach(m, cls, x, y)


def predict(x):
    return lambda m, cls: (m.predict_one(x), getattr(m, "predict_proba_one", m.predict_one)(x))


REJECTED = [
    (MODELS, predict([1.0]), "dimension mismatch: expected 2, got 1"),
    (MODELS, predict([]), "empty features are not allowed"),
    (MODELS, predict([1.0, NAN]), "non-finite value for `feature`: NaN"),
    (MODELS, learn([1.0, 2.0, 3.0]), "dimension mismatch: expected 2, got 3"),
    (MODELS, learn([-INF, NAN]), "non-finite value for `feature`: -inf"),
    (["LinearRegression", "LogisticRegression", "ClassificationPipeline"], learn([], NAN),
     "empty features are not allowed"),
    (["RegressionPipeline"], learn([], NAN), "non-finite value for `target`: NaN"),
    (["LinearRegression", "RegressionPipeline"], learn([1.0, 2.0], INF),
     "non-finite value for `target`: inf"),
    (["StandardScaler"], learn([NAN, 1.0]), "non-finite value for `feature`: NaN"),
    (["StandardScaler"], lambda m, cls: m.fit_one([]), "empty features are not allowed"),
    (["StandardScaler"], lambda m, cls: m.transform_one([1.0]), "dimension mismatch: expected 2, got 1"),
]
CASES = [(cls, call, text) for classes, call, text in REJECTED for cls in classes]


@pytest.mark.parametrize("cls,call,text", CASES)
def test_rejected_calls_leave_state(cls, call, text):
    m = build(cls)
    teach(m, cls, [0.5, -2.0])
    before = m.to_json()
    raises(RuntimeError, text, call, m, cls)
    assert m.to_json() == before
    teach(m, cls, [0.25, 3.0])  # still usable
    assert m.samples_seen == 2


@pytest.mark.parametrize("cls", MODELS)
def test_target_is_converted_before_features(cls):
    m = build(cls)
    e = raises(TypeError, None, m.learn_one, "abc", "bad", note="while processing 'y'")
    assert "Vec" not in str(e)
    raises(TypeError, "Can't extract `str` to `Vec`", m.learn_one, "abc", target(cls))


def test_overflow_rejections():
    m = drel_ml.LinearRegression(1, 1e308)
    raises(RuntimeError, "non-finite value for `weight gradient`: inf", m.learn_one, [1e308], -1e308)
    raises(RuntimeError, "non-finite value for `weight`: -inf", m.learn_one, [1.0], -1e308)
    raises(RuntimeError, "non-finite value for `intercept`: -inf", m.learn_one, [0.0], -1e308)
    assert m.samples_seen == 0 and m.weights == [0.0]
    m = drel_ml.LinearRegression(2, 1.0)
    m.learn_one([1.0, 1.0], 1.0)
    raises(RuntimeError, "non-finite value for `linear prediction`: inf", m.predict_one, [1e308] * 2)
    s = drel_ml.StandardScaler(2)
    s.fit_one([0.0, -1e308])
    before = s.to_json()
    raises(RuntimeError, "non-finite value for `standard scaler delta`: inf", s.fit_one, [1.0, 1e308])
    assert s.to_json() == before


def test_pipeline_scaler_keeps_sample_rejected_by_model():
    m = drel_ml.RegressionPipeline(1, 1e308)
    fresh = json.loads(m.to_json())["model"]["model"]
    raises(RuntimeError, "non-finite value for `intercept`: -inf", m.learn_one, [1.0], -1e308)
    doc = json.loads(m.to_json())["model"]
    assert doc["transformer"]["counts"] == [1] and doc["model"] == fresh
    assert m.samples_seen == 1 and m.predict_one([3.0]) == 0.0


def test_scaler_fit_and_learn_are_one_operation():
    fit, learned = drel_ml.StandardScaler(2), drel_ml.StandardScaler(2)
    for x in ([1.0, -2.0], [3.0, 4.0]):
        assert fit.fit_one(x) is None and learned.learn_one(x=x) is None
    assert fit.to_json() == learned.to_json() and fit.samples_seen == 2
    assert fit.transform_one([5.0, 1.0]) == [3.0, 0.0]
