"""ColumnHasher: frames with categorical columns, hashed into scikit-learn pipelines."""

import pytest

pytest.importorskip("sklearn")
np = pytest.importorskip("numpy")
sparse = pytest.importorskip("scipy.sparse")

from sklearn.compose import ColumnTransformer  # noqa: E402
from sklearn.feature_extraction import FeatureHasher as SkFeatureHasher  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

from drel_ml_ext.sklearn import ColumnHasher, OnlineLogisticClassifier  # noqa: E402


@parametrize_with_checks([ColumnHasher(), ColumnHasher(n_features=16, sparse_output=False)])
def test_sklearn_estimator_checks(estimator, check):
    check(estimator)


def events(rows=400, seed=0):
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({
        "country": rng.choice(["fr", "de", "jp", "br"], size=rows),
        "device": pd.Categorical(rng.choice(["ios", "android", "web"], size=rows)),
        "amount": rng.exponential(10.0, size=rows),
    })
    clicked = (frame["country"] == "fr") | (frame["device"] == "ios")
    return frame, clicked.to_numpy()


def test_a_frame_hashes_as_scikit_learns_hasher_hashes_its_records():
    frame, _ = events()
    ours = ColumnHasher(n_features=2**12).fit_transform(frame)
    records = [{k: (str(v) if k == "device" else v) for k, v in r.items()}
               for r in frame.to_dict("records")]
    theirs = sparse.csr_matrix(SkFeatureHasher(2**12).transform(records))
    np.testing.assert_array_equal(ours.indptr, theirs.indptr)
    np.testing.assert_array_equal(ours.indices, theirs.indices)
    np.testing.assert_array_equal(ours.data, theirs.data)


def test_in_a_column_transformer_in_front_of_a_classifier():
    frame, clicked = events()
    model = make_pipeline(
        ColumnTransformer([("hashed", ColumnHasher(n_features=64, sparse_output=False),
                            ["country", "device"])], remainder="passthrough"),
        OnlineLogisticClassifier(learning_rate=0.1, epochs=3))
    assert model.fit(frame, clicked).score(frame, clicked) > 0.95


@pytest.mark.parametrize("cell", [None, float("nan"), float("inf"), [1]])
def test_missing_and_bad_cells_are_refused(cell):
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"a": ["x", "y"], "b": [1.0, 2.0]}, dtype=object)
    hasher = ColumnHasher().fit(frame)
    frame.loc[1, "a"] = cell
    with pytest.raises(ValueError, match="ColumnHasher: a cell is missing"):
        hasher.transform(frame)
    # A refit on other columns that is refused keeps the fitted width, names and hasher.
    before = {name: value for name, value in vars(hasher).items()}
    wider = pd.DataFrame({"c": [cell, "z"], "d": [1.0, 2.0], "e": ["u", "v"]}, dtype=object)
    for data in (wider, wider.to_numpy()):
        with pytest.raises(ValueError, match="ColumnHasher: a cell is missing"):
            hasher.fit(data)
        assert vars(hasher).keys() == before.keys()
        assert all(vars(hasher)[name] is value for name, value in before.items())


def test_settings_and_dicts_are_refused_by_name():
    for n_features in (0, 8.0, 2**31):
        with pytest.raises(ValueError, match="ColumnHasher: invalid settings: FeatureHasher: n_features"):
            ColumnHasher(n_features=n_features).fit([[1.0]])
    with pytest.raises(ValueError) as refused:  # dicts are FeatureHasher's
        ColumnHasher().fit([{"a": 1.0}, {"a": 2.0}])
    assert refused.value.__notes__[-1].startswith(
        "X holds mappings: hash named features into rows of numbers first with "
        "drel_ml_ext.FeatureHasher(n_features).transform_many(X)")
