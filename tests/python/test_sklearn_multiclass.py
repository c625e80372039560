"""OnlineLogisticClassifier beyond two classes: one model per class, one versus the rest."""

import pytest

pytest.importorskip("sklearn")
np = pytest.importorskip("numpy")

import drel_ml_ext  # noqa: E402
from drel_ml_ext.sklearn import OnlineLogisticClassifier  # noqa: E402


def blobs(rows=300, seed=0, labels=("ant", "bee", "cat")):
    rng = np.random.default_rng(seed)
    centres = np.array([[0.0, 4.0], [4.0, 0.0], [-4.0, -4.0]])
    which = rng.integers(0, len(labels), size=rows)
    return centres[which] + rng.normal(size=(rows, 2)), np.asarray(labels)[which]


@pytest.mark.parametrize("scale", [True, False])
def test_each_class_model_is_the_binary_model_of_that_class(scale):
    X, y = blobs()
    classifier = OnlineLogisticClassifier(scale=scale, epochs=2, learning_rate=0.05).fit(X, y)
    assert classifier.classes_.tolist() == ["ant", "bee", "cat"]
    assert not hasattr(classifier, "model_")
    factory = drel_ml_ext.classification_pipeline if scale else drel_ml_ext.logistic_regression
    for label, model in zip(classifier.classes_, classifier.models_):
        reference = factory(2, learning_rate=0.05)
        for _ in range(2):
            drel_ml_ext.learn_many(reference, X, y == label)
        assert model.to_json() == reference.to_json()


def test_partial_fit_in_batches_equals_one_pass():
    X, y = blobs()
    whole = OnlineLogisticClassifier().fit(X, y)
    parts = OnlineLogisticClassifier().partial_fit(X[:7], y[:7], classes=["ant", "bee", "cat"])
    parts.partial_fit(X[7:], y[7:])
    assert [m.to_json() for m in parts.models_] == [m.to_json() for m in whole.models_]


def test_probabilities_decisions_and_predictions_agree():
    X, y = blobs()
    classifier = OnlineLogisticClassifier(learning_rate=0.1).fit(X, y)
    proba = classifier.predict_proba(X)
    assert proba.shape == (len(X), 3)
    np.testing.assert_allclose(proba.sum(axis=1), 1.0)
    np.testing.assert_array_equal(classifier.predict_log_proba(X), np.log(proba))
    assert classifier.decision_function(X).shape == (len(X), 3)
    assert classifier.coef_.shape == (3, 2) and classifier.intercept_.shape == (3,)
    np.testing.assert_array_equal(classifier.predict(X), classifier.classes_[proba.argmax(axis=1)])
    assert (classifier.predict(X) == y).mean() > 0.9


def test_binary_decision_function_is_the_logit_of_the_probability():
    X, y = blobs(labels=("no", "yes", "yes"))
    classifier = OnlineLogisticClassifier(learning_rate=0.1).fit(X, y)
    scores = classifier.decision_function(X)
    assert scores.shape == (len(X),)
    p = classifier.predict_proba(X)[:, 1]
    np.testing.assert_allclose(scores, np.log(p) - np.log1p(-p), rtol=1e-9, atol=1e-9)


def test_a_fit_from_multiclass_to_binary_drops_the_class_models():
    X, y = blobs()
    classifier = OnlineLogisticClassifier().fit(X, y)
    classifier.fit(X, y == "ant")
    assert not hasattr(classifier, "models_") and classifier.coef_.shape == (1, 2)
