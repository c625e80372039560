"""Every bulk function against the row-by-row loop of its one-sample method, over
random data (extreme magnitudes, subnormals, non-finite values, rows of the
wrong length) in every input form: after success the same snapshot text and
the same outputs bit for bit; after a failure the same error type and text with
" (row N)" appended, and the object exactly as it was."""

import math

import pytest

hypothesis = pytest.importorskip("hypothesis")
np = pytest.importorskip("numpy")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import bulk_support as b  # noqa: E402
from support import same  # noqa: E402

EXTREMES = [1e300, -1e300, 1e-300, 5e-324, -0.0, 1.7976931348623157e308, math.inf, -math.inf,
            math.nan]
INT_EXTREMES = {"int64": [2**62, -(2**63), 2**53 + 1], "int8": [127, -128], "uint32": [2**32 - 1]}


@st.composite
def table(draw, kind, form="", rows=st.integers(0, 7)):
    """A list of rows of FEATURES values; sometimes one value is extreme and
    sometimes one row has the wrong length (ragged forms only)."""
    n = draw(rows)
    if kind == "bool":
        element = st.booleans()
    elif kind == "int":
        element = st.integers(0 if form.startswith("uint") else -100, 100)
    else:
        element = st.floats(-20, 20) | st.integers(-3, 3).map(float)
    data = [[draw(element) for _ in range(b.FEATURES)] for _ in range(n)]
    if n and draw(st.booleans()):
        i, j = draw(st.integers(0, n - 1)), draw(st.integers(0, b.FEATURES - 1))
        if kind == "real":
            data[i][j] = draw(st.sampled_from(EXTREMES) | st.floats())
        elif kind == "int" and form in INT_EXTREMES:
            data[i][j] = draw(st.sampled_from(INT_EXTREMES[form]))
    if n and form == "ragged" and draw(st.booleans()):
        i = draw(st.integers(0, n - 1))
        data[i] = data[i][: draw(st.integers(0, b.FEATURES - 1))] or data[i] + [1.0]
    return data


def targets(kind, n):
    if kind == "flag":
        return st.lists(st.booleans(), min_size=n, max_size=n)
    value = st.floats(-50, 50) | st.sampled_from(EXTREMES)
    return st.lists(value, min_size=n, max_size=n)


def warmed(name, draw):
    """A fresh object, sometimes with some state already."""
    obj = b.make(name)
    for _ in range(draw(st.integers(0, 2))):
        x = [draw(st.floats(-5, 5)) for _ in range(b.FEATURES)]
        if name == "StandardScaler":
            obj.learn_one(x)
        else:
            obj.learn_one(x, draw(st.booleans()) if name in b.CLASSIFIERS else draw(st.floats(-5, 5)))
    return obj


def check_same_outcome(obj, before, got, expected):
    """Bulk outcome `got` (error or None) against the loop's `expected`."""
    if expected is None:
        assert got is None, got
        return
    assert got == expected
    assert obj.to_json() == before, "a failing bulk call changed the object"


@settings(max_examples=150)
@given(data=st.data(), name=st.sampled_from(b.LEARNERS), form=st.sampled_from(sorted(b.ROW_FORMS)))
def test_learn_many_matches_the_loop(data, name, form):
    obj = warmed(name, data.draw)
    rows = data.draw(table(b.ROW_FORMS[form], form))
    X, loop_rows = b.rows_in_form(form, rows, np)
    y = loop_y = None
    if name != "StandardScaler":
        kind = "flag" if name in b.CLASSIFIERS else "real"
        values = data.draw(targets(kind, len(rows)))
        forms = b.FLAG_COLUMN_FORMS if kind == "flag" else b.REAL_COLUMN_FORMS
        y, loop_y = b.column_in_form(data.draw(st.sampled_from(forms)), values, np)

    reference = b.clone(obj)
    expected = b.learn_loop(reference, loop_rows, loop_y)
    before = obj.to_json()
    error, result = b.outcome(lambda: b.learn_many(obj, X, y))
    assert result is None
    check_same_outcome(obj, before, error, expected)
    if expected is None:
        assert obj.to_json() == reference.to_json()


@settings(max_examples=150)
@given(data=st.data(), name=st.sampled_from(b.MODELS + ["StandardScaler"]),
       form=st.sampled_from(sorted(b.ROW_FORMS)))
def test_reading_functions_match_the_loop(data, name, form):
    obj = warmed(name, data.draw)
    rows = data.draw(table(b.ROW_FORMS[form], form))
    calls = b.reading_calls(name)
    before = obj.to_json()
    for bulk, method in calls:
        X, loop_rows = b.rows_in_form(form, rows, np)
        expected_error, expected = b.predict_loop(getattr(obj, method), loop_rows)
        error, result = b.outcome(lambda: bulk(obj, X))
        if expected_error is not None:
            assert error == expected_error
            continue
        assert error is None, error
        assert isinstance(result, np.ndarray)
        if name == "StandardScaler":
            assert result.shape == (len(rows), b.FEATURES) and result.dtype == np.float64
        else:
            flags = bulk is b.predict_many and name in b.CLASSIFIERS
            assert result.dtype == (np.bool_ if flags else np.float64)
        assert same(b.as_list(result), expected)
    assert obj.to_json() == before


@settings(max_examples=150)
@given(data=st.data(), name=st.sampled_from(sorted(b.STATISTICS)),
       form=st.sampled_from(b.REAL_COLUMN_FORMS))
def test_update_many_matches_the_loop(data, name, form):
    obj = b.make(name)
    values = data.draw(st.lists(st.floats(-1e6, 1e6) | st.sampled_from(EXTREMES), max_size=10))
    if form == "bool":
        values = [bool(v) for v in values]
    xs, loop_xs = b.column_in_form(form, values, np)
    reference = b.clone(obj)
    expected = b.loop(lambda i: reference.update(loop_xs[i]), len(loop_xs))
    before = obj.to_json()
    error, _ = b.outcome(lambda: b.update_many(obj, xs))
    check_same_outcome(obj, before, error, expected)
    if expected is None:
        assert obj.to_json() == reference.to_json()
