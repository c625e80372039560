"""A buffer X that is not contiguous float64 is read in place a block of rows
at a time. Calls over several blocks must give what the same data as a
contiguous float64 array gives (that path is checked against the row-by-row
loop elsewhere), name failing rows by their index in the whole call, and stay
all or nothing across blocks."""

import pytest

import drel_ml
import drel_ml_ext
import bulk_support as b
from support import raises

# Blocks hold 2**15 values: 10922 rows of 3 features, so 25000 rows make three.
ROWS = 25_000


def converted_forms(X, np):
    """X (float64, C order) in forms read block by block, with exactly its values."""
    return {
        "float32": X.astype(np.float32),
        "fortran": np.asfortranarray(X),
        "strided": np.repeat(X, 2, axis=0)[::2],
        "int64": np.round(X).astype(np.int64),
    }


def exact_values(form, np):
    """The float64 C-ordered array holding the values of `form` exactly."""
    return np.ascontiguousarray(form, dtype=np.float64)


def data(np, rows=ROWS, cols=b.FEATURES):
    rng = np.random.default_rng(7)
    X = rng.normal(size=(rows, cols)).astype(np.float32).astype(np.float64)
    return X, X @ np.arange(1.0, cols + 1) + 0.5


def targets(name, y):
    if name == "StandardScaler":
        return None
    return y > 0 if name in b.CLASSIFIERS else y


@pytest.mark.parametrize("form", ["float32", "fortran", "strided", "int64"])
@pytest.mark.parametrize("name", b.LEARNERS)
def test_learning_over_blocks_equals_float64(name, form, np):
    X, _ = data(np)
    given = converted_forms(X, np)[form]
    exact = exact_values(given, np)
    y = exact @ np.arange(1.0, b.FEATURES + 1) + 0.5
    by_blocks, reference = b.make(name), b.make(name)
    drel_ml_ext.learn_many(by_blocks, given, targets(name, y))
    drel_ml_ext.learn_many(reference, exact, targets(name, y))
    assert by_blocks.to_json() == reference.to_json()


@pytest.mark.parametrize("form", ["float32", "strided"])
def test_outputs_over_blocks_equal_float64(form, np):
    X, y = data(np)
    given = converted_forms(X, np)[form]
    exact = exact_values(given, np)
    scaler = drel_ml.StandardScaler(b.FEATURES)
    drel_ml_ext.learn_many(scaler, X)
    assert drel_ml_ext.transform_many(scaler, given).tobytes() == \
        drel_ml_ext.transform_many(scaler, exact).tobytes()
    for name in b.MODELS:
        model = b.make(name)
        drel_ml_ext.learn_many(model, X[:100], targets(name, y[:100]))
        assert drel_ml_ext.predict_many(model, given).tobytes() == \
            drel_ml_ext.predict_many(model, exact).tobytes()
        if name in b.CLASSIFIERS:
            assert drel_ml_ext.predict_proba_many(model, given).tobytes() == \
                drel_ml_ext.predict_proba_many(model, exact).tobytes()


@pytest.mark.parametrize("bad_row", [0, 10_921, 10_922, ROWS - 1])
@pytest.mark.parametrize("name", ["LinearRegression", "ClassificationPipeline", "StandardScaler"])
def test_a_failure_in_any_block_names_its_row_and_changes_nothing(name, bad_row, np):
    X, y = data(np)
    given = X.astype(np.float32)
    given[bad_row, 1] = np.inf
    obj = b.make(name)
    drel_ml_ext.learn_many(obj, X[:10], targets(name, y[:10]))
    before = obj.to_json()
    raises(RuntimeError, f"non-finite value for `feature`: inf (row {bad_row})",
           drel_ml_ext.learn_many, obj, given, targets(name, y))
    assert obj.to_json() == before
    if name != "StandardScaler":
        raises(RuntimeError, f"non-finite value for `feature`: inf (row {bad_row})",
               drel_ml_ext.predict_many, obj, given)


def test_rejected_target_after_several_blocks(np):
    X, y = data(np)
    given = X.astype(np.float32)
    labels = (y > 0).astype(np.int64)
    labels[20_000] = 2
    model = drel_ml.LogisticRegression(b.FEATURES, b.RATE)
    before = model.to_json()
    raises(ValueError, "classifier target must be True, False, 0 or 1, not 2 (row 20000)",
           drel_ml_ext.learn_many, model, given, labels, note="while processing 'y'")
    assert model.to_json() == before
    # A core error in an earlier block is the one raised.
    given[15_000, 0] = np.nan
    raises(RuntimeError, "non-finite value for `feature`: NaN (row 15000)",
           drel_ml_ext.learn_many, model, given, labels)
    assert model.to_json() == before


def test_rows_wider_than_a_block(np):
    cols = 40_000  # more values than a block holds: one row per block
    X, y = data(np, rows=3, cols=cols)
    by_blocks = drel_ml.LinearRegression(cols, 1e-6)
    reference = drel_ml.LinearRegression(cols, 1e-6)
    drel_ml_ext.learn_many(by_blocks, X.astype(np.float32), y)
    drel_ml_ext.learn_many(reference, X, y)
    assert by_blocks.to_json() == reference.to_json()
    assert drel_ml_ext.predict_many(by_blocks, X.astype(np.float32)).tobytes() == \
        drel_ml_ext.predict_many(reference, X).tobytes()


# ---- y and xs: 1-D buffers converted 2**15 values at a time ---------------------

VALUES = 100_000  # four blocks


@pytest.mark.parametrize("name", sorted(b.STATISTICS))
def test_statistics_over_blocks_equal_float64(name, np):
    xs = np.random.default_rng(3).normal(size=VALUES).astype(np.float32)
    by_blocks, reference = b.make(name), b.make(name)
    drel_ml_ext.update_many(by_blocks, xs[::-1])
    drel_ml_ext.update_many(reference, np.ascontiguousarray(xs[::-1], dtype=np.float64))
    assert by_blocks.to_json() == reference.to_json()
    xs[70_000] = np.nan
    before = by_blocks.to_json()
    e = raises(RuntimeError, None, drel_ml_ext.update_many, by_blocks, xs)
    assert str(e).endswith("(row 70000)")
    assert by_blocks.to_json() == before


@pytest.mark.parametrize("name, form", [
    ("LinearRegression", "float32"), ("RegressionPipeline", "strided"),
    ("LogisticRegression", "int8"), ("ClassificationPipeline", "bool_strided"),
])
def test_targets_over_blocks_equal_float64(name, form, np):
    X, y = data(np, rows=VALUES)
    given = {
        "float32": y.astype(np.float32),
        "strided": np.repeat(y, 2)[::2],
        "int8": (y > 0).astype(np.int8),
        "bool_strided": np.repeat(y > 0, 2)[::2],
    }[form]
    exact = given.astype(bool) if name in b.CLASSIFIERS else given.astype(np.float64)
    by_blocks, reference = b.make(name), b.make(name)
    drel_ml_ext.learn_many(by_blocks, X, given)
    drel_ml_ext.learn_many(reference, X, exact)
    assert by_blocks.to_json() == reference.to_json()


# ---- outputs of float64 rows, computed many rows per call ------------------------

OUTPUT_ROWS = 1_000


@pytest.mark.parametrize("bad_rows", [(), (0,), (255,), (256,), (511, 700), (OUTPUT_ROWS - 1,)])
@pytest.mark.parametrize("name", b.LEARNERS)
def test_outputs_in_blocks_of_rows_match_the_loop(name, bad_rows, np):
    """A row whose output is not finite (an infinite feature) goes to the checked
    form wherever it falls in a block: the first one's error, with its row;
    without one, every output as the one-sample loop gives it, bit for bit."""
    X, y = data(np, rows=OUTPUT_ROWS)
    model = b.make(name)
    drel_ml_ext.learn_many(model, X[:50], targets(name, y[:50]))
    X = X * 4.0  # rows that the scaler maps well beyond the ones it has seen
    for row in bad_rows:
        X[row, 2] = np.inf
    for bulk, method in b.reading_calls(name):
        expected_error, expected = b.predict_loop(getattr(model, method), X.tolist())
        error, result = b.outcome(lambda: bulk(model, X))
        assert error == expected_error
        assert (expected_error is None) == (not bad_rows)
        if expected_error is None:
            assert result.tolist() == expected if result.dtype == np.bool_ else \
                result.tobytes() == np.array(expected).tobytes()
        else:
            assert expected_error[1].endswith(f"(row {bad_rows[0]})")
