"""What a sparse X must be: scipy's own classes, recognised by their real
type; every array they hold checked before any row runs, so that a subclass
that lies, or a corrupted matrix, raises ValueError or TypeError and changes
nothing; Ctrl-C stops a long sparse call as it stops a dense one."""

import pytest

import drel_ml
import drel_ml_ext

np = pytest.importorskip("numpy")
sp = pytest.importorskip("scipy.sparse")

GOOD = dict(data=np.array([1.0, 2.0, 3.0]), indices=np.array([0, 2, 1], dtype=np.int32),
            indptr=np.array([0, 2, 3], dtype=np.int32))


def lying(**arrays):
    """A csr_matrix subclass whose arrays are what `arrays` says, whatever
    scipy's checks found when it was built."""
    attrs = {name: property(lambda self, v=value: v) for name, value in arrays.items()}
    X = sp.csr_matrix((GOOD["data"], GOOD["indices"], GOOD["indptr"]), shape=(2, 3))
    X.__class__ = type("Lying", (sp.csr_matrix,), attrs)
    return X


CORRUPT = {
    "index beyond the width": (dict(indices=np.array([0, 3, 1], dtype=np.int32)), ValueError,
                               "column index"),
    "negative index": (dict(indices=np.array([0, -1, 1], dtype=np.int64)), ValueError,
                       "column index"),
    "indptr decreasing": (dict(indptr=np.array([0, 3, 2], dtype=np.int32)), ValueError,
                          "indptr decreases"),
    "indptr beyond indices": (dict(indptr=np.array([0, 2, 9], dtype=np.int32)), ValueError,
                              "indptr"),
    "indptr not starting at 0": (dict(indptr=np.array([1, 2, 3], dtype=np.int32)), ValueError,
                                 "start at 0"),
    "indptr too short": (dict(indptr=np.array([0, 3], dtype=np.int32)), ValueError, "indptr"),
    "data too short": (dict(data=np.array([1.0, 2.0])), ValueError, "differ in length"),
    "float indices": (dict(indices=np.array([0.0, 2.0, 1.0])), TypeError, "integers"),
    "2-D data": (dict(data=np.ones((3, 1))), TypeError, "data"),
    "object data": (dict(data=np.array([1, "a", 2], dtype=object)), TypeError, "data"),
    "shape of three": (dict(shape=(2, 3, 1)), TypeError, "two-dimensional"),
    "negative shape": (dict(shape=(2, -3)), ValueError, "shape"),
    "huge shape": (dict(shape=(2, 10**30)), ValueError, "shape"),
}


@pytest.mark.parametrize("case", sorted(CORRUPT))
@pytest.mark.parametrize("call", ["learn_many", "predict_many", "pipeline"])
def test_a_lying_or_corrupt_matrix_is_refused_and_changes_nothing(case, call):
    arrays, error, words = CORRUPT[case]
    X = lying(**arrays)
    model = (drel_ml.RegressionPipeline if call == "pipeline" else drel_ml.LinearRegression)(3, 0.1)
    model.learn_one([1.0, 2.0, 3.0], 1.0)
    before = model.to_json()
    with pytest.raises(error, match=words):
        if call == "predict_many":
            drel_ml_ext.predict_many(model, X)
        else:
            drel_ml_ext.learn_many(model, X, [1.0, 2.0])
    assert model.to_json() == before


def test_a_class_that_only_claims_to_be_sparse_is_not_read_as_one():
    class Claims:
        format = "csr"
        shape = (2, 3)
        __class__ = sp.csr_matrix  # isinstance() believes it
        data, indices, indptr = GOOD["data"], np.array([0, 99, 1], dtype=np.int32), GOOD["indptr"]

    model = drel_ml.LinearRegression(3, 0.1)
    before = model.to_json()
    with pytest.raises(TypeError):
        drel_ml_ext.learn_many(model, Claims(), [1.0, 2.0])
    assert model.to_json() == before


@pytest.mark.parametrize("dtype", ["float32", "int64", "int8", "bool", "uint16"])
def test_any_real_dtype_is_read_as_its_dense_form_is(dtype):
    dense = np.array([[0.0, 1.0, 3.0], [2.0, 0.0, 0.0], [0.0, 0.0, 0.0]]).astype(dtype)
    for form in ("csr_matrix", "csc_array", "coo_matrix"):
        X = getattr(sp, form)(dense)
        by_sparse, by_dense = drel_ml.LinearRegression(3, 0.1), drel_ml.LinearRegression(3, 0.1)
        drel_ml_ext.learn_many(by_sparse, X, [1.0, -1.0, 0.5])
        drel_ml_ext.learn_many(by_dense, dense, [1.0, -1.0, 0.5])
        assert by_sparse.to_json() == by_dense.to_json()


def test_a_matrix_whose_tocsr_lies_is_refused():
    class Lil(sp.lil_matrix):
        def tocsr(self, copy=False):
            return np.ones((2, 3))

    with pytest.raises(TypeError, match="tocsr"):
        drel_ml_ext.predict_many(drel_ml.LinearRegression(3, 0.1), Lil((2, 3)))


def test_a_width_beyond_memory_fails_as_the_dense_rows_would():
    X = sp.csr_matrix((np.array([1.0]), np.array([2**40]), np.array([0, 1])), shape=(1, 2**41))
    model = drel_ml.LogisticRegression(3, 0.1)
    with pytest.raises(RuntimeError, match=r"expected 3, got 2199023255552 \(row 0\)"):
        drel_ml_ext.learn_many(model, X, [True])
    with pytest.raises(RuntimeError, match=r"expected 3, got 2199023255552 \(row 0\)"):
        drel_ml_ext.predict_proba_many(model, X)


# name -> (object, the long call on it): rows made dense one by one (an L2
# penalty moves every weight on every row), and a pipeline's dense blocks.
WIDE = 200_000
LONG_CALLS = {
    "l2": lambda: (drel_ml_ext.linear_regression(WIDE, learning_rate=1e-6, l2=0.5),
                   lambda m: drel_ml_ext.learn_many(m, sp.eye(10**5, WIDE, format="csr"),
                                                    np.ones(10**5))),
    "pipeline": lambda: (drel_ml.ClassificationPipeline(WIDE, 0.1),
                         lambda m: drel_ml_ext.predict_proba_many(
                             m, sp.eye(10**5, WIDE, format="csc"))),
}


@pytest.mark.parametrize("name", sorted(LONG_CALLS))
def test_sigint_stops_a_sparse_call_and_changes_nothing(name, interrupted):
    obj, call = LONG_CALLS[name]()
    obj.learn_one(np.linspace(0.0, 1.0, WIDE),
                  True if isinstance(obj, drel_ml.ClassificationPipeline) else 1.0)
    before = obj.to_json()
    assert interrupted(lambda: call(obj)) < 1.0
    assert obj.to_json() == before


def test_memory_and_references_stay_flat_over_sparse_calls():
    import gc
    import os
    import sys
    import tracemalloc

    if not os.path.exists("/proc/self/statm"):
        pytest.skip("needs /proc")
    from test_leaks import rss, run

    dense = np.array([[0.0, 1.0, 2.0], [3.0, 0.0, 0.0], [0.0, 0.0, 0.5]])
    csr, csc, coo = sp.csr_matrix(dense), sp.csc_array(dense), sp.coo_matrix(dense)
    nan = sp.csr_matrix(np.where(dense == 3.0, np.nan, dense))
    lin, log = drel_ml.LinearRegression(3, 1e-3), drel_ml.LogisticRegression(3, 1e-3)
    pipe, scaler = drel_ml.ClassificationPipeline(3, 1e-3), drel_ml.StandardScaler(3)
    y, flags = np.ones(3), np.array([True, False, True])
    spoof = lying(indices=np.array([0, 7, 1], dtype=np.int32))
    objects = [dense, csr, csc, coo, nan, lin, log, pipe, scaler, y, flags, spoof]
    paths = [
        (1, (), lambda: drel_ml_ext.learn_many(lin, csr, y)),
        (1, (), lambda: drel_ml_ext.learn_many(log, coo, flags)),
        (1, (), lambda: drel_ml_ext.learn_many(pipe, csc, flags)),
        (1, (), lambda: drel_ml_ext.learn_many(scaler, coo)),
        (1, (), lambda: drel_ml_ext.predict_proba_many(log, csc)),
        (1, (), lambda: drel_ml_ext.transform_many(scaler, csr)),
        (1, RuntimeError, lambda: drel_ml_ext.learn_many(lin, nan, y)),
        (1, ValueError, lambda: drel_ml_ext.predict_many(lin, spoof)),
    ]
    run(paths, 4000)
    gc.collect()
    refs, memory = [sys.getrefcount(o) for o in objects], rss()
    tracemalloc.start()
    traced = tracemalloc.take_snapshot()
    run(paths, 40000)
    gc.collect()
    leaked = sum(s.size_diff for s in tracemalloc.take_snapshot().compare_to(traced, "lineno"))
    tracemalloc.stop()
    assert leaked < 64 * 1024 and rss() - memory < 1024 * 1024
    assert [sys.getrefcount(o) for o in objects] == refs


# A stored -0.0 is a feature of -0.0 in a LIL matrix's toarray(), which writes each
# stored value as it is, and +0.0 in that of CSR, CSC or COO, which add it to +0.0.
# Each format is read as its own toarray() reads, which the scaler's output shows.
SIGNED_ZEROS = [[-0.0, 1.5, 0.0], [0.0, -0.0, -2.0], [-0.0, -0.0, -0.0]]


@pytest.mark.parametrize("form", ["lil_matrix", "lil_array", "csr_matrix", "coo_array", "dok_array"])
@pytest.mark.parametrize("name", ["StandardScaler", "RegressionPipeline", "LinearRegression"])
def test_a_stored_negative_zero_reads_as_the_formats_toarray_has_it(form, name):
    import bulk_support as b

    entries = [(i, j, v) for i, row in enumerate(SIGNED_ZEROS) for j, v in enumerate(row)]
    coo = sp.coo_matrix(([e[2] for e in entries], ([e[0] for e in entries], [e[1] for e in entries])),
                        shape=(3, 3))
    X = getattr(sp, form)(coo)
    dense = list(X.toarray())
    for bulk, method in b.reading_calls(name):
        expected_error, expected = b.predict_loop(getattr(b.make(name), method), dense)
        assert expected_error is None
        assert np.asarray(bulk(b.make(name), X)).view(np.uint64).tolist() == \
            np.asarray(expected).view(np.uint64).tolist()
    by_sparse, by_loop = b.make(name), b.make(name)
    y = None if name == "StandardScaler" else np.array([0.5, -1.0, 2.0])
    b.learn_many(by_sparse, X, y)
    b.learn_loop(by_loop, dense, y)
    assert by_sparse.to_json() == by_loop.to_json()
