"""Keyword factories and readers of drel_ml_ext: every configuration the core
supports, the core's own errors, and what the classes keep hidden."""

import json
import math

import pytest

import drel_ml as d
import drel_ml_ext as e
from support import raises

X, X2 = [1.0, 2.0], [-0.5, 4.0]
MODELS = ("LinearRegression", "LogisticRegression", "RegressionPipeline", "ClassificationPipeline")
FACTORY = {
    "LinearRegression": e.linear_regression,
    "LogisticRegression": e.logistic_regression,
    "RegressionPipeline": e.regression_pipeline,
    "ClassificationPipeline": e.classification_pipeline,
}
CLASSIFIERS = {"LogisticRegression", "ClassificationPipeline"}


def target(name):
    return True if name in CLASSIFIERS else 1.5


def model_record(obj):
    record = json.loads(obj.to_json())["model"]
    return record["model"] if "transformer" in record else record


@pytest.mark.parametrize("name", MODELS)
def test_defaults_build_what_the_constructors_build(name):
    built = FACTORY[name](2, learning_rate=0.01)
    assert type(built) is getattr(d, name)
    assert built.to_json() == getattr(d, name)(2, 0.01).to_json()
    assert e.standard_scaler(2).to_json() == d.StandardScaler(2).to_json()


@pytest.mark.parametrize("optimizer", ["sgd", "adagrad"])
@pytest.mark.parametrize("name", MODELS)
def test_every_optimizer_is_built_and_read_back(name, optimizer):
    model = FACTORY[name](2, learning_rate=0.25, optimizer=optimizer, l2=0.5, adagrad_epsilon=0.125)
    expected = {"kind": optimizer, "learning_rate": 0.25, "l2": 0.5,
                **({"epsilon": 0.125} if optimizer == "adagrad" else {}), "samples_seen": 0}
    assert e.optimizer_settings(model) == expected
    assert list(e.optimizer_settings(model)) == list(expected)  # keys in a fixed order
    model.learn_one(X, target(name))
    assert e.optimizer_settings(model)["samples_seen"] == 1
    record = model_record(model)["optimizer"]
    assert list(record) == ["AdaGrad" if optimizer == "adagrad" else "Sgd"]


@pytest.mark.parametrize("name", ["LinearRegression", "RegressionPipeline"])
@pytest.mark.parametrize(("loss", "settings", "record"), [
    ("squared", {"kind": "squared"}, "SquaredError"),
    ("huber", {"kind": "huber", "delta": 0.75}, {"Huber": {"delta": 0.75}}),
])
def test_every_regression_loss_is_built_and_read_back(name, loss, settings, record):
    model = FACTORY[name](2, learning_rate=0.1, loss=loss, huber_delta=0.75)
    assert e.loss_settings(model) == settings
    assert model_record(model)["loss"] == record


@pytest.mark.parametrize("name", ["LogisticRegression", "ClassificationPipeline"])
def test_classifiers_read_their_log_loss(name):
    assert e.loss_settings(FACTORY[name](2, learning_rate=0.1)) == {"kind": "log", "epsilon": 1e-15}


def test_built_configuration_learns_like_the_same_snapshot_loaded():
    built = e.regression_pipeline(2, learning_rate=0.5, optimizer="adagrad", l2=0.1,
                                  adagrad_epsilon=0.0, loss="huber", huber_delta=0.3,
                                  with_mean=False, scaler_epsilon=0.01)
    loaded = d.RegressionPipeline.from_json(built.to_json())
    for x, y in [(X, 3.0), (X2, -1.0), (X, 10.0)]:
        built.learn_one(x, y)
        loaded.learn_one(x, y)
    assert built.to_json() == loaded.to_json()
    assert e.scaler_settings(built) == {"with_mean": False, "with_std": True, "epsilon": 0.01}


@pytest.mark.parametrize(("with_mean", "with_std", "expected"), [
    (True, True, [3.0]), (True, False, [3.0]), (False, True, [5.0]), (False, False, [5.0]),
])
def test_scaler_settings_change_the_transform(with_mean, with_std, expected):
    scaler = e.standard_scaler(1, with_mean=with_mean, with_std=with_std)
    for x in ([1.0], [3.0]):  # mean 2, population variance 1
        scaler.learn_one(x)
    assert scaler.transform_one([5.0]) == expected
    assert e.scaler_settings(scaler) == {"with_mean": with_mean, "with_std": with_std,
                                         "epsilon": 1e-12}


NAN, INF = math.nan, math.inf


@pytest.mark.parametrize(("call", "message"), [
    # The feature count first, then every finite check, then every range check.
    (lambda: e.linear_regression(0, learning_rate=NAN, l2=-1.0), "empty features are not allowed"),
    (lambda: e.linear_regression(2, learning_rate=INF), "non-finite value for `learning_rate`: inf"),
    (lambda: e.linear_regression(2, learning_rate=-1.0, l2=NAN), "non-finite value for `l2`: NaN"),
    (lambda: e.logistic_regression(2, learning_rate=-1.0, optimizer="adagrad", adagrad_epsilon=-INF),
     "non-finite value for `epsilon`: -inf"),
    (lambda: e.logistic_regression(2, learning_rate=0.0, optimizer="adagrad", l2=-1.0),
     "invalid learning rate: 0 (must be finite and > 0)"),
    (lambda: e.linear_regression(2, learning_rate=0.1, optimizer="adagrad", l2=-0.5,
                                 adagrad_epsilon=-1.0), "invalid parameter `l2`: -0.5"),
    (lambda: e.linear_regression(2, learning_rate=0.1, optimizer="adagrad", adagrad_epsilon=-1.0),
     "invalid parameter `epsilon`: -1"),
    (lambda: e.linear_regression(2, learning_rate=0.1, loss="huber", huber_delta=-2.0),
     "invalid parameter `delta`: -2"),
    (lambda: e.linear_regression(2, learning_rate=0.1, loss="huber", huber_delta=INF),
     "non-finite value for `delta`: inf"),
    # The optimizer is checked before the loss, the scaler before both.
    (lambda: e.linear_regression(2, learning_rate=0.0, loss="huber", huber_delta=NAN),
     "invalid learning rate: 0 (must be finite and > 0)"),
    (lambda: e.regression_pipeline(0, learning_rate=0.0), "empty features are not allowed"),
    (lambda: e.regression_pipeline(2, learning_rate=0.0, scaler_epsilon=-1.0),
     "invalid parameter `epsilon`: -1"),
    (lambda: e.classification_pipeline(2, learning_rate=0.1, scaler_epsilon=NAN),
     "non-finite value for `epsilon`: NaN"),
    (lambda: e.standard_scaler(0, epsilon=NAN), "empty features are not allowed"),
    (lambda: e.standard_scaler(1, epsilon=-1e-9), "invalid parameter `epsilon`: -0.000000001"),
])
def test_invalid_settings_get_the_core_messages(call, message):
    raises(RuntimeError, message, call)


def test_inapplicable_settings_are_not_range_checked():
    e.linear_regression(2, learning_rate=0.1, adagrad_epsilon=NAN, huber_delta=-1.0)
    e.logistic_regression(2, learning_rate=0.1, adagrad_epsilon=-INF)


@pytest.mark.parametrize(("call", "exc", "message", "note"), [
    (lambda: e.linear_regression(2, learning_rate=0.1, optimizer="Adagrad"), ValueError,
     "unknown optimizer: 'Adagrad' (expected 'sgd' or 'adagrad')", "optimizer"),
    (lambda: e.regression_pipeline(2, learning_rate=0.1, loss="squared_error"), ValueError,
     "unknown loss: 'squared_error' (expected 'squared' or 'huber')", "loss"),
    (lambda: e.logistic_regression(2, learning_rate=0.1, optimizer=None), TypeError,
     "'None' is not an instance of 'str'", "optimizer"),
    (lambda: e.standard_scaler(2, with_mean=1), TypeError,
     "'int' object is not an instance of 'bool'", "with_mean"),
    (lambda: e.classification_pipeline(2, learning_rate=0.1, with_std="yes"), TypeError,
     "'str' object is not an instance of 'bool'", "with_std"),
    (lambda: e.linear_regression(2, learning_rate="0.1"), TypeError, None, "learning_rate"),
    (lambda: e.regression_pipeline(2, learning_rate=0.1, scaler_epsilon=[]), TypeError, None,
     "scaler_epsilon"),
    (lambda: e.standard_scaler(-1), OverflowError, None, "feature_count"),
    (lambda: e.logistic_regression(2.0, learning_rate=0.1), TypeError, None, "feature_count"),
])
def test_argument_errors_name_the_keyword(call, exc, message, note):
    raises(exc, message, call, note=f"while processing '{note}'")


def test_numpy_booleans_and_numbers_are_accepted(np):
    scaler = e.standard_scaler(np.int64(2), with_mean=np.bool_(False), epsilon=np.float32(0.5))
    assert e.scaler_settings(scaler) == {"with_mean": False, "with_std": True, "epsilon": 0.5}


def test_settings_are_keyword_only():
    with pytest.raises(TypeError):
        e.linear_regression(2, 0.1)
    with pytest.raises(TypeError):
        e.standard_scaler(2, False)


def test_intercept_and_feature_count():
    model = d.LinearRegression(2, 0.1)
    model.learn_one(X, 3.0)
    assert e.intercept(model) == 0.30000000000000004 == model_record(model)["intercept"]
    pipeline = d.ClassificationPipeline(3, 0.1)
    pipeline.learn_one([1.0, 2.0, 3.0], True)
    assert e.intercept(pipeline) == 0.05
    for obj, count in [(model, 2), (pipeline, 3), (d.StandardScaler(4), 4),
                       (d.RegressionPipeline(5, 0.1), 5), (d.LogisticRegression(6, 0.1), 6)]:
        assert e.feature_count(obj) == count


@pytest.mark.parametrize("name", MODELS)
def test_weights_are_the_snapshot_weights(name):
    model = getattr(d, name)(2, 0.1)
    model.learn_one(X, True if "Logistic" in name or "Classification" in name else 3.0)
    assert e.weights(model) == model_record(model)["weights"]


@pytest.mark.parametrize(("with_mean", "with_std", "epsilon"),
                         [(True, True, 1e-12), (False, True, 1e-12), (True, False, 1e-12),
                          (True, True, 4.0)])
def test_scaler_statistics_follow_the_transform(with_mean, with_std, epsilon):
    scaler = e.standard_scaler(3, with_mean=with_mean, with_std=with_std, epsilon=epsilon)
    rows = [[1.0, 5.0, -2.0], [3.0, 5.0, 10.0], [8.0, 5.0, 0.5]]
    for row in rows:
        scaler.learn_one(row)
    stats = e.scaler_statistics(scaler)
    assert stats["count"] == 3
    record = model_record(scaler)
    assert stats["means"] == record["means"]
    assert stats["variances"] == [m2 / 3 for m2 in record["m2s"]]
    # The divisors are the ones transform_one applies, bit for bit.
    x = [2.0, 7.0, 1.0]
    shifted = [v - m if with_mean else v for v, m in zip(x, stats["means"])]
    assert scaler.transform_one(x) == [v / s for v, s in zip(shifted, stats["scales"])]
    assert stats["scales"][1] == 1.0  # no variance: never a divisor


def test_scaler_statistics_before_any_sample_and_in_a_pipeline():
    assert e.scaler_statistics(d.StandardScaler(2)) == {
        "means": [0.0, 0.0], "variances": [0.0, 0.0], "scales": [1.0, 1.0], "count": 0}
    pipeline = d.RegressionPipeline(2, 0.1)
    pipeline.learn_one(X, 3.0)
    scaler, _ = e.pipeline_parts(pipeline)
    assert e.scaler_statistics(pipeline) == e.scaler_statistics(scaler)


def test_pipeline_parts_are_independent_copies():
    pipeline = e.regression_pipeline(2, learning_rate=0.1, optimizer="adagrad", with_std=False)
    pipeline.learn_one(X, 3.0)
    scaler, model = e.pipeline_parts(pipeline)
    assert (type(scaler), type(model)) == (d.StandardScaler, d.LinearRegression)
    record = json.loads(pipeline.to_json())["model"]
    assert json.loads(scaler.to_json())["model"] == record["transformer"]
    assert json.loads(model.to_json())["model"] == record["model"]
    # The parts predict what the pipeline predicts...
    assert model.predict_one(scaler.transform_one(X2)) == pipeline.predict_one(X2)
    # ...and learning on either side leaves the other as it was.
    before = pipeline.to_json()
    scaler.learn_one(X2)
    model.learn_one(X2, 1.0)
    assert pipeline.to_json() == before
    pipeline.learn_one(X2, 1.0)
    assert e.feature_count(scaler) == 2 and scaler.samples_seen == 2
    _, logistic = e.pipeline_parts(d.ClassificationPipeline(2, 0.1))
    assert type(logistic) is d.LogisticRegression


READERS = {
    e.intercept: MODELS,
    e.feature_count: ("StandardScaler",) + MODELS,
    e.optimizer_settings: MODELS,
    e.loss_settings: MODELS,
    e.scaler_settings: ("StandardScaler", "RegressionPipeline", "ClassificationPipeline"),
    e.weights: MODELS,
    e.scaler_statistics: ("StandardScaler", "RegressionPipeline", "ClassificationPipeline"),
    e.pipeline_parts: ("RegressionPipeline", "ClassificationPipeline"),
}
OBJECTS = {
    "Mean": d.Mean(), "Variance": d.Variance("sample"), "EWMean": d.EWMean(0.5),
    "StandardScaler": d.StandardScaler(2),
    **{name: getattr(d, name)(2, 0.1) for name in MODELS},
}


@pytest.mark.parametrize("reader", READERS, ids=lambda r: r.__name__)
def test_readers_refuse_other_objects(reader):
    accepted = READERS[reader]
    for name, obj in OBJECTS.items():
        if name in accepted:
            reader(obj)
        else:
            error = raises(TypeError, None, reader, obj)
            assert str(error).startswith(f"{reader.__name__}() takes a")
            assert str(error).endswith(f", not '{name}'")
    raises(TypeError, None, reader, None)
    raises(TypeError, None, reader, d.LinearRegression)  # the class itself


class ReadsWhileConverted:
    """A feature vector whose conversion calls a reader on the model that is learning."""

    def __init__(self, model, reader):
        self.model, self.reader, self.error = model, reader, None

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError
        try:
            self.reader(self.model)
        except RuntimeError as error:
            self.error = str(error)
        return 1.0


@pytest.mark.parametrize("reader", READERS, ids=lambda r: r.__name__)
def test_readers_take_a_shared_borrow(reader):
    name = READERS[reader][-1]
    model = OBJECTS[name].__class__.from_json(OBJECTS[name].to_json())
    features = ReadsWhileConverted(model, reader)
    model.learn_one(features, True)
    assert features.error == "Already mutably borrowed"
    # A shared borrow does not conflict with another one.
    model.predict_one(ReadsWhileConverted(model, reader))
