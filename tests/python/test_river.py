"""river's dict API: the adapters pass river's own checks and learn what drel_ml learns."""

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
    assert regressor._rows.row({"a": 2, "colour": "red", "zzz": 5.0}) == [2.0, 0.0, 1.0]
    strict = LinearRegressor(features=("a",), unknown="error")
    with pytest.raises(KeyError, match="'zzz' is not one of `features`"):
        strict.learn_one({"a": 1.0, "zzz": 1.0}, 1.0)
    assert strict.model.samples_seen == 0
    for bad in [{"unknown": "drop"}, {"features": ()}, {"features": ("a", "a")},
                {"n_features": 0}, {"learning_rate": -1.0}]:
        with pytest.raises((ValueError, RuntimeError)):
            LinearRegressor(**bad)


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
