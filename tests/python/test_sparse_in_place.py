"""A CSR matrix's own arrays read in place by learn_many, predict_many and
predict_proba_many: every layout of them (index types, alignment, strides)
gives what its dense rows give, and another thread writing to them meanwhile
can change the result but never crash the call or send a read outside the
arrays or the model."""

import threading

import pytest

import drel_ml
import drel_ml_ext

np = pytest.importorskip("numpy")
sp = pytest.importorskip("scipy.sparse")

WIDTH = 64


def canonical(rows, seed=3, index_dtype=np.int32):
    rng = np.random.default_rng(seed)
    X = sp.random(rows, WIDTH, density=0.2, format="csr", random_state=rng) * 4.0 - \
        sp.random(rows, WIDTH, density=0.1, format="csr", random_state=rng)
    X.sum_duplicates()
    X.indices, X.indptr = X.indices.astype(index_dtype), X.indptr.astype(index_dtype)
    return X


def unaligned(a):
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    view = np.frombuffer(raw.data[1:], dtype=a.dtype)
    view[:] = a
    return view


def strided(a):
    doubled = np.zeros(2 * len(a), dtype=a.dtype)
    doubled[::2] = a
    return doubled[::2]


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


# How X's arrays are laid out: read in place, or (other types, unaligned,
# strided) copied a block at a time; the results are the same.
LAYOUTS = {
    "int32": lambda X: None,
    "int64": lambda X: setattr(X, "indices", X.indices.astype(np.int64)) or
    setattr(X, "indptr", X.indptr.astype(np.int64)),
    "mixed types": lambda X: setattr(X, "indptr", X.indptr.astype(np.int64)),
    "unaligned indices": lambda X: setattr(X, "indices", unaligned(X.indices)),
    "strided indices": lambda X: setattr(X, "indices", strided(X.indices)),
    "strided indptr": lambda X: setattr(X, "indptr", strided(X.indptr)),
    "read-only": lambda X: [setattr(X, a, read_only(getattr(X, a)))
                            for a in ("indices", "indptr", "data")],
    "float32 data": lambda X: setattr(X, "data", X.data.astype(np.float32)),
}


@pytest.mark.parametrize("options", [{}, dict(optimizer="adagrad"), dict(l2=0.25)],
                         ids=["sgd", "adagrad", "l2"])
@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("kind", ["linear", "logistic"])
def test_every_layout_learns_what_the_dense_rows_teach(kind, layout, options):
    X = canonical(3000)
    LAYOUTS[layout](X)
    rng = np.random.default_rng(1)
    y = rng.random(X.shape[0]) < 0.5 if kind == "logistic" else rng.normal(size=X.shape[0])
    factory = getattr(drel_ml_ext, f"{kind}_regression")
    by_sparse, by_dense = (factory(WIDTH, learning_rate=0.1, **options) for _ in range(2))
    drel_ml_ext.learn_many(by_sparse, X, y)
    drel_ml_ext.learn_many(by_dense, X.toarray(), y)
    assert by_sparse.to_json() == by_dense.to_json()


@pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
def test_a_weight_that_overflows_late_fails_as_the_dense_rows_do(index_dtype):
    """The sparse step puts back what it wrote before the checked form names
    the error; the call changes nothing."""
    X = canonical(5000, index_dtype=index_dtype)
    X.data[-40] = 1e306
    y = np.full(X.shape[0], 1e306)
    errors = []
    for rows in (X, X.toarray()):
        model = drel_ml.LinearRegression(WIDTH, 10.0)
        before = model.to_json()
        with pytest.raises((ValueError, RuntimeError)) as raised:
            drel_ml_ext.learn_many(model, rows, y)
        assert model.to_json() == before
        errors.append(str(raised.value))
    assert errors[0] == errors[1]


def trained_logistic():
    X = canonical(2000, seed=6)
    model = drel_ml.LogisticRegression(WIDTH, 0.05)
    drel_ml_ext.learn_many(model, X.toarray(), np.arange(X.shape[0]) % 3 == 0)
    return model


# The calls that read X's arrays in place, each on a model of its own.
IN_PLACE_CALLS = {
    "learn_many": (lambda: drel_ml.LogisticRegression(WIDTH, 0.05), drel_ml_ext.learn_many),
    "predict_many": (trained_logistic, lambda model, X, y: drel_ml_ext.predict_many(model, X)),
    "predict_proba_many": (trained_logistic,
                           lambda model, X, y: drel_ml_ext.predict_proba_many(model, X)),
}


def same_outputs(a, b):
    return a.dtype == b.dtype and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("kind", ["linear", "logistic"])
def test_every_layout_predicts_what_the_dense_rows_give(kind, layout):
    X = canonical(3000)
    LAYOUTS[layout](X)
    rng = np.random.default_rng(2)
    y = rng.random(X.shape[0]) < 0.5 if kind == "logistic" else rng.normal(size=X.shape[0])
    model = getattr(drel_ml_ext, f"{kind}_regression")(WIDTH, learning_rate=0.1)
    drel_ml_ext.learn_many(model, X.toarray(), y)
    calls = [drel_ml_ext.predict_many]
    if kind == "logistic":
        calls.append(drel_ml_ext.predict_proba_many)
    for call in calls:
        assert same_outputs(call(model, X), call(model, X.toarray()))


@pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
@pytest.mark.parametrize("call", sorted(IN_PLACE_CALLS))
def test_another_thread_writing_to_the_arrays_cannot_crash_the_call(call, index_dtype):
    """The writer starts once the call has checked X (a few ms in) and writes
    indices and offsets far outside, and non-finite values, until it ends."""
    X = canonical(400_000, seed=5, index_dtype=index_dtype)
    pristine = [a.copy() for a in (X.indices, X.indptr, X.data)]
    y = np.arange(X.shape[0]) % 3 == 0
    make, run = IN_PLACE_CALLS[call]
    start = make().to_json()
    rng = np.random.default_rng(11)
    limits = np.iinfo(index_dtype)
    outcomes = set()

    def scribble(delay, done):
        done.wait(delay)
        while not done.is_set():
            at = rng.integers(0, X.nnz, 64)
            X.indices[at] = rng.choice([limits.min, -1, 0, WIDTH - 1, WIDTH, limits.max], 64)
            rows = rng.integers(0, X.shape[0] + 1, 8)
            X.indptr[rows] = rng.choice([limits.min, -1, 0, X.nnz, X.nnz + 5, limits.max], 8)
            X.data[at] = rng.choice([np.nan, np.inf, -1e308, 0.0, -0.0, 2.0], 64)

    for delay in np.linspace(0.0, 0.03, 8):
        for array, values in zip((X.indices, X.indptr, X.data), pristine):
            array[:] = values
        done = threading.Event()
        writer = threading.Thread(target=scribble, args=(delay, done))
        writer.start()
        model = drel_ml.LogisticRegression.from_json(start)
        try:
            run(model, X, y)
            outcomes.add("done")
        except (ValueError, RuntimeError) as error:
            outcomes.add(type(error).__name__)
        finally:
            done.set()
            writer.join()
        drel_ml.LogisticRegression.from_json(model.to_json())
    assert outcomes


def late_fault(X, fault):
    """X with its second-to-last row's indices out of order, repeated, or out of bounds."""
    first = X.indptr[-3]
    if fault == "unsorted":
        X.indices[first], X.indices[first + 1] = X.indices[first + 1], X.indices[first]
    elif fault == "repeated":
        X.indices[first + 1] = X.indices[first]
    else:
        X.indices[first + 1] = {"beyond": WIDTH, "negative": -1}[fault]
    return X


@pytest.mark.parametrize("fault", ["unsorted", "repeated"])
@pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
def test_a_late_row_out_of_order_is_learned_in_order(index_dtype, fault):
    X = late_fault(canonical(4000, index_dtype=index_dtype), fault)
    assert X.indptr[-2] - X.indptr[-3] >= 2
    y = np.arange(X.shape[0]) % 2 == 0
    by_sparse, by_dense = (drel_ml.LogisticRegression(WIDTH, 0.1) for _ in range(2))
    drel_ml_ext.learn_many(by_sparse, X, y)
    drel_ml_ext.learn_many(by_dense, X.toarray(), y)
    assert by_sparse.to_json() == by_dense.to_json()


@pytest.mark.parametrize("fault", ["unsorted", "repeated", "beyond", "negative"])
@pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
def test_predictions_over_a_late_fault_are_the_dense_rows_or_xs_error(index_dtype, fault):
    X = late_fault(canonical(4000, index_dtype=index_dtype), fault)
    model = trained_logistic()
    before = model.to_json()
    for call in (drel_ml_ext.predict_many, drel_ml_ext.predict_proba_many):
        if fault in ("beyond", "negative"):
            with pytest.raises(ValueError, match="not a valid CSR matrix: a column index"):
                call(model, X)
        else:
            assert same_outputs(call(model, X), call(model, X.toarray()))
    assert model.to_json() == before


# What else could fail first: X's own error is raised all the same.
OTHER_FAULTS = {
    "y too short": lambda X, y: (X, y[:-1], drel_ml.LogisticRegression(WIDTH, 0.1)),
    "y not flags": lambda X, y: (X, ["a"] * len(y), drel_ml.LogisticRegression(WIDTH, 0.1)),
    "an early row fails": lambda X, y: (X, y, drel_ml.LinearRegression(WIDTH, 0.1)),
    "another width": lambda X, y: (X, y, drel_ml.LogisticRegression(WIDTH + 1, 0.1)),
    "nothing else": lambda X, y: (X, y, drel_ml.LogisticRegression(WIDTH, 0.1)),
}


@pytest.mark.parametrize("other", sorted(OTHER_FAULTS))
@pytest.mark.parametrize("fault", ["beyond", "negative"])
@pytest.mark.parametrize("call", ["learn_many", "predict_many"])
def test_an_index_out_of_bounds_late_in_x_is_its_error_whatever_fails_first(call, fault, other):
    X = late_fault(canonical(4000), fault)
    X.data[0] = np.nan
    if other != "an early row fails":
        X.data[0] = 1.0
    X, y, model = OTHER_FAULTS[other](X, np.arange(X.shape[0]) % 2 == 0)
    before = model.to_json()
    with pytest.raises(ValueError, match="not a valid CSR matrix: a column index"):
        if call == "learn_many":
            drel_ml_ext.learn_many(model, X, y)
        else:
            drel_ml_ext.predict_many(model, X)
    assert model.to_json() == before
