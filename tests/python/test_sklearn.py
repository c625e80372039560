"""The scikit-learn estimators: scikit-learn's own checks, agreement with drel_ml's
objects, labels, learned attributes, pickling, and use inside scikit-learn's tools."""

from __future__ import annotations

import copy
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
        (lambda c, X: c.fit(X[:3], ["a", "a", "a"]), "one class only"),
        (lambda c, X: c.partial_fit(X[:3], ["a", "a", "a"]), "pass `classes` on the first call"),
        (lambda c, X: c.partial_fit(X[:3], ["a", "b", "c"], classes=["a", "b"]), "labels outside classes_"),
        (lambda c, X: c.partial_fit(X[:2], ["a", "b"]).partial_fit(X[:1], ["c"]), "labels outside classes_"),
        (lambda c, X: c.partial_fit(X[:2], ["a", "b"]).partial_fit(X[:1], ["a"], classes=["a", "c"]), "differ from classes_"),
    ],
)
def test_labels_outside_the_classes_are_refused(call, message):
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
        # a setting of the wrong type is named by the core's note
        (OnlineLinearRegressor(learning_rate="0.1"),
         r"invalid settings: must be real number, not str \(while processing 'learning_rate'\)"),
        (OnlineLogisticClassifier(scaler_epsilon=None), r"while processing 'scaler_epsilon'"),
        (OnlineStandardScaler(epsilon="tiny"), r"while processing 'epsilon'"),
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


# --- a refused fit or partial_fit changes nothing ------------------------------------------


def observable_state(estimator):
    """A deep copy of vars(estimator), each drel_ml object as its snapshot and each array as
    its dtype and values, so that two states compare with ==."""
    def plain(value):
        if isinstance(value, np.ndarray):
            return ("array", value.dtype.str, value.tolist())
        if hasattr(value, "to_json"):
            return (type(value).__name__, value.to_json())
        if isinstance(value, tuple):
            return tuple(plain(item) for item in value)
        return value

    return {name: plain(value) for name, value in copy.deepcopy(vars(estimator)).items()}


def with_row(X, row, value):
    """X (as floats) with `value` in the first column of `row`."""
    X = np.array(X, dtype=np.float64)
    X[row, 0] = value
    return X


def overflowing(X):
    """X (as floats) with two rows so large that the model's arithmetic overflows."""
    X = np.array(X, dtype=np.float64)
    X[9:11] = 1e308
    return X


def wider(X, columns=5):
    return np.column_stack([X, np.ones((len(X), columns - X.shape[1]))])


def fitted(make, *, names=False, **settings):
    """A fitted estimator on three columns (named ones when `names`)."""
    estimator = make(**settings)
    X, y = classification_data() if make is OnlineLogisticClassifier else regression_data()
    if names:
        X = pytest.importorskip("pandas").DataFrame(X, columns=["a", "b", "c"])
    return lambda: estimator.fit(X, y)


def fitted_multiclass():
    return OnlineLogisticClassifier().fit(X3, np.resize(["a", "b", "c"], len(X3)))


def unfitted(make, **settings):
    return lambda: make(**settings)


X3, Y3 = regression_data(rows=40, seed=1)
Y3_LABELS = np.where(Y3 > np.median(Y3), "spam", "ham")
NAN, INF = float("nan"), float("inf")
NOT_FINITE = r"non-finite value for `feature`"
OVERFLOW = r"non-finite value for `(?!feature)"  # the core's arithmetic, not the input
Reg, Clf, Sca = OnlineLinearRegressor, OnlineLogisticClassifier, OnlineStandardScaler

REFUSED = [
    # the core refuses a row, after scikit-learn accepted the data and the labels
    ("regressor fit, wider", fitted(Reg), lambda e: e.fit(with_row(wider(X3), 9, NAN), Y3), ValueError, NOT_FINITE),
    ("regressor fit, overflow", fitted(Reg, scale=False), lambda e: e.fit(overflowing(wider(X3)), Y3), RuntimeError, OVERFLOW),
    ("regressor fit, named", fitted(Reg, names=True), lambda e: e.fit(with_row(X3, 9, INF), Y3), ValueError, NOT_FINITE),
    ("regressor fit, second epoch", fitted(Reg, scale=False, epochs=3), lambda e: e.fit(with_row(wider(X3), 39, 1e200), Y3 * 1e200), RuntimeError, "non-finite"),
    ("regressor first fit", unfitted(Reg), lambda e: e.fit(with_row(X3, 9, NAN), Y3), ValueError, NOT_FINITE),
    ("regressor first partial_fit", unfitted(Reg), lambda e: e.partial_fit(with_row(X3, 9, NAN), Y3), ValueError, NOT_FINITE),
    ("regressor partial_fit", fitted(Reg), lambda e: e.partial_fit(with_row(X3, 9, -INF), Y3), ValueError, NOT_FINITE),
    ("regressor partial_fit, wider", fitted(Reg), lambda e: e.partial_fit(wider(X3), Y3), ValueError, "expecting 3 features"),
    ("regressor fit, bad setting", lambda: fitted(Reg)().set_params(learning_rate=0.0), lambda e: e.fit(wider(X3), Y3), ValueError, "invalid learning rate"),
    ("classifier fit, new labels", fitted(Clf), lambda e: e.fit(with_row(wider(X3), 9, NAN), Y3_LABELS), ValueError, NOT_FINITE),
    ("classifier fit, overflow", fitted(Clf, scale=False), lambda e: e.fit(overflowing(X3), Y3_LABELS), RuntimeError, OVERFLOW),
    ("classifier fit, three labels", fitted(Clf), lambda e: e.fit(with_row(wider(X3), 9, NAN), np.resize(["a", "b", "c"], 40)), ValueError, NOT_FINITE),
    ("multiclass partial_fit, not finite", fitted_multiclass, lambda e: e.partial_fit(with_row(X3, 9, NAN), np.resize(["a", "b", "c"], 40)), ValueError, NOT_FINITE),
    ("multiclass partial_fit, fourth label", fitted_multiclass, lambda e: e.partial_fit(X3[:1], ["d"]), ValueError, "labels outside classes_"),
    ("classifier first fit", unfitted(Clf), lambda e: e.fit(with_row(X3, 9, NAN), Y3_LABELS), ValueError, NOT_FINITE),
    ("classifier first partial_fit, one label", unfitted(Clf), lambda e: e.partial_fit(X3[:3], ["a"] * 3), ValueError, "pass `classes`"),
    ("classifier first partial_fit, wrong classes", unfitted(Clf), lambda e: e.partial_fit(X3[:3], ["a", "b", "c"], classes=["a", "b"]), ValueError, "labels outside classes_"),
    ("classifier first partial_fit, not finite", unfitted(Clf), lambda e: e.partial_fit(with_row(X3, 2, NAN), Y3_LABELS, classes=["ham", "spam"]), ValueError, NOT_FINITE),
    ("classifier first partial_fit, NaN class", unfitted(Clf), lambda e: e.partial_fit(X3[:3], [1.0, 2.0, 1.0], classes=[1.0, 2.0, NAN]), ValueError, "not equal to itself"),
    ("classifier partial_fit, third label", fitted(Clf), lambda e: e.partial_fit(X3[:1], ["maybe"]), ValueError, "labels outside classes_"),
    ("classifier partial_fit, other classes", fitted(Clf), lambda e: e.partial_fit(X3[:1], ["no"], classes=["no", "maybe"]), ValueError, "differ from classes_"),
    ("classifier partial_fit, not finite", fitted(Clf), lambda e: e.partial_fit(with_row(X3, 9, NAN), np.where(Y3 > 0, "yes", "no")), ValueError, NOT_FINITE),
    ("scaler fit, wider", fitted(Sca), lambda e: e.fit(with_row(wider(X3), 9, NAN)), ValueError, NOT_FINITE),
    ("scaler fit, named", fitted(Sca, names=True), lambda e: e.fit(with_row(X3, 9, INF)), ValueError, NOT_FINITE),
    ("scaler first fit", unfitted(Sca), lambda e: e.fit(with_row(X3, 9, NAN)), ValueError, NOT_FINITE),
    ("scaler first partial_fit", unfitted(Sca), lambda e: e.partial_fit(with_row(X3, 9, NAN)), ValueError, NOT_FINITE),
    ("scaler partial_fit, wider", fitted(Sca), lambda e: e.partial_fit(wider(X3)), ValueError, "expecting 3 features"),
]


@pytest.mark.filterwarnings("ignore:X does not have valid feature names")
@pytest.mark.parametrize("make, call, error, message", [case[1:] for case in REFUSED],
                         ids=[case[0] for case in REFUSED])
def test_a_refused_call_changes_nothing(make, call, error, message):
    estimator = make()
    before = observable_state(estimator)
    with pytest.raises(error, match=message):
        call(estimator)
    assert observable_state(estimator) == before
    if hasattr(estimator, "n_features_in_"):  # still works on the data it was fitted on
        method = "transform" if isinstance(estimator, OnlineStandardScaler) else "predict"
        getattr(estimator, method)(X3)


# --- a fit from inside a fit ---------------------------------------------------------------


class Reentering(str):
    """A label, or (by __float__) a value, whose own code runs `hook` once: scikit-learn's
    validation and the one-versus-rest targets compare labels and convert values."""

    hook = None
    refused = None

    @classmethod
    def fire(cls):
        hook, cls.hook = cls.hook, None
        if hook is not None:
            try:
                hook()
            except RuntimeError as error:
                cls.refused = error

    def __eq__(self, other):
        self.fire()
        return str.__eq__(self, other)

    __hash__ = str.__hash__

    def __float__(self):
        self.fire()
        return float(str(self))


def hostile(values):
    return np.array([Reentering(v) for v in values], dtype=object)


def plain(values):
    return np.array(list(values), dtype=object)


LABELS3 = np.resize(["a", "b", "c"], len(X3))
ONES = ["1"] * len(X3)
REENTERED = [
    ("multiclass partial_fit", fitted_multiclass, lambda wrap: ("partial_fit", X3, wrap(LABELS3))),
    ("multiclass first partial_fit", unfitted(Clf), lambda wrap: ("partial_fit", X3, wrap(LABELS3))),
    ("binary first partial_fit", unfitted(Clf), lambda wrap: ("partial_fit", X3, wrap(Y3_LABELS))),
    ("classifier fit", fitted(Clf), lambda wrap: ("fit", X3, wrap(LABELS3))),
    ("regressor partial_fit", fitted(Reg), lambda wrap: ("partial_fit", np.column_stack([X3[:, :2], wrap(ONES)]), Y3)),
    ("scaler first partial_fit", unfitted(Sca), lambda wrap: ("partial_fit", np.column_stack([X3[:, :2], wrap(ONES)]))),
]


@pytest.mark.parametrize("make, call", [case[1:] for case in REENTERED],
                         ids=[case[0] for case in REENTERED])
def test_a_fit_called_from_inside_a_fit_is_refused_and_the_outer_fit_is_whole(make, call):
    estimator, twin = make(), make()
    method, *args = call(hostile)
    _, *plain_args = call(plain)
    Reentering.refused = None
    Reentering.hook = lambda: getattr(estimator, method)(*plain_args)
    getattr(estimator, method)(*args)
    assert "while the same estimator is fitting" in str(Reentering.refused)
    getattr(twin, method)(*plain_args)
    assert observable_state(estimator) == observable_state(twin)
    getattr(estimator, method)(*plain_args)  # no longer refused


# --- a newcomer's first data ----------------------------------------------------------------


TEXT_HINT = "X holds text: features are real numbers; hash text and categorical columns first"
MAPPING_HINT = "X holds mappings: hash named features into rows of numbers first"


def frame_with(column):
    pd = pytest.importorskip("pandas")
    return pd.DataFrame({"amount": [1.0, 2.0, 3.0, 4.0], "country": column})


@pytest.mark.parametrize("make", [Reg, Clf, Sca])
@pytest.mark.parametrize("X, error, hint", [
    (lambda: frame_with(["fr", "de", "fr", "de"]), ValueError, TEXT_HINT),
    (lambda: frame_with(pytest.importorskip("pandas").Categorical(["fr", "de", "fr", "de"])),
     ValueError, TEXT_HINT),
    (lambda: np.array([["1.0", "fr"]] * 4), ValueError, TEXT_HINT),
    (lambda: [{"amount": 1.0, "country": "fr"}] * 4, TypeError, MAPPING_HINT),
    (lambda: np.array([[1.0, object()]] * 4, dtype=object), TypeError, None),  # no advice
])
def test_rows_of_text_or_mappings_point_at_the_hashers(make, X, error, hint):
    estimator = make()
    with pytest.raises(error) as refused:
        estimator.fit(X(), [0, 1, 0, 1])
    notes = getattr(refused.value, "__notes__", [])
    assert [note[:len(hint)] for note in notes] == ([hint] if hint else [])
    assert not hasattr(estimator, "n_features_in_")
