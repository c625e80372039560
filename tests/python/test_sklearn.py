"""The scikit-learn estimators: scikit-learn's own checks, agreement with drel_ml's
objects, labels, learned attributes, pickling, and use inside scikit-learn's tools."""

from __future__ import annotations

import os
import pickle
import subprocess
import sys

import pytest

# scikit-learn runs its array-API check only with this set (it skips it otherwise).
os.environ.setdefault("SCIPY_ARRAY_API", "1")
pytest.importorskip("sklearn")
np = pytest.importorskip("numpy")

import drel_ml  # noqa: E402
from sklearn.model_selection import GridSearchCV, cross_val_score  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

from drel_ml_ext.sklearn import (  # noqa: E402
    OnlineLinearRegressor,
    OnlineLogisticClassifier,
    OnlineStandardScaler,
)

ESTIMATORS = [
    OnlineLinearRegressor(),
    OnlineLinearRegressor(scale=False, optimizer="adagrad", learning_rate=0.1),
    OnlineLogisticClassifier(),
    OnlineLogisticClassifier(scale=False, optimizer="adagrad", learning_rate=0.1),
    OnlineStandardScaler(),
]


# Every check runs and passes: none is expected to fail. (The data-frame checks need pandas
# and the array-API check SCIPY_ARRAY_API=1; scripts/suites/40-sklearn.sh provides both.)
@parametrize_with_checks(ESTIMATORS)
def test_sklearn_estimator_checks(estimator, check):
    check(estimator)


def fitted_object(estimator):
    """The drel_ml object an estimator fitted."""
    return estimator.scaler_ if isinstance(estimator, OnlineStandardScaler) else estimator.model_


def regression_data(rows=200, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(rows, 3)) * [1.0, 10.0, 0.1] + [0.0, 5.0, -1.0]
    return X, X @ [1.5, -0.2, 3.0] + 0.7 + rng.normal(scale=0.1, size=rows)


def classification_data(rows=200, seed=0, labels=("no", "yes")):
    X, y = regression_data(rows, seed)
    return X, np.where(y > np.median(y), labels[1], labels[0])


# The estimators learn exactly what the drel_ml objects learn one sample at a time.
@pytest.mark.parametrize("scale", [True, False])
@pytest.mark.parametrize("epochs", [1, 3])
@pytest.mark.parametrize(
    "kind, make_reference",
    [
        ("regressor", lambda scale: (drel_ml.RegressionPipeline if scale else drel_ml.LinearRegression)(3, 0.01)),
        ("classifier", lambda scale: (drel_ml.ClassificationPipeline if scale else drel_ml.LogisticRegression)(3, 0.01)),
    ],
)
def test_fit_learns_what_learn_one_learns(kind, make_reference, scale, epochs):
    if kind == "regressor":
        X, y = regression_data()
        estimator = OnlineLinearRegressor(scale=scale, epochs=epochs).fit(X, y)
        targets = [float(t) for t in y]
    else:
        X, y = classification_data()
        estimator = OnlineLogisticClassifier(scale=scale, epochs=epochs).fit(X, y)
        targets = [t == "yes" for t in y]
    reference = make_reference(scale)
    for _ in range(epochs):
        for row, target in zip(X.tolist(), targets):
            reference.learn_one(row, target)
    assert estimator.model_.to_json() == reference.to_json()
    if kind == "regressor":
        expected = [reference.predict_one(row) for row in X.tolist()]
        assert estimator.predict(X).tolist() == expected
    else:
        expected = [reference.predict_proba_one(row) for row in X.tolist()]
        assert estimator.predict_proba(X)[:, 1].tolist() == expected
        labels = ["yes" if reference.predict_one(row) else "no" for row in X.tolist()]
        assert estimator.predict(X).tolist() == labels


@pytest.mark.parametrize("make", [OnlineLinearRegressor, OnlineLogisticClassifier, OnlineStandardScaler])
def test_partial_fit_continues_and_fit_starts_afresh(make):
    X, y = classification_data() if make is OnlineLogisticClassifier else regression_data()
    whole = make().fit(X, y)
    pieces = make()
    for start in range(0, len(X), 64):
        pieces.partial_fit(X[start:start + 64], y[start:start + 64])
    state = fitted_object(whole).to_json()
    assert fitted_object(pieces).to_json() == state
    whole.partial_fit(X, y)
    assert fitted_object(whole.fit(X, y)).to_json() == state


@pytest.mark.parametrize(
    "bad_row, error, message",
    [
        ([1e308, 0.0, 0.0], RuntimeError, r"non-finite value for `linear prediction term`: inf \(row 5\)"),
        ([0.0, float("nan"), 0.0], ValueError, r"non-finite value for `feature`: NaN \(row 5\)"),
        ([0.0, 0.0, float("-inf")], ValueError, r"non-finite value for `feature`: -inf \(row 5\)"),
    ],
)
def test_a_rejected_partial_fit_changes_nothing(bad_row, error, message):
    X, y = regression_data()
    regressor = OnlineLinearRegressor(scale=False).fit(X, y)
    before = regressor.model_.to_json()
    with pytest.raises(error, match=message):
        regressor.partial_fit(np.vstack([X[:5], [bad_row]]), np.append(y[:5], 1e10))
    assert regressor.model_.to_json() == before
    with pytest.raises(ValueError, match=r"non-finite value for `feature`: NaN \(row 1\)"):
        regressor.predict([[0.0] * 3, [float("nan")] * 3])


@pytest.mark.parametrize(
    "labels", [(0, 1), (False, True), (-1, 1), ("ham", "spam"), (2.0, 7.0)]
)
def test_any_two_labels_map_to_false_and_true(labels):
    X, names = classification_data(labels=("a", "b"))
    y = np.array([labels[name == "b"] for name in names])
    classifier = OnlineLogisticClassifier().fit(X, y)
    assert classifier.classes_.tolist() == sorted(labels)
    reference = OnlineLogisticClassifier().fit(X, names == "b")
    assert classifier.model_.to_json() == reference.model_.to_json()
    assert set(classifier.predict(X).tolist()) <= set(labels)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c, X: c.fit(X[:3], ["a", "b", "c"]), "Only binary classification is supported.* 3 classes in y"),
        (lambda c, X: c.fit(X[:3], ["a", "a", "a"]), "one class only"),
        (lambda c, X: c.partial_fit(X[:3], ["a", "a", "a"]), "pass `classes` on the first call"),
        (lambda c, X: c.partial_fit(X[:3], ["a", "b", "c"], classes=["a", "b"]), "labels outside classes_"),
        (lambda c, X: c.partial_fit(X[:2], ["a", "b"]).partial_fit(X[:1], ["c"]), "labels outside classes_"),
        (lambda c, X: c.partial_fit(X[:2], ["a", "b"]).partial_fit(X[:1], ["a"], classes=["a", "c"]), "differ from classes_"),
    ],
)
def test_labels_beyond_two_classes_are_refused(call, message):
    X, _ = regression_data()
    with pytest.raises(ValueError, match=message):
        call(OnlineLogisticClassifier(), X)


def test_partial_fit_with_classes_learns_a_single_label_batch():
    X, _ = regression_data()
    classifier = OnlineLogisticClassifier().partial_fit(X[:1], ["b"], classes=["a", "b"])
    assert classifier.classes_.tolist() == ["a", "b"]
    assert classifier.model_.samples_seen == 1


@pytest.mark.parametrize("scale, with_mean, with_std", [(True, True, True), (True, False, True), (True, True, False), (False, True, True)])
def test_coef_and_intercept_describe_the_prediction(scale, with_mean, with_std):
    X, y = regression_data()
    settings = {"scale": scale, "with_mean": with_mean, "with_std": with_std, "epochs": 3}
    regressor = OnlineLinearRegressor(**settings).fit(X, y)
    assert regressor.coef_.shape == (3,) and regressor.intercept_.shape == (1,)
    np.testing.assert_allclose(X @ regressor.coef_ + regressor.intercept_, regressor.predict(X), rtol=1e-9, atol=1e-9)
    X, y = classification_data()
    classifier = OnlineLogisticClassifier(**settings).fit(X, y)
    assert classifier.coef_.shape == (1, 3)
    logit = X @ classifier.coef_[0] + classifier.intercept_[0]
    np.testing.assert_allclose(1.0 / (1.0 + np.exp(-logit)), classifier.predict_proba(X)[:, 1], rtol=1e-9)


def test_scaler_attributes_match_the_data():
    X, _ = regression_data()
    scaler = OnlineStandardScaler().fit(X)
    np.testing.assert_allclose(scaler.mean_, X.mean(axis=0))
    np.testing.assert_allclose(scaler.var_, X.var(axis=0))
    np.testing.assert_allclose(scaler.scale_, X.std(axis=0))
    assert scaler.n_samples_seen_ == len(X)
    np.testing.assert_allclose(scaler.transform(X), (X - X.mean(axis=0)) / X.std(axis=0), atol=1e-12)


@pytest.mark.parametrize(
    "estimator, message",
    [
        (OnlineLinearRegressor(learning_rate=0.0), "invalid learning rate: 0"),
        (OnlineLinearRegressor(l2=-1.0), "invalid parameter `l2`: -1"),
        (OnlineLinearRegressor(optimizer="adam"), "`optimizer` must be 'sgd' or 'adagrad'"),
        (OnlineLinearRegressor(loss="absolute"), "`loss` must be 'squared' or 'huber'"),
        (OnlineLinearRegressor(epochs=0), "`epochs` must be an integer of at least 1"),
        (OnlineLinearRegressor(epochs=True), "`epochs` must be an integer"),
        (OnlineLogisticClassifier(scale="yes"), "`scale` must be True or False"),
        (OnlineLogisticClassifier(learning_rate=float("nan")), "non-finite value for `learning_rate`"),
        (OnlineStandardScaler(with_std=1), "`with_std` must be True or False"),
    ],
)
def test_invalid_settings_are_a_value_error_at_fit(estimator, message):
    X, y = classification_data(labels=(0, 1))
    with pytest.raises(ValueError, match=message):
        estimator.fit(X, y)


@pytest.mark.parametrize("estimator", ESTIMATORS, ids=repr)
@pytest.mark.parametrize("dump, load", [(pickle.dumps, pickle.loads), ("joblib", "joblib")])
def test_pickle_and_joblib_round_trip_bit_for_bit(estimator, dump, load, tmp_path):
    X, y = classification_data(labels=(0, 1)) if "Classifier" in repr(estimator) else regression_data()
    fitted = estimator.fit(X, y)
    if dump == "joblib":
        joblib = pytest.importorskip("joblib")
        joblib.dump(fitted, tmp_path / "estimator.joblib")
        copy = joblib.load(tmp_path / "estimator.joblib")
    else:
        copy = load(dump(fitted))
    assert type(fitted_object(copy)) is type(fitted_object(fitted))
    assert fitted_object(copy).to_json() == fitted_object(fitted).to_json()
    method = "transform" if isinstance(fitted, OnlineStandardScaler) else "predict"
    np.testing.assert_array_equal(getattr(copy, method)(X), getattr(fitted, method)(X))
    copy.partial_fit(X, y)  # the copy goes on learning
    assert fitted_object(copy).to_json() != fitted_object(fitted).to_json()


def test_inside_pipeline_grid_search_and_cross_validation():
    X, y = classification_data(rows=300, labels=(0, 1))
    pipeline = make_pipeline(OnlineStandardScaler(), OnlineLogisticClassifier(scale=False))
    scores = cross_val_score(pipeline, X, y, cv=3)
    assert scores.shape == (3,) and np.all(scores > 0.8)
    search = GridSearchCV(
        OnlineLinearRegressor(),
        {"learning_rate": [0.001, 0.01, 0.05], "optimizer": ["sgd", "adagrad"], "epochs": [1, 3]},
        cv=3,
    ).fit(*regression_data(rows=300))
    assert search.best_score_ > 0.9
    assert set(search.best_params_) == {"learning_rate", "optimizer", "epochs"}


def test_importing_drel_ml_ext_does_not_import_sklearn():
    code = "import sys, drel_ml_ext; sys.exit('sklearn' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code]).returncode == 0


def test_module_docstring_example_runs():
    import doctest

    import drel_ml_ext.sklearn

    assert doctest.testmod(drel_ml_ext.sklearn).failed == 0
