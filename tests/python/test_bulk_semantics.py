"""The bulk functions' contract beyond agreement with the loop: signatures and
argument errors, all or nothing, which error wins, lengths, zero rows, result
types, classifier targets given as integers, and the path without numpy."""

import math
import subprocess
import sys
import textwrap

import pytest

import drel_ml
import drel_ml_ext
import bulk_support as b
from support import raises

NAN_ROW = [1.0, math.nan, 2.0]
GOOD = [[1.0, 2.0, 3.0], [0.5, -1.0, 2.0], [2.0, 0.0, -1.0], [1.5, 1.5, 1.5]]


def test_signatures_and_exports():
    sigs = {
        "learn_many": "($module, model, X, y=None)",
        "predict_many": "($module, model, X)",
        "predict_proba_many": "($module, classifier, X)",
        "transform_many": "($module, scaler, X)",
        "update_many": "($module, statistic, xs)",
        "learn_many_by_key": "($module, objects, X, y, offsets, /)",
        "update_many_by_key": "($module, statistics, xs, offsets, /)",
    }
    from drel_ml_ext import _bulk

    assert sorted(_bulk.__all__) == sorted(sigs) and set(sigs) <= set(drel_ml_ext.__all__)
    for name, sig in sigs.items():
        fn = getattr(drel_ml_ext, name)
        assert fn.__text_signature__ == sig
        assert "Example" in fn.__doc__ and "Raises" in fn.__doc__


def test_stub_docstrings_are_the_runtime_ones():
    # Editors and the docs read the bulk functions' documentation from the
    # stub; it must say what help() says.
    import ast
    import inspect
    from pathlib import Path

    stub = Path(drel_ml_ext.__file__).with_name("_native.pyi")
    first_defs = {}
    for node in ast.parse(stub.read_text()).body:
        if isinstance(node, ast.FunctionDef):
            first_defs.setdefault(node.name, node)
    from drel_ml_ext import _bulk

    for name in _bulk.__all__:
        assert ast.get_docstring(first_defs[name]) == inspect.cleandoc(getattr(drel_ml_ext, name).__doc__)


ACCEPTED = {
    "learn_many": "LinearRegression, LogisticRegression, RegressionPipeline, "
                  "ClassificationPipeline or StandardScaler",
    "predict_many": "LinearRegression, LogisticRegression, RegressionPipeline or "
                    "ClassificationPipeline",
    "predict_proba_many": "LogisticRegression or ClassificationPipeline",
    "transform_many": "StandardScaler",
    "update_many": "Mean, EWMean or Variance",
}
FIRST = {"learn_many": "model", "predict_many": "model", "predict_proba_many": "classifier",
         "transform_many": "scaler", "update_many": "statistic"}


@pytest.mark.parametrize("name", sorted(ACCEPTED))
@pytest.mark.parametrize("given, shown", [(None, "None"), (1.5, "float"), ("Mean", "")])
def test_first_argument_is_checked_exactly(name, given, shown):
    if given == "Mean":
        if name == "update_many":
            given, shown = drel_ml.StandardScaler(3), "StandardScaler"
        else:
            given, shown = drel_ml.Mean(), "Mean"
    fn = getattr(drel_ml_ext, name)
    raises(TypeError, f"{name}() argument '{FIRST[name]}' must be {ACCEPTED[name]}, not '{shown}'",
           fn, given, [])


@pytest.mark.parametrize("call, message", [
    (lambda m: drel_ml_ext.learn_many(m), "learn_many() missing 1 required positional argument: 'X'"),
    (lambda m: drel_ml_ext.learn_many(m, [], [], 1),
     "learn_many() takes 3 positional arguments but 4 were given"),
    (lambda m: drel_ml_ext.learn_many(m, [], z=1),
     "learn_many() got an unexpected keyword argument 'z'"),
    (lambda m: drel_ml_ext.learn_many(m, [], [], y=[]),
     "learn_many() got multiple values for argument 'y'"),
    (lambda m: drel_ml_ext.learn_many(m, []),
     "learn_many() missing required argument 'y': a LinearRegression learns from X and y"),
    (lambda m: drel_ml_ext.learn_many(m, [], None),
     "learn_many() missing required argument 'y': a LinearRegression learns from X and y"),
    (lambda m: drel_ml_ext.learn_many(drel_ml.StandardScaler(3), [], []),
     "learn_many() got y, but a StandardScaler learns from X alone: leave y out"),
    (lambda m: drel_ml_ext.predict_many(model=m), "predict_many() missing 1 required positional "
     "argument: 'X'"),
])
def test_argument_errors(call, message):
    raises(TypeError, message, call, drel_ml.LinearRegression(3, 0.1))


def test_keywords_and_scaler_without_y():
    m, s = drel_ml.LinearRegression(3, 0.1), drel_ml.StandardScaler(3)
    drel_ml_ext.learn_many(model=m, X=GOOD, y=[1.0] * 4)
    drel_ml_ext.learn_many(s, X=GOOD, y=None)
    drel_ml_ext.learn_many(model=s, X=GOOD)
    assert (m.samples_seen, s.samples_seen) == (4, 8)


# ---- all or nothing, and which error wins ----------------------------------------


@pytest.mark.parametrize("name", b.LEARNERS)
@pytest.mark.parametrize("bad_row", [0, 2, 3])
@pytest.mark.parametrize("fault", ["core", "convert"])
def test_all_or_nothing(name, bad_row, fault):
    obj = b.make(name)
    drel_ml_ext.learn_many(obj, GOOD, None if name == "StandardScaler" else
                           [True] * 4 if name in b.CLASSIFIERS else [1.0] * 4)
    before = obj.to_json()
    rows = [list(r) for r in GOOD]
    rows[bad_row] = NAN_ROW if fault == "core" else [1.0, None, 2.0]
    y = None if name == "StandardScaler" else [False] * 4 if name in b.CLASSIFIERS else [2.0] * 4
    e = raises(RuntimeError if fault == "core" else TypeError, None, drel_ml_ext.learn_many,
               obj, rows, y, note=None if fault == "core" else "while processing 'X'")
    if fault == "core":
        assert str(e) == f"non-finite value for `feature`: NaN (row {bad_row})"
        assert e.__cause__ is None
    else:
        assert str(e) == f"must be real number, not NoneType (row {bad_row})"
        assert type(e.__cause__) is TypeError and str(e.__cause__) == (
            "must be real number, not NoneType")
    assert obj.to_json() == before


def test_core_error_before_a_conversion_failure_wins():
    m = drel_ml.LinearRegression(3, 0.1)
    rows = [GOOD[0], NAN_ROW, [1.0, None, 2.0]]
    raises(RuntimeError, "non-finite value for `feature`: NaN (row 1)",
           drel_ml_ext.learn_many, m, rows, [1.0, 2.0, 3.0])
    # ... and the rows before the failure ran on a copy: nothing changed.
    raises(TypeError, "must be real number, not NoneType (row 1)", drel_ml_ext.learn_many, m,
           [GOOD[0], [1.0, None, 2.0], NAN_ROW], [1.0, 2.0, 3.0], note="while processing 'X'")
    assert m.samples_seen == 0
    raises(RuntimeError, "non-finite value for `feature`: NaN (row 0)", drel_ml_ext.predict_many,
           m, iter([NAN_ROW, "abc"]))


def test_within_a_row_y_is_converted_before_x():
    m = drel_ml.LinearRegression(3, 0.1)
    raises(TypeError, "must be real number, not str (row 1)", drel_ml_ext.learn_many, m,
           [GOOD[0], [1.0, None, 2.0]], [1.0, "y"], note="while processing 'y'")
    c = drel_ml.LogisticRegression(3, 0.1)
    e = raises(TypeError, "'float' object is not an instance of 'bool' (row 1)",
               drel_ml_ext.learn_many, c, [GOOD[0], "not a row"], [True, 1.0], note=...)
    assert e.__notes__[0].startswith("classes are True or False")
    assert e.__notes__[1:] == ["while processing 'y'"]


@pytest.mark.parametrize("name", ["LogisticRegression", "ClassificationPipeline"])
def test_integer_targets_of_a_classifier(name, np):
    with_bools, with_ints = b.make(name), b.make(name)
    flags = [True, False, True, True]
    drel_ml_ext.learn_many(with_bools, GOOD, flags)
    for y in ([1, 0, 1, 1], np.array([1, 0, 1, 1]), np.array([1, 0, 1, 1], dtype=np.uint8),
              np.array([1, 0, 1, 1], dtype=np.int8), (np.int64(v) for v in [1, 0, 1, 1]),
              np.array(flags)[::-1][::-1]):
        other = b.make(name)
        drel_ml_ext.learn_many(other, GOOD, y)
        assert other.to_json() == with_bools.to_json()
    before = with_ints.to_json()
    for y, shown in (([1, 0, 2, 1], "2"), (np.array([1, 0, -1, 1]), "-1"), ([0, 1, 2**80, 0],
                     str(2**80)), (np.array([1, 0, 7, 1], dtype=np.uint16), "7")):
        e = raises(ValueError, f"classifier target must be True, False, 0 or 1, not {shown} (row 2)",
                   drel_ml_ext.learn_many, with_ints, GOOD, y, note="while processing 'y'")
        assert e.__cause__ is None
    # float targets are refused as learn_one refuses them
    e = raises(TypeError, "'float64' object is not an instance of 'bool' (row 0)",
               drel_ml_ext.learn_many, with_ints, GOOD, np.ones(4), note=...)
    assert e.__notes__[0].startswith("classes are True or False")
    assert e.__notes__[1:] == ["while processing 'y'"]
    assert with_ints.to_json() == before


# ---- lengths and zero rows --------------------------------------------------------


@pytest.mark.parametrize("X, y, message", [
    (GOOD, [1.0] * 3, "X and y differ in length: X has 4 rows, y has 3 values"),
    (GOOD[:1], [1.0] * 2, "X and y differ in length: X has 1 row, y has 2 values"),
    (iter(GOOD), [1.0] * 5, "X and y differ in length: X has 4 rows, y has 5 values"),
    (iter(GOOD), iter([1.0] * 3), "X and y differ in length: X has more than 3 rows, y has 3 values"),
    (GOOD, iter([1.0] * 9), "X and y differ in length: X has 4 rows, y has more than 4 values"),
    # known lengths are compared before anything is converted
    ([["bad"]], [1.0] * 2, "X and y differ in length: X has 1 row, y has 2 values"),
])
def test_mismatched_lengths(X, y, message):
    m = drel_ml.LinearRegression(3, 0.1)
    raises(ValueError, message, drel_ml_ext.learn_many, m, X, y)
    assert m.samples_seen == 0


def test_mismatched_buffers(np):
    m = drel_ml.LinearRegression(3, 0.1)
    raises(ValueError, "X and y differ in length: X has 4 rows, y has 5 values",
           drel_ml_ext.learn_many, m, np.ones((4, 3)), np.ones(5))


def test_zero_rows(np):
    for X in ([], (), iter([]), np.empty((0, 3)), np.empty((0, 0))):
        for name in b.LEARNERS:
            obj = b.make(name)
            before = obj.to_json()
            y = None if name == "StandardScaler" else []
            assert drel_ml_ext.learn_many(obj, X if not hasattr(X, "__next__") else iter([]), y) is None
            assert obj.to_json() == before
    m = drel_ml.LogisticRegression(3, 0.1)
    assert drel_ml_ext.predict_many(m, []).dtype == np.bool_
    assert drel_ml_ext.predict_proba_many(m, np.empty((0, 3))).shape == (0,)
    assert drel_ml_ext.transform_many(drel_ml.StandardScaler(3), []).shape == (0, 3)
    mean = drel_ml.Mean()
    drel_ml_ext.update_many(mean, np.empty(0))
    assert mean.count == 0


# ---- inputs ------------------------------------------------------------------------


def test_inputs_that_are_not_tables(np):
    m = drel_ml.LinearRegression(3, 0.1)
    raises(TypeError, "'int' object is not iterable", drel_ml_ext.predict_many, m, 5)
    e = raises(TypeError, "'float' object is not an instance of 'Sequence' (row 0)",
               drel_ml_ext.predict_many, m, [1.0, 2.0, 3.0], note=...)
    assert e.__notes__ == ["X must be two-dimensional (rows of features)", "while processing 'X'"]
    e = raises(TypeError, "Can't extract `str` to `Vec` (row 0)", drel_ml_ext.predict_many, m,
               ["abc"], note=...)
    assert e.__notes__[0].startswith("X holds text: ")
    # a 1-D array is a sequence of numbers, not of rows
    raises(TypeError, "X must be two-dimensional (rows of features); got a 1-D array of shape "
           "(3,): pass X.reshape(1, -1) for one row", drel_ml_ext.predict_many, m, np.ones(3))
    raises(TypeError, "must be real number, not NoneType (row 0)", drel_ml_ext.update_many,
           drel_ml.Mean(), [None], note="while processing 'xs'")


def test_buffers_without_numpy_forms():
    import array
    flat = array.array("d", [v for r in GOOD for v in r])
    X = memoryview(flat).cast("B").cast("d", shape=[4, 3])
    a, c = drel_ml.LinearRegression(3, 0.1), drel_ml.LinearRegression(3, 0.1)
    drel_ml_ext.learn_many(a, X, array.array("d", [1, 2, 3, 4]))
    for row, t in zip(GOOD, [1.0, 2.0, 3.0, 4.0]):
        c.learn_one(row, t)
    assert a.to_json() == c.to_json()
    ints = memoryview(array.array("q", [1, 2, 3, 4, 5, 6])).cast("B").cast("q", shape=[2, 3])
    s1, s2 = drel_ml.StandardScaler(3), drel_ml.StandardScaler(3)
    drel_ml_ext.learn_many(s1, ints)
    drel_ml_ext.learn_many(s2, [[1, 2, 3], [4, 5, 6]])
    assert s1.to_json() == s2.to_json()


def test_unaligned_float64_buffer_is_converted(np):
    raw = bytearray(8 * 12 + 1)
    X = np.frombuffer(raw, dtype=np.float64, offset=1).reshape(4, 3)
    X[:] = GOOD
    a, c = drel_ml.StandardScaler(3), drel_ml.StandardScaler(3)
    drel_ml_ext.learn_many(a, X)
    drel_ml_ext.learn_many(c, GOOD)
    assert a.to_json() == c.to_json()


def test_errors_that_are_not_ordinary_pass_unchanged():
    class Interrupting:
        def __float__(self):
            raise KeyboardInterrupt("stop")

    m = drel_ml.LinearRegression(3, 0.1)
    with pytest.raises(KeyboardInterrupt) as info:
        drel_ml_ext.learn_many(m, [GOOD[0], [1.0, Interrupting(), 2.0]], [1.0, 2.0])
    assert info.value.args == ("stop",) and not hasattr(info.value, "__notes__")

    def rows():
        yield GOOD[0]
        raise MemoryError

    with pytest.raises(MemoryError):
        drel_ml_ext.predict_many(m, rows())
    assert m.samples_seen == 0


def test_exception_that_cannot_be_rebuilt_keeps_its_type():
    def rows():
        yield GOOD[0]
        raise KeyError("k")

    m = drel_ml.LinearRegression(3, 0.1)
    with pytest.raises(KeyError) as info:
        drel_ml_ext.learn_many(m, rows(), iter([1.0, 2.0, 3.0]))
    e = info.value
    assert type(e) is KeyError and e.args == ("k",)
    assert e.__notes__ == ["at row 1", "while processing 'X'"]


def test_a_row_calling_back_into_the_model_sees_it_borrowed():
    m = drel_ml.LinearRegression(3, 0.1)

    class Sneaky:
        def __float__(self):
            m.predict_one([1.0, 2.0, 3.0])
            return 1.0

    # raised through the caller's own __float__: passed on as it is
    e = raises(RuntimeError, "Already mutably borrowed", drel_ml_ext.learn_many, m,
               [GOOD[0], [Sneaky(), 1.0, 1.0]], [1.0, 1.0], note=...)
    assert e.__notes__ == ["at row 1", "while processing 'X'"]
    assert drel_ml_ext.predict_many(m, [[Sneaky(), 1.0, 1.0]]).tolist() == [0.0]


# ---- without numpy ------------------------------------------------------------------


def test_results_without_numpy():
    script = textwrap.dedent("""
        import sys
        sys.modules["numpy"] = None   # import numpy now fails
        import drel_ml, drel_ml_ext as e
        rows = [[1.0, 2.0], [3.0, -1.0]]
        lin, log, sc = drel_ml.LinearRegression(2, 0.1), drel_ml.LogisticRegression(2, 0.1), drel_ml.StandardScaler(2)
        e.learn_many(lin, rows, [1.0, 2.0]); e.learn_many(log, rows, [1, 0]); e.learn_many(sc, rows)
        out = [e.predict_many(lin, rows), e.predict_many(log, rows), e.predict_proba_many(log, rows),
               e.transform_many(sc, rows), e.predict_many(lin, [])]
        assert out[0] == [lin.predict_one(r) for r in rows], out
        assert out[1] == [log.predict_one(r) for r in rows], out
        assert out[2] == [log.predict_proba_one(r) for r in rows], out
        assert out[3] == [sc.transform_one(r) for r in rows], out
        assert out[4] == []
        print("ok")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.stdout.strip() == "ok", done.stderr


@pytest.mark.parametrize("name", sorted(ACCEPTED))
def test_docstring_examples_run(name, np):
    import doctest

    fn = getattr(drel_ml_ext, name)
    example = fn.__doc__.split("Example\n", 1)[1]
    globs = {"drel_ml": drel_ml, **{n: getattr(drel_ml_ext, n) for n in drel_ml_ext.__all__}}
    test = doctest.DocTestParser().get_doctest(textwrap.dedent(example), globs, name, None, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.summarize(verbose=False).failed == 0


def test_a_table_with_array_export_is_read_by_rows():
    np = pytest.importorskip("numpy")
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(3)
    values = rng.normal(size=(50, 3))
    frame = pd.DataFrame(values, columns=["a", "b", "c"])
    target = pd.Series(values @ [1.0, -2.0, 0.5])
    by_frame, by_array = drel_ml.LinearRegression(3, 0.05), drel_ml.LinearRegression(3, 0.05)
    drel_ml_ext.learn_many(by_frame, frame, target)
    drel_ml_ext.learn_many(by_array, values, values @ [1.0, -2.0, 0.5])
    assert by_frame.to_json() == by_array.to_json()
    assert drel_ml_ext.predict_many(by_frame, frame).tolist() == drel_ml_ext.predict_many(by_array, values).tolist()
