"""river's dict API: the adapters pass river's own checks and learn what drel_ml learns."""

import json
import math
import pickle

import pytest

river = pytest.importorskip("river")
np = pytest.importorskip("numpy")

from river import checks, compose, datasets, evaluate, metrics  # noqa: E402

import drel_ml_ext  # noqa: E402
from drel_ml_ext.river import LinearRegressor, LogisticClassifier, StandardScaler  # noqa: E402

PHISHING = tuple(next(iter(datasets.Phishing()))[0])

ADAPTERS = [
    LogisticClassifier(),
    LogisticClassifier(features=PHISHING, scale=False, learning_rate=0.1),
    LogisticClassifier(n_features=16, optimizer="adagrad", alternate_sign=False),
    LinearRegressor(),
    LinearRegressor(n_features=64, loss="huber", optimizer="adagrad"),
    # Bare models on hashed rows: their non-zeros, or every column under an L2 penalty.
    LogisticClassifier(n_features=2**18, scale=False),
    LogisticClassifier(scale=False, l2=0.01),
    LinearRegressor(scale=False, learning_rate=1e-13),  # unscaled dates of 7e5
    StandardScaler(),
    StandardScaler(n_features=64, with_mean=False),
]


@pytest.mark.parametrize("model", ADAPTERS, ids=repr)
def test_river_estimator_checks_pass_with_nothing_skipped(model):
    assert not model._unit_test_skips()
    for check in checks.yield_checks(model):
        check(model.clone())


def test_rows_by_fixed_names_are_the_drel_ml_model():
    adapter = LogisticClassifier(features=PHISHING, scale=False, learning_rate=0.1)
    reference = drel_ml_ext.logistic_regression(len(PHISHING), learning_rate=0.1)
    for x, y in datasets.Phishing():
        row = [float(x[name]) for name in PHISHING]
        assert adapter.predict_proba_one(x).get(True) == (
            reference.predict_proba_one(row) if adapter.models else None)
        adapter.learn_one(x, y)
        reference.learn_one(row, y)
    assert adapter.models[True].to_json() == reference.to_json()


def test_hashed_rows_are_the_drel_ml_model_on_the_hashers_rows():
    hasher = drel_ml_ext.FeatureHasher(32)
    adapter = LinearRegressor(n_features=32)
    reference = drel_ml_ext.regression_pipeline(32, learning_rate=0.01)
    for x, y in datasets.TrumpApproval().take(300):
        x = {**x, "weekday": "mon" if int(x["ordinal_date"]) % 2 else "tue"}
        assert adapter.predict_one(x) == reference.predict_one(hasher.transform_one(x))
        adapter.learn_one(x, y)
        reference.learn_one(hasher.transform_one(x), y)
    assert adapter.model.to_json() == reference.to_json()


def test_fixed_names_missing_unknown_and_categorical():
    regressor = LinearRegressor(features=("a", "b", "colour=red"), scale=False)
    assert list(regressor._rows.row({"a": 2, "colour": "red", "zzz": 5.0})) == [2.0, 0.0, 1.0]
    strict = LinearRegressor(features=("a",), unknown="error")
    with pytest.raises(KeyError, match="'zzz' is not one of `features`"):
        strict.learn_one({"a": 1.0, "zzz": 1.0}, 1.0)
    assert strict.model.samples_seen == 0
    for bad in [{"unknown": "drop"}, {"features": ()}, {"features": ("a", "a")},
                {"n_features": 0}, {"learning_rate": -1.0}]:
        with pytest.raises((ValueError, RuntimeError)):
            LinearRegressor(**bad)
    for one_name in ("colour", b"colour"):  # its letters are no list of names
        with pytest.raises(TypeError, match=r"`features` must be a sequence of names, such as "
                                            r"\((b?'colour',)\), not one"):
            StandardScaler(features=one_name)
    for names in [(0, 1), ("a", b"b"), ("a", None)]:  # never met by a sample's names
        with pytest.raises(TypeError, match=r"`features` must hold names of type str, got "):
            LogisticClassifier(features=names)


# A row of numbers (or anything else that is no mapping) where a dict belongs.
@pytest.mark.parametrize("settings", [{}, {"scale": False}, {"features": ("a", "b")}],
                         ids=["scaled", "hashed", "fixed names"])
@pytest.mark.parametrize("x", [[1.0, 2.0], np.array([1.0, 2.0]), None, "a=1"], ids=repr)
def test_a_sample_that_is_no_mapping_is_a_type_error_that_says_so(settings, x):
    text = rf"a sample must be a mapping of feature names to values, not '(numpy\.)?{type(x).__name__}'"
    for adapter, calls in [
        (LinearRegressor(**settings), ("learn_one", "predict_one")),
        (LogisticClassifier(**settings), ("learn_one", "predict_one", "predict_proba_one")),
        (StandardScaler(**{k: v for k, v in settings.items() if k != "scale"}),
         ("learn_one", "transform_one")),
    ]:
        adapter.learn_one({"a": 1.0}, *([] if isinstance(adapter, StandardScaler) else [True]))
        for call in calls:
            args = [True] if call == "learn_one" and not isinstance(adapter, StandardScaler) else []
            with pytest.raises(TypeError, match=text):
                getattr(adapter, call)(x, *args)


# Strict about numbers as the models are: text is never parsed as a target or a
# value, whichever way the dict becomes a row.
@pytest.mark.parametrize("settings", [{}, {"scale": False}, {"features": ("a", "b")}],
                         ids=["scaled", "hashed", "fixed names"])
@pytest.mark.parametrize("x, y, error", [
    ({"a": 1.0}, "3.0", "must be real number, not str"),
    ({"a": 1.0}, b"3", "must be real number, not bytes"),
    ({"a": b"2.5"}, 1.0, "the value of feature 'a' must be a real number or a string, not 'bytes'"),
])
def test_text_is_never_read_as_a_number(settings, x, y, error):
    regressor = LinearRegressor(**settings)
    regressor.learn_one({"a": 1.0, "b": 2.0}, 1.0)
    before = regressor.model.to_json()
    with pytest.raises(TypeError) as raised:
        regressor.learn_one(x, y)
    assert str(raised.value).endswith(error)
    assert regressor.model.to_json() == before


def test_a_sample_the_last_class_refuses_changes_no_class_behind_a_scaler():
    classifier = LogisticClassifier(features=("u", "v"), learning_rate=0.1)
    for x, y in (({"u": 1.0, "v": 2.0}, "a"), ({"u": -1.0, "v": 0.5}, "b")):
        classifier.learn_one(x, y)
    # The last class's model takes steps of 1e308 from weights near the largest double.
    doc = json.loads(classifier.models["b"].to_json())
    doc["model"]["model"]["optimizer"]["Sgd"]["config"]["learning_rate"] = 1e308
    doc["model"]["model"]["weights"] = [1e308, -1e308]
    classifier.models["b"] = type(classifier.models["b"]).from_json(json.dumps(doc))
    before = {label: model.to_json() for label, model in classifier.models.items()}
    with pytest.raises(RuntimeError, match="non-finite value"):
        classifier.learn_one({"u": 5.0, "v": -7.0}, "a")
    assert {label: model.to_json() for label, model in classifier.models.items()} == before


@pytest.mark.parametrize("adapter, y", [(LogisticClassifier, True), (LinearRegressor, 1.0)],
                         ids=["binary classifier", "regressor"])
def test_a_sample_its_one_model_refuses_stays_out_of_the_scaler(adapter, y):
    learner = adapter(features=("u", "v"), learning_rate=0.1)
    twin = adapter(features=("u", "v"), learning_rate=0.1)
    for other in (learner, twin):
        other.learn_one({"u": 1.0, "v": 2.0}, y)
    models = learner.models if adapter is LogisticClassifier else {"model": learner.model}
    (name, model), = models.items()
    # Steps of 1e308 from weights near the largest double: the model's own step overflows.
    doc = json.loads(model.to_json())
    doc["model"]["model"]["optimizer"]["Sgd"]["config"]["learning_rate"] = 1e308
    doc["model"]["model"]["weights"] = [1e308, -1e308]
    overflowing = type(model).from_json(json.dumps(doc))
    if adapter is LogisticClassifier:
        learner.models[name] = overflowing
    else:
        learner.model = overflowing
    before = overflowing.to_json()
    with pytest.raises(RuntimeError, match="non-finite value"):
        learner.learn_one({"u": 5.0, "v": -7.0}, y)
    assert overflowing.to_json() == before
    # A sample it takes is learned as the pipeline's own learn_one learns it.
    pipeline = drel_ml_ext.classification_pipeline(2, learning_rate=0.1) if adapter is \
        LogisticClassifier else drel_ml_ext.regression_pipeline(2, learning_rate=0.1)
    for u, v in [(1.0, 2.0), (-1.0, 0.5), (3.0, -2.0)]:
        pipeline.learn_one([u, v], y)
        if (u, v) != (1.0, 2.0):
            twin.learn_one({"u": u, "v": v}, y)
    assert (twin.models[True] if adapter is LogisticClassifier else twin.model).to_json() == \
        pipeline.to_json()
    if adapter is LinearRegressor:  # the target is named as learn_one names it
        with pytest.raises(TypeError) as refused:
            twin.learn_one({"u": 1.0}, "3.0")
        assert refused.value.__notes__[-1] == "while processing 'y'"


def test_only_real_booleans_train_one_binary_model():
    class bool_:  # noqa: N801 - named as numpy's boolean, which it is not
        def __bool__(self):
            return True

    impostor = LogisticClassifier()
    impostor.learn_one({"a": 1.0}, label := bool_())
    assert list(impostor.models) == [label]
    binary = LogisticClassifier()
    binary.learn_one({"a": 1.0}, np.bool_(True))
    assert list(binary.models) == [True]


def test_one_versus_rest_beyond_two_labels():
    names = tuple(next(iter(datasets.ImageSegments()))[0])
    model = compose.Pipeline(StandardScaler(features=names), LogisticClassifier(learning_rate=0.1))
    accuracy = evaluate.progressive_val_score(datasets.ImageSegments(), model, metrics.Accuracy())
    assert accuracy.get() > 0.8
    classifier = model["LogisticClassifier"]
    assert len(classifier.models) == 7
    x = next(iter(datasets.ImageSegments()))[0]
    proba = classifier.predict_proba_one(model["StandardScaler"].transform_one(x))
    assert set(proba) == set(classifier.models) and sum(proba.values()) == pytest.approx(1.0)
    with pytest.raises(ValueError, match="mixes boolean and other labels"):
        classifier.learn_one(x, True)
    # The hasher takes names that are not strings as their text.
    numbered = LogisticClassifier()
    numbered.learn_one({1: 2.0, "a": 1.0}, "x")
    assert numbered.predict_proba_one({"1": 2.0, "a": 1.0}) == numbered.predict_proba_one(
        {1: 2.0, "a": 1.0})


def test_in_a_pipeline_with_progressive_validation_and_pickled():
    model = StandardScaler(features=PHISHING) | LogisticClassifier(features=PHISHING)
    accuracy = evaluate.progressive_val_score(datasets.Phishing(), model, metrics.Accuracy())
    assert accuracy.get() > 0.85
    copy = pickle.loads(pickle.dumps(model))
    for x, _ in datasets.Phishing().take(50):
        assert copy.predict_proba_one(x) == model.predict_proba_one(x)
        assert copy.predict_one(x) == model.predict_one(x)
    assert model.predict_proba_one(x).keys() == {False, True}


def _python_row(columns, refuse_unknown, x):
    """The row of fixed names as a plain loop over x.items() makes it."""
    row = [0.0] * len(columns)
    for name, value in x.items():
        if isinstance(value, str):
            name, value = f"{name}={value}", 1.0
        column = columns.get(name) if isinstance(name, str) else None
        if column is None:
            if refuse_unknown:
                raise KeyError(f"feature {name!r} is not one of `features`")
            continue
        row[column] = _number(name, value)
    return row


def _number(name, value):
    """A value as a model converts it: a real number, never text parsed as one."""
    if hasattr(type(value), "__float__") or hasattr(type(value), "__index__"):
        return float(value)
    raise TypeError(f"the value of feature {name!r} must be a real number or a string, "
                    f"not '{type(value).__name__}'")


class _OddName(str):
    def __hash__(self):
        return hash(str(self))

    def __eq__(self, other):
        return str.__eq__(self, other)


class _Raises(str):
    """Hashes once (to enter the sample), then raises."""

    hashed = False

    def __hash__(self):
        if self.hashed:
            raise ArithmeticError("no hash")
        self.hashed = True
        return hash(str(self))


class _Number:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


FIXED = ("a", "b", "c=x", "3", "d=é", "e", "s\ud800", "L=" + "x" * 300, "w=🙂")
SAMPLES = [
    {"a": 1.5, "b": -2, "c": "x", "e": True}, {"c": "y", "zzz": 1.0}, {3: 1.0, "3": 2.0},
    {"a": b"2.5"}, {"a": math.nan}, {"d": "é", "e": np.float32(0.1)},
    {_OddName("a"): 4.0, "b": _Number(2.0)}, {"a": None}, {"zzz": None, "a": 1.0},
    {"a": [1.0]}, {_Raises("a"): 1.0}, {"c=x": 7.0, "c": "x"}, {"a": "x", "b": _OddName("y")},
    {"b": _Number("no")}, {}, {"a": 1.0, "a=x": 2.0},
    {"s\ud800": 3.0, "t\ud800": 1.0}, {"s": "\ud800"}, {"L": "x" * 300, "w": "🙂"},
    {"L": "x" * 299}, {"a": 10**400}, {"e": 2**60 + 1},
]


@pytest.mark.parametrize("refuse_unknown", [False, True])
@pytest.mark.parametrize("x", SAMPLES, ids=range(len(SAMPLES)))
def test_native_fixed_names_row_is_the_python_loops(refuse_unknown, x):
    columns = {name: i for i, name in enumerate(FIXED)}
    named = drel_ml_ext._native.NamedColumns(columns, refuse_unknown)
    for mapping in (x, dict(x), _Mapping(x)):
        try:
            expected = _python_row(columns, refuse_unknown, mapping)
        except Exception as error:  # noqa: BLE001
            with pytest.raises(type(error)) as raised:
                named.row(mapping)
            assert str(raised.value) == str(error)
            continue
        got = named.row(mapping)
        np.testing.assert_array_equal(np.asarray(got).view(np.int64),
                                      np.asarray(expected).view(np.int64))


class _Mapping(dict):
    """A dict subclass: read through its own items()."""


def test_native_fixed_names_survive_a_sample_changed_while_read():
    columns = {"a": 0, "b": 1}
    named = drel_ml_ext._native.NamedColumns(columns, False)

    class Mutating:
        def __float__(self):
            sample["zz" + str(len(sample))] = 1.0
            return 2.0

    sample = {"a": Mutating(), "b": 3.0}
    with pytest.raises(RuntimeError, match="changed size"):
        named.row(sample)
    columns["a"] = 5  # the mapping keeps its own copy
    assert list(named.row({"a": 1.0})) == [1.0, 0.0]


@pytest.mark.parametrize("columns", [{"a": 1}, {"a": -1}, {"a": 0, "b": 0.0}, {3: 0},
                                     {"a": True}])
def test_native_fixed_names_refuse_columns_outside_the_row(columns):
    with pytest.raises(ValueError, match="ints 0 to len - 1"):
        drel_ml_ext._native.NamedColumns(columns, False)


def test_fixed_names_adapter_pickled_before_the_native_rows_still_loads():
    adapter = LinearRegressor(features=("a", "b"), scale=False)
    adapter.learn_one({"a": 1.0, "b": 2.0}, 3.0)
    state = adapter._rows.__getstate__()
    assert "_named" not in state
    rows = object.__new__(type(adapter._rows))
    rows.__setstate__(state)
    assert list(rows.row({"b": 4.0})) == [0.0, 4.0]
    clone = pickle.loads(pickle.dumps(adapter))
    assert clone.predict_one({"a": 1.0}) == adapter.predict_one({"a": 1.0})
