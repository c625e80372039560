"""Sparse X in every scipy format against the one-sample loop over the rows of
X.toarray(): after success the same snapshot text and outputs bit for bit
(signed zeros included); after a failure the same error type, text and row,
and the object exactly as it was. Matrices are drawn as (row, column, value)
entries, so CSR, CSC and COO come with unsorted indices and duplicates, and
values include zeros of both signs, NaN, infinities and huge magnitudes; CSR
comes canonical too (what learn_many reads in place)."""

import math

import pytest

hypothesis = pytest.importorskip("hypothesis")
np = pytest.importorskip("numpy")
sp = pytest.importorskip("scipy.sparse")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import bulk_support as b  # noqa: E402
import sparse_support as s  # noqa: E402

SPECIAL = [0.0, -0.0, 1e300, -1e300, 5e-324, math.inf, -math.inf, math.nan]
LINEAR = ["LinearRegression", "LogisticRegression"]


@st.composite
def matrix(draw, form, cols=b.FEATURES):
    n = draw(st.integers(0, 6))
    width = cols if draw(st.integers(0, 9)) else draw(st.sampled_from([0, cols - 1, cols + 1]))
    value = st.floats(-4, 4) | st.sampled_from([0.0, -0.0, 1.0, -1.0])
    if draw(st.integers(0, 3)) == 0:
        value = value | st.sampled_from(SPECIAL)
    entries = []
    if n and width:
        entry = st.tuples(st.integers(0, n - 1), st.integers(0, width - 1), value)
        entries = draw(st.lists(entry, max_size=3 * n * width))
    index_dtype = draw(st.sampled_from(["int32", "int64"]))
    X = s.build(sp, np, form, (n, width), entries, index_dtype)
    if form.startswith("csr") and draw(st.booleans()):
        X.sum_duplicates()  # canonical rows: read where they are
    return X


def obj_of(draw, name):
    warm_rows = st.integers(0, 2)
    if name in LINEAR:
        variant = draw(st.sampled_from(s.VARIANTS))
        obj = s.linear_snapshot(name, variant, b.FEATURES)
        if variant != "plain":  # mostly as loaded: learning wears -0 weights away
            warm_rows = st.sampled_from([0, 0, 0, 1])
    else:
        obj = b.make(name)
    for _ in range(draw(warm_rows)):
        x = [draw(st.floats(-3, 3)) for _ in range(b.FEATURES)]
        y = () if name == "StandardScaler" else (
            draw(st.booleans()) if name in b.CLASSIFIERS else draw(st.floats(-3, 3)),)
        try:
            obj.learn_one(x, *y)
        except (ValueError, RuntimeError):  # a zero AdaGrad epsilon refuses some rows
            pass
    return obj


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64).tolist()


FORMS = s.STORED_FORMATS + s.CONVERTED_FORMATS


@settings(max_examples=300)
@given(data=st.data(), name=st.sampled_from(b.LEARNERS), form=st.sampled_from(FORMS))
def test_learn_many_matches_the_dense_loop(data, name, form):
    obj = obj_of(data.draw, name)
    X = data.draw(matrix(form))
    dense = list(X.toarray())
    y = None
    if name != "StandardScaler":
        flag = name in b.CLASSIFIERS
        target = st.booleans() if flag else st.floats(-5, 5) | st.sampled_from(SPECIAL)
        y = data.draw(st.lists(target, min_size=len(dense), max_size=len(dense)))
    reference = b.clone(obj)
    expected = b.learn_loop(reference, dense, y)
    before = obj.to_json()
    error, _ = b.outcome(lambda: b.learn_many(obj, X, None if y is None else np.array(y)))
    if expected is None:
        assert error is None, error
        assert obj.to_json() == reference.to_json()
    else:
        assert error == expected
        assert obj.to_json() == before


@settings(max_examples=300)
@given(data=st.data(), name=st.sampled_from(b.MODELS + ["StandardScaler"]),
       form=st.sampled_from(FORMS))
def test_reading_functions_match_the_dense_loop(data, name, form):
    obj = obj_of(data.draw, name)
    X = data.draw(matrix(form))
    dense = list(X.toarray())
    calls = b.reading_calls(name)
    before = obj.to_json()
    for bulk, method in calls:
        expected_error, expected = b.predict_loop(getattr(obj, method), dense)
        error, result = b.outcome(lambda: bulk(obj, X))
        if expected_error is not None:
            assert error == expected_error
            continue
        assert error is None, error
        if result.dtype == np.bool_:
            assert result.tolist() == [bool(v) for v in expected]
        else:
            assert bits(result).__eq__(bits(expected)) or result.size == 0
    assert obj.to_json() == before


@pytest.mark.parametrize("variant", s.VARIANTS)
@pytest.mark.parametrize("name", LINEAR)
def test_many_rows_in_many_blocks_match_dense_rows(name, variant):
    """Rows enough for several blocks, a late one failing: the same error and
    row as dense rows give, nothing changed; without it, the same model."""
    rng = np.random.default_rng(5)
    n, width = 700_000, 4
    X = sp.random(n, width, density=0.4, format="csr", random_state=rng) * 2.0 - \
        sp.random(n, width, density=0.2, format="csr", random_state=rng)
    y = rng.random(n) < 0.5 if name == "LogisticRegression" else rng.normal(size=n)
    sparse_model = s.linear_snapshot(name, variant, width)
    dense_model = s.linear_snapshot(name, variant, width)
    first_error = b.outcome(lambda: b.learn_many(sparse_model, X, y))[0]
    assert first_error == b.outcome(lambda: b.learn_many(dense_model, X.toarray(), y))[0]
    assert sparse_model.to_json() == dense_model.to_json()
    if first_error is not None:  # a zero AdaGrad epsilon: a zero feature fails at once
        return
    assert bits(b.predict_many(sparse_model, X)) == bits(b.predict_many(dense_model, X.toarray())) \
        if name == "LinearRegression" else \
        bits(b.predict_proba_many(sparse_model, X)) == bits(b.predict_proba_many(dense_model, X.toarray()))
    X = (X + sp.csr_matrix(([math.inf], ([n - 3], [1])), shape=X.shape)).tocsr()  # row n - 3 fails
    before = sparse_model.to_json()
    sparse_error = b.outcome(lambda: b.learn_many(sparse_model, X, y))[0]
    dense_error = b.outcome(lambda: b.learn_many(dense_model, X.toarray(), y))[0]
    assert sparse_error == dense_error and f"(row {n - 3})" in sparse_error[1]
    assert sparse_model.to_json() == before


# Rows whose zero features (absent, stored +0, stored -0) meet both signs of
# the loss gradient; the second feature is never stored.
TRAP_ENTRIES = [(0, 2, 1.0), (1, 0, -0.0), (1, 2, 2.0), (2, 2, -1.0), (4, 0, 0.0), (4, 2, 0.5)]
TRAP_TARGETS = {"LinearRegression": [5.0, -5.0, 3.0, -1.0, 2.0],
                "LogisticRegression": [True, False, True, False, True]}


@pytest.mark.parametrize("form", s.STORED_FORMATS)
@pytest.mark.parametrize("variant", s.VARIANTS)
@pytest.mark.parametrize("name", LINEAR)
def test_signed_zeros_of_loaded_models_match_the_dense_loop(name, variant, form):
    X = s.build(sp, np, form, (5, b.FEATURES), TRAP_ENTRIES)
    y = TRAP_TARGETS[name]
    model, reference = (s.linear_snapshot(name, variant, b.FEATURES) for _ in range(2))
    expected = b.learn_loop(reference, list(X.toarray()), y)
    error, _ = b.outcome(lambda: b.learn_many(model, X, np.array(y)))
    assert error == expected
    assert model.to_json() == reference.to_json() if expected is None else True
    predict = b.predict_many if name == "LinearRegression" else b.predict_proba_many
    method = "predict_one" if name == "LinearRegression" else "predict_proba_one"
    assert bits(predict(reference, X)) == bits(b.predict_loop(getattr(reference, method),
                                                              list(X.toarray()))[1])
