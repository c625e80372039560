"""The scikit-learn estimators take CSR and CSC matrices (other formats become
CSR) and learn from them exactly what they learn from X.toarray()."""

import pytest

np = pytest.importorskip("numpy")
sp = pytest.importorskip("scipy.sparse")
pytest.importorskip("sklearn")

from drel_ml_ext.sklearn import OnlineLinearRegressor, OnlineLogisticClassifier  # noqa: E402

ESTIMATORS = {
    "regressor": lambda: OnlineLinearRegressor(learning_rate=0.05),
    "regressor_scaled_adagrad": lambda: OnlineLinearRegressor(learning_rate=0.05, scale=True,
                                                              optimizer="adagrad", epochs=2),
    "binary": lambda: OnlineLogisticClassifier(learning_rate=0.1),
    "multiclass": lambda: OnlineLogisticClassifier(learning_rate=0.1, optimizer="adagrad"),
}


@pytest.mark.parametrize("form", ["csr_matrix", "csc_array", "coo_matrix", "lil_array"])
@pytest.mark.parametrize("name", sorted(ESTIMATORS))
def test_fit_on_sparse_is_fit_on_its_dense_rows(name, form):
    rng = np.random.default_rng(2)
    X = sp.random(120, 15, density=0.2, format="csr", random_state=rng)
    y = {"binary": rng.random(120) < 0.5, "multiclass": rng.integers(0, 3, 120)}.get(
        name, rng.normal(size=120))
    sparse_fit = ESTIMATORS[name]().fit(getattr(sp, form)(X), y)
    dense_fit = ESTIMATORS[name]().fit(X.toarray(), y)
    assert sparse_fit.coef_.tobytes() == dense_fit.coef_.tobytes()
    sparse_fit.partial_fit(X[:10], y[:10])
    dense_fit.partial_fit(X[:10].toarray(), y[:10])
    assert sparse_fit.coef_.tobytes() == dense_fit.coef_.tobytes()
    assert np.array_equal(sparse_fit.predict(X), dense_fit.predict(X.toarray()))
    if name in ("binary", "multiclass"):
        assert sparse_fit.predict_proba(X).tobytes() == dense_fit.predict_proba(X.toarray()).tobytes()
        assert np.allclose(sparse_fit.decision_function(X), dense_fit.decision_function(X.toarray()))
