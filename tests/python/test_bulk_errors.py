"""What a bulk call says when its input is wrong: the caller's own exceptions
passed on as they are, lists that change while read, buffers of other byte
orders and of elements that are not real numbers, arguments of the wrong
number of dimensions."""

import errno

import pytest

import drel_ml
import drel_ml_ext
import drel_ml_ext.metrics
from support import raises

np = pytest.importorskip("numpy")

ROWS = [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0], [7.0, 8.0, 9.0]]
# What the bulk calls advise for rows of categories or of named features.
TEXT_IN_ROWS = ("X holds text: features are real numbers; hash categorical values first "
                "(drel_ml_ext.FeatureHasher, or drel_ml_ext.sklearn.ColumnHasher for a "
                "DataFrame's columns)")
MAPPING_ROWS = ("X holds mappings: hash named features into rows of numbers first "
                "(drel_ml_ext.FeatureHasher(n_features).transform_many(rows)), or learn from "
                "dicts one at a time with drel_ml_ext.river's adapters")
CLASSES = ("classes are True or False (or the ints 0 and 1): compare labels with the positive "
           "one first (y == label) and threshold probabilities (p >= 0.5); for more than two "
           "labels, drel_ml_ext.sklearn.OnlineLogisticClassifier or "
           "drel_ml_ext.river.LogisticClassifier")


class Custom(Exception):
    made = 0

    def __init__(self, field, detail):  # not buildable from one message
        super().__init__(f"custom {field}")
        self.field, self.detail = field, detail
        Custom.made += 1


def caller_error(kind):
    if kind == "os":
        return OSError(errno.ENOENT, "no such file", "data.csv")
    return Custom("f", {"d": 1})


def raising(error):
    def hook(*args):
        raise error
    return hook


def hooked(name, error, **others):
    """An instance of a class whose `name` raises `error`."""
    return type(f"With{name.strip('_').title()}", (), {name: raising(error), **others})()


def sequence_row(error):
    """Three values by the sequence protocol; the second one raises."""
    def item(self, i):
        if i == 1:
            raise error
        if i >= 3:
            raise IndexError(i)
        return 1.0
    return type("Row", (), {"__len__": lambda self: 3, "__getitem__": item})()


def failing_iterator(items, error):
    class It:
        def __init__(self):
            self.items = iter(items)

        def __iter__(self):
            return self

        def __next__(self):
            try:
                return next(self.items)
            except StopIteration:
                raise error from None

    return It()


# (hook, the call that meets it at row 1, the argument named)
HOOKS = {
    "X __float__": (lambda m, err: drel_ml_ext.learn_many(
        m, [ROWS[0], [1.0, hooked("__float__", err), 2.0]], [1.0, 2.0]), "X"),
    "X row __getitem__": (lambda m, err: drel_ml_ext.predict_many(
        m, [ROWS[0], sequence_row(err)]), "X"),
    "X row __iter__": (lambda m, err: drel_ml_ext.learn_many(
        m, [ROWS[0], hooked("__iter__", err, __len__=lambda self: 3, __getitem__=None)],
        [1.0, 2.0]), "X"),
    "X __next__": (lambda m, err: drel_ml_ext.learn_many(
        m, failing_iterator(ROWS[:1], err), [1.0, 2.0]), "X"),
    "y __float__": (lambda m, err: drel_ml_ext.learn_many(
        m, ROWS[:2], [1.0, hooked("__float__", err)]), "y"),
    "y __next__": (lambda m, err: drel_ml_ext.learn_many(
        m, ROWS[:2], failing_iterator([1.0], err)), "y"),
    "flag __index__": (lambda m, err: drel_ml_ext.learn_many(
        drel_ml.LogisticRegression(3, 0.1), ROWS[:2], [True, hooked("__index__", err)]), "y"),
    "xs __index__": (lambda m, err: drel_ml_ext.update_many(
        drel_ml.Mean(), [1.0, hooked("__index__", err)]), "xs"),
    "xs __next__": (lambda m, err: drel_ml_ext.update_many(
        drel_ml.Variance("sample"), failing_iterator([1.0], err)), "xs"),
}


@pytest.mark.parametrize("kind", ["os", "custom"])
@pytest.mark.parametrize("hook", sorted(HOOKS))
def test_the_callers_own_exception_is_passed_on_as_it_is(hook, kind):
    call, param = HOOKS[hook]
    model = drel_ml.LinearRegression(3, 0.1)
    before = model.to_json()
    err = caller_error(kind)
    made = Custom.made
    with pytest.raises(type(err)) as info:
        call(model, err)
    assert info.value is err
    assert err.__notes__ == ["at row 1", f"while processing '{param}'"]
    if kind == "os":
        assert (err.errno, err.strerror, err.filename) == (errno.ENOENT, "no such file", "data.csv")
    else:
        assert (err.field, err.detail, str(err), Custom.made) == ("f", {"d": 1}, "custom f", made)
    assert model.to_json() == before


@pytest.mark.parametrize("value, exc, text, notes", [
    ("x", TypeError, "must be real number, not str", [TEXT_IN_ROWS, "while processing 'X'"]),
    ([1.0], TypeError, "must be real number, not list", ["while processing 'X'"]),
    (None, TypeError, "must be real number, not NoneType", ["while processing 'X'"]),
])
def test_the_librarys_own_refusal_keeps_the_one_sample_text(value, exc, text, notes):
    model = drel_ml.LinearRegression(3, 0.1)
    with pytest.raises(exc) as one:
        model.learn_one([1.0, value, 2.0], 1.0)
    assert str(one.value) == text
    e = raises(exc, f"{text} (row 1)", drel_ml_ext.learn_many, model,
               [ROWS[0], [1.0, value, 2.0]], [1.0, 2.0], note=...)
    assert e.__notes__ == notes
    assert type(e.__cause__) is exc and str(e.__cause__) == text


# ---- lists that change while they are read ------------------------------------------


@pytest.mark.parametrize("change, shown", [("grow", 5), ("shrink", 3)])
@pytest.mark.parametrize("which", ["X", "y"])
def test_a_list_that_changes_while_read_says_so(change, shown, which):
    X, y = [list(r) for r in ROWS] + [list(ROWS[0])], [1.0] * 4
    changed = X if which == "X" else y

    class Changer:
        def __float__(self):
            changed.append(changed[0]) if change == "grow" else changed.pop()
            return 1.0

    X[1][0] = Changer()
    model = drel_ml.LinearRegression(3, 0.1)
    raises(ValueError, f"{which} changed length while it was being read: from 4 "
           f"{'rows' if which == 'X' else 'values'} to {shown}", drel_ml_ext.learn_many, model, X, y)
    assert model.samples_seen == 0


# ---- buffers of other byte orders and elements ---------------------------------------

BIG_ENDIAN = [">f8", ">f4", ">f2", ">i8", ">i4", ">i2", ">u8", ">u4", ">u2", "<f8", "=f4", "u1"]


@pytest.mark.parametrize("dtype", BIG_ENDIAN)
@pytest.mark.parametrize("wrap", [memoryview, np.asarray])
def test_buffers_of_either_byte_order_are_read_through_their_format(dtype, wrap):
    values = np.array([[1.5, -2.0, 3.25], [0.5, 7.0, -1.0], [2.0, 0.0, 4.0]])
    if dtype[1] == "u" or dtype == "u1":
        values = np.abs(values)
    data = values.astype(dtype)
    rows, targets = data.astype(np.float64), np.array([1.0, -1.0, 0.5]).astype(dtype)
    bulk, loop = drel_ml.LinearRegression(3, 0.1), drel_ml.LinearRegression(3, 0.1)
    drel_ml_ext.learn_many(bulk, wrap(data), wrap(targets))
    for row, target in zip(rows.tolist(), targets.astype(np.float64).tolist()):
        loop.learn_one(row, target)
    assert bulk.to_json() == loop.to_json()
    assert (drel_ml_ext.predict_many(bulk, wrap(data[::-1])).tolist()
            == [loop.predict_one(r) for r in rows[::-1].tolist()])
    bulk, loop = drel_ml.Mean(), drel_ml.Mean()
    drel_ml_ext.update_many(bulk, wrap(data[:, 1]))
    for value in rows[:, 1].tolist():
        loop.update(value)
    assert bulk.to_json() == loop.to_json()


@pytest.mark.parametrize("dtype, format", [
    (np.complex128, "Zd"), (np.complex64, "Zf"), (np.longdouble, "g"),
    ("i4,f8", "T{i:f0:=d:f1:}"), (">c16", ">Zd"),
])
def test_memoryviews_of_other_elements_are_refused_by_format(dtype, format):
    X = memoryview(np.zeros((2, 3), dtype=dtype))
    assert X.format == format
    model = drel_ml.LinearRegression(3, 0.1)
    message = (f"X is a buffer of format '{format}', which is not read as real numbers: "
               "convert it to float64 first")
    raises(TypeError, message, drel_ml_ext.predict_many, model, X)
    raises(TypeError, message, drel_ml_ext.learn_many, model, X, [1.0, 2.0])
    raises(TypeError, message.replace("X is", "y is"), drel_ml_ext.learn_many, model,
           np.zeros((2, 3)), memoryview(np.zeros(2, dtype=dtype)))
    assert model.samples_seen == 0


# ---- arguments of the wrong number of dimensions ------------------------------------

ROWS_SHAPE = "X must be two-dimensional (rows of features)"
Y_SHAPE = "y must be one-dimensional (one target per row)"
XS_SHAPE = "xs must be one-dimensional (one value per sample)"


@pytest.mark.parametrize("call, message", [
    (lambda m: drel_ml_ext.learn_many(m, np.ones((100, 3)), np.ones((100, 1))),
     f"{Y_SHAPE}; got a 2-D array of shape (100, 1)"),
    (lambda m: drel_ml_ext.learn_many(m, np.ones((1, 3)), np.float64(1.0)),
     f"{Y_SHAPE}; got a 0-D array of shape ()"),
    (lambda m: drel_ml_ext.predict_many(m, np.ones(10)),
     f"{ROWS_SHAPE}; got a 1-D array of shape (10,): pass X.reshape(1, -1) for one row"),
    (lambda m: drel_ml_ext.learn_many(m, np.ones((2, 3, 4), dtype=np.float32), np.ones(2)),
     f"{ROWS_SHAPE}; got a 3-D array of shape (2, 3, 4)"),
    (lambda m: drel_ml_ext.transform_many(drel_ml.StandardScaler(3), memoryview(np.ones(3))),
     f"{ROWS_SHAPE}; got a 1-D array of shape (3,): pass X.reshape(1, -1) for one row"),
    (lambda m: drel_ml_ext.update_many(drel_ml.Mean(), np.ones((4, 1), dtype=">i4")),
     f"{XS_SHAPE}; got a 2-D array of shape (4, 1)"),
])
def test_buffers_of_the_wrong_dimensions_are_named(call, message):
    model = drel_ml.LinearRegression(3, 0.1)
    raises(TypeError, message, call, model)
    assert model.samples_seen == 0


@pytest.mark.parametrize("call, text, notes", [
    (lambda: drel_ml_ext.predict_many(drel_ml.LinearRegression(3, 0.1), [1.0, 2.0, 3.0]),
     "'float' object is not an instance of 'Sequence' (row 0)", [ROWS_SHAPE, "while processing 'X'"]),
    (lambda: drel_ml_ext.learn_many(drel_ml.LinearRegression(3, 0.1), ROWS, [[1.0]] * 3),
     "must be real number, not list (row 0)", [Y_SHAPE, "while processing 'y'"]),
    (lambda: drel_ml_ext.learn_many(drel_ml.LogisticRegression(3, 0.1), ROWS, [(True,)] * 3),
     "'tuple' object is not an instance of 'bool' (row 0)", [Y_SHAPE, "while processing 'y'"]),
    (lambda: drel_ml_ext.update_many(drel_ml.Mean(), [[1.0], [2.0]]),
     "must be real number, not list (row 0)", [XS_SHAPE, "while processing 'xs'"]),
])
def test_iterables_of_the_wrong_dimensions_say_what_was_expected(call, text, notes):
    e = raises(TypeError, text, call, note=...)
    assert e.__notes__ == notes


def _frame_with_text():
    pd = pytest.importorskip("pandas")
    return pd.DataFrame({"amount": [1.0, 2.0], "country": ["fr", "de"]})


# A newcomer's rows of categories or named features: the error says how to hash
# them. A row that merely holds a non-number gets no advice, whatever its type.
@pytest.mark.parametrize("X, text, hint", [
    (lambda: _frame_with_text(), "must be real number, not str (row 0)", TEXT_IN_ROWS),
    (lambda: [[1.0, 2.0], (3.0, "fr")], "must be real number, not str (row 1)", TEXT_IN_ROWS),
    (lambda: [[1.0, b"fr"]] * 2, "must be real number, not bytes (row 0)", TEXT_IN_ROWS),
    (lambda: iter([np.array([1.0, "fr"], dtype=object)] * 2), "must be real number, not str (row 0)",
     TEXT_IN_ROWS),
    (lambda: ["ab", "cd"], "Can't extract `str` to `Vec` (row 0)", TEXT_IN_ROWS),
    (lambda: [{"amount": 1.0, "country": "fr"}] * 2,
     "'dict' object is not an instance of 'Sequence' (row 0)", MAPPING_ROWS),
    (lambda: np.array([[1.0, None]] * 2, dtype=object), "must be real number, not NoneType (row 0)",
     None),
    (lambda: [[1.0, object()]] * 2, "must be real number, not object (row 0)", None),
    (lambda: [np.float64(1.0)] * 2, "'float64' object is not an instance of 'Sequence' (row 0)",
     ROWS_SHAPE),
])
@pytest.mark.parametrize("call", ["learn_many", "predict_many", "transform_many"])
def test_text_and_mappings_in_rows_point_at_the_hashers(X, text, hint, call):
    rows = X()  # skips here when the case needs pandas
    if call == "transform_many":
        obj = drel_ml.StandardScaler(2)
        run = lambda: drel_ml_ext.transform_many(obj, rows)  # noqa: E731
    else:
        obj = drel_ml.LinearRegression(2, 0.1)
        run = lambda: getattr(drel_ml_ext, call)(  # noqa: E731
            obj, rows, *([[1.0, 2.0]] if call == "learn_many" else []))
    before = obj.to_json()
    e = raises(TypeError, text, run, note=...)
    assert e.__notes__ == ([hint] if hint else []) + ["while processing 'X'"]
    assert obj.to_json() == before


# Labels and probabilities where classes belong: the error says how to make classes.
@pytest.mark.parametrize("values, text", [
    (lambda: [0.0, 1.0], "'float' object is not an instance of 'bool' (row 0)"),
    (lambda: np.array([1.0, 0.0]), "'float64' object is not an instance of 'bool' (row 0)"),
    (lambda: [True, "spam"], "'str' object is not an instance of 'bool' (row 1)"),
])
@pytest.mark.parametrize("call, param", [
    (lambda y: drel_ml_ext.learn_many(drel_ml.LogisticRegression(1, 0.1), [[1.0], [2.0]], y), "y"),
    (lambda y: drel_ml_ext.metrics.Accuracy().update_many(y, [True, False]), "y_true"),
])
def test_labels_where_classes_belong_say_how_to_make_classes(values, text, call, param):
    e = raises(TypeError, text, call, values(), note=...)
    assert e.__notes__ == [CLASSES, f"while processing '{param}'"]


# A class where an instance belongs: the error says so, and only then.
@pytest.mark.parametrize("call, text", [
    (lambda: drel_ml_ext.learn_many(drel_ml.LinearRegression, ROWS, [1.0] * 3),
     "argument 'model' must be LinearRegression, .*, not 'type' "
     r"\(the class LinearRegression itself: pass an instance of it\)$"),
    (lambda: drel_ml_ext.progressive_validation(drel_ml.LinearRegression(3, 0.1), ROWS, [1.0] * 3,
                                                drel_ml_ext.metrics.MAE),
     r"metric 0 must be a metric of drel_ml_ext.metrics, not 'type' \(the class MAE itself"),
    (lambda: drel_ml_ext.metrics.Rolling(drel_ml_ext.metrics.ROCAUC, window=3),
     r"argument 'metric' must be a metric .*\(the class ROCAUC itself: pass an instance of it\)$"),
    (lambda: drel_ml_ext.weights(drel_ml.LogisticRegression),
     r"weights\(\) takes .*\(the class LogisticRegression itself: pass an instance of it\)$"),
    (lambda: drel_ml_ext.learn_many([1.0], ROWS, [1.0] * 3), "not 'list'$"),
    (lambda: drel_ml_ext.weights(str), r"not 'type'$"),  # a class, but no accepted one
])
def test_a_class_where_an_instance_belongs_is_named(call, text):
    with pytest.raises(TypeError, match=text):
        call()
