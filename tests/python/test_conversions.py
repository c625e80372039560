from array import array
from collections import deque
from collections.abc import Sequence
from decimal import Decimal
from fractions import Fraction
import itertools
import sys

import pytest

import drel_ml
from support import bits, notes, raises


class Idx:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


class FloatSub(float):
    def __float__(self):  # never consulted: the stored value is read
        return 99.0


class Holder:
    class Inner:
        pass


BadFloat = type("BadFloat", (), {"__float__": lambda self: 1})
Text = type("Text", (str,), {})
Boom = type("Boom", (Exception,), {})
ListSub = type("ListSub", (list,), {})
TupleSub = type("TupleSub", (tuple,), {})


class Raiser:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


# ---- scalars ---------------------------------------------------------------

FLOATS = [(2, 2.0), (True, 1.0), (False, 0.0), (Idx(7), 7.0), (Fraction(1, 4), 0.25),
          (Decimal("0.5"), 0.5), (FloatSub(1.5), 1.5), (2**53 + 1, 9007199254740992.0)]
BAD_FLOATS = [("1.0", TypeError), (None, TypeError), (b"1", TypeError), ([1.0], TypeError),
              (BadFloat(), TypeError), (10**400, OverflowError), (Idx(10**400), OverflowError)]

# (site name, call with one float-converted argument)
FLOAT_SITES = [
    ("x", lambda v: drel_ml.Mean().update(v)),
    ("x", lambda v: drel_ml.Variance("sample").update(v)),
    ("y", lambda v: drel_ml.LinearRegression(1, 0.1).learn_one([1.0], v)),
    ("y", lambda v: drel_ml.RegressionPipeline(1, 0.1).learn_one([1.0], v)),
    ("alpha", lambda v: drel_ml.EWMean(v)),
    ("learning_rate", lambda v: drel_ml.LogisticRegression(1, v)),
]


@pytest.mark.parametrize("value,expected", FLOATS)
def test_float_conversion_accepts(value, expected):
    m = drel_ml.Mean()
    m.update(value)
    assert bits(m.value) == bits(expected)


@pytest.mark.parametrize("value,exc", BAD_FLOATS)
@pytest.mark.parametrize("name,call", FLOAT_SITES)
def test_float_conversion_refuses_with_note(value, exc, name, call):
    raises(exc, None, call, value, note=f"while processing '{name}'")


def test_float_conversion_keeps_the_exception_object():
    err = Boom("inner")
    m = drel_ml.Mean()
    assert raises(Boom, "inner", m.update, Raiser(err), note="while processing 'x'") is err
    assert m.count == 0


def test_failed_note_attachment_is_silent():
    class NoNotes(Exception):
        def add_note(self, note):
            raise ValueError(note)

    class Recording(Exception):
        def add_note(self, note):
            self.recorded = note

    raises(NoNotes, "a", drel_ml.Mean().update, Raiser(NoNotes("a")))
    e = raises(Recording, "b", drel_ml.LinearRegression(1, 0.1).learn_one, [1.0], Raiser(Recording("b")))
    assert e.recorded == "while processing 'y'"


COUNTS_OK = [(True, 1), (Idx(2), 2), (3, 3)]
COUNTS_BAD = [(-1, OverflowError), (2**64, OverflowError), (Idx(-1), OverflowError),
              (2.0, TypeError), ("2", TypeError), (None, TypeError)]
COUNT_CLASSES = ["StandardScaler", "LinearRegression", "LogisticRegression",
                 "RegressionPipeline", "ClassificationPipeline"]


def build(cls, n, rate=0.1):
    return getattr(drel_ml, cls)(n) if cls == "StandardScaler" else getattr(drel_ml, cls)(n, rate)


@pytest.mark.parametrize("cls", COUNT_CLASSES)
def test_count_conversion(cls, np):
    for value, n in COUNTS_OK + [(np.int64(2), 2)]:
        m = build(cls, value)
        raises(RuntimeError, f"dimension mismatch: expected {n}, got {n + 1}",
               getattr(m, "predict_one", getattr(m, "transform_one", None)), [1.0] * (n + 1))
    for value, exc in COUNTS_BAD:
        raises(exc, None, build, cls, value, note="while processing 'feature_count'")
    if cls != "StandardScaler":
        # parameters convert in order, and all conversions precede the core checks
        raises(OverflowError, None, build, cls, -1, "bad", note="while processing 'feature_count'")
        raises(TypeError, None, build, cls, 0, "bad", note="while processing 'learning_rate'")


TEXT_BAD = [(b"sample", "'bytes' object is not an instance of 'str'"),
            (None, "'None' is not an instance of 'str'"),
            (1, "'int' object is not an instance of 'str'"),
            (Holder.Inner(), "'Holder.Inner' object is not an instance of 'str'")]


@pytest.mark.parametrize("value,text", TEXT_BAD)
def test_text_conversion(value, text):
    raises(TypeError, text, drel_ml.Variance, value, note="while processing 'kind'")
    raises(TypeError, text, drel_ml.Mean.from_json, value, note="while processing 'json'")


def test_text_edge_cases():
    assert drel_ml.Variance(Text("population")).count == 0
    raises(UnicodeEncodeError, None, drel_ml.Variance, "\ud800", note="while processing 'kind'")
    for kind in ["Sample", " sample", "sample ", "", "POPULATION", "sample\x00", "échantillon"]:
        raises(RuntimeError, f"unknown variance kind: {kind} (expected 'population' or 'sample')",
               drel_ml.Variance, kind)


BOOL_BAD = [(1, "'int' object is not an instance of 'bool'"),
            (0, "'int' object is not an instance of 'bool'"),
            (1.0, "'float' object is not an instance of 'bool'"),
            ("True", "'str' object is not an instance of 'bool'"),
            (None, "'None' is not an instance of 'bool'")]


@pytest.mark.parametrize("cls", ["LogisticRegression", "ClassificationPipeline"])
def test_bool_conversion(cls, np):
    probe = [1.0, 2.0]
    by_true, by_false = build(cls, 2), build(cls, 2)
    by_true.learn_one(probe, True)
    by_false.learn_one(probe, y=False)
    for flag, ref in [(np.True_, by_true), (np.False_, by_false)]:
        m = build(cls, 2)
        m.learn_one(probe, flag)
        assert m.to_json() == ref.to_json()
    for value, text in BOOL_BAD + [(np.int64(1), "'int64' object is not an instance of 'bool'")]:
        m = build(cls, 2)
        raises(TypeError, text, m.learn_one, probe, value, note="while processing 'y'")
        assert m.samples_seen == 0
    # y is converted before x
    raises(TypeError, BOOL_BAD[0][1], build(cls, 2).learn_one, "abc", 1, note="while processing 'y'")


# ---- feature vectors -------------------------------------------------------


class IndexSeq(Sequence):
    """Iterated through Sequence.__iter__, i.e. by index until IndexError."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class GenSeq(IndexSeq):
    """Iterated by a generator; its length may lie or fail."""

    def __init__(self, items, length=None):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __iter__(self):
        yield from self.items


class OldStyle:
    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


CONTAINERS = [list, tuple, ListSub, TupleSub, IndexSeq, GenSeq, OldStyle, deque,
              lambda i: GenSeq(i, length=0), lambda i: GenSeq(i, length=1000),
              lambda i: GenSeq(i, length=ValueError("no length"))]

ERR = Boom("mid-iteration")
ITEMS = {
    "floats": [1.0, -2.5, 3.25],
    "numbers": [1, True, Idx(3)],
    "exotic": [Fraction(1, 3), Decimal("2.5"), FloatSub(-0.0)],
    "extremes": [-0.0, 5e-324, -1.7976931348623157e308],
    "long": [float(i) / 7 for i in range(150)],
    "nan": [1.0, float("nan"), float("inf")],
    "str item": [1.0, "a", 3.0],
    "huge int": [1.0, 2.0, 10**400],
    "raiser": [1.0, Raiser(ERR), "a"],
    "short": [1.0, float("nan")],
    "empty": [],
}


def outcome(x, n):
    scaler = drel_ml.StandardScaler(n)  # a fresh scaler transforms x into itself
    try:
        return "ok", [bits(v) for v in scaler.transform_one(x)]
    except Exception as e:  # noqa: BLE001 - compared across paths
        return type(e), str(e), notes(e), e if e is ERR else None


@pytest.mark.parametrize("items", ITEMS.values(), ids=ITEMS.keys())
def test_every_path_agrees(items, np):
    n = max(len(items), 3) if items is not ITEMS["short"] else 3
    expected = outcome(list(items), n)
    for make in CONTAINERS:
        assert outcome(make(items), n) == expected, make
    if all(type(v) is float for v in items):
        buffers = [array("d", items), memoryview(array("d", items)), np.array(items),
                   np.array(items, dtype=">f8"), np.array(items[::-1])[::-1],
                   np.repeat(np.array(items), 2)[::2]]
        for x in buffers:
            assert outcome(x, n) == expected, x


def test_accepted_sequence_forms(np):
    expected = [1.0, 2.0, 3.0]
    forms = [range(1, 4), b"\x01\x02\x03", bytearray(b"\x01\x02\x03"), array("i", [1, 2, 3]),
             np.arange(1, 4), np.arange(1, 4, dtype=np.uint8), np.arange(1, 4, dtype=np.float32),
             np.arange(0, 7, dtype=float)[1:7:2] - np.arange(0, 3), memoryview(b"\x01\x02\x03"),
             memoryview(array("d", [3.0, 2.0, 1.0]))[::-1]]
    for x in forms:
        assert drel_ml.StandardScaler(3).transform_one(x) == expected, x
    ro = np.array(expected)
    ro.flags.writeable = False
    m = drel_ml.LinearRegression(3, 0.1)
    m.learn_one(ro, 1.0)
    assert m.samples_seen == 1


NOT_VECTORS = [("abc", TypeError, "Can't extract `str` to `Vec`"),
               (Text("abc"), TypeError, "Can't extract `str` to `Vec`"),
               (5, TypeError, "'int' object is not an instance of 'Sequence'"),
               (None, TypeError, "'None' is not an instance of 'Sequence'"),
               ({1: 2.0}, TypeError, "'dict' object is not an instance of 'Sequence'"),
               ({1.0}, TypeError, "'set' object is not an instance of 'Sequence'"),
               ((v for v in [1.0]), TypeError, "'generator' object is not an instance of 'Sequence'"),
               (iter([1.0]), TypeError, "'list_iterator' object is not an instance of 'Sequence'"),
               (Holder.Inner(), TypeError, "'Holder.Inner' object is not an instance of 'Sequence'")]


@pytest.mark.parametrize("value,exc,text", NOT_VECTORS)
@pytest.mark.parametrize("method", ["predict_one", "predict_proba_one", "learn_one"])
def test_rejected_vectors_carry_no_note(value, exc, text, method):
    m = drel_ml.LogisticRegression(3, 0.1)
    args = (value, True) if method == "learn_one" else (value,)
    raises(exc, text, getattr(m, method), *args)
    assert m.samples_seen == 0


class Reversed(list):
    def __iter__(self):
        return reversed(list(list.__iter__(self)))


class Broken(IndexSeq):
    def __iter__(self):
        yield 1.0
        raise ERR


def test_subclasses_iterate_their_own_way():
    assert drel_ml.StandardScaler(3).transform_one(Reversed([1.0, 2.0, 3.0])) == [3.0, 2.0, 1.0]
    m = drel_ml.LinearRegression(3, 0.1)
    assert raises(Boom, "mid-iteration", m.learn_one, Broken([1.0, 2.0, 3.0]), 1.0) is ERR
    assert m.samples_seen == 0


@pytest.mark.parametrize("length", [2**62, 2**31, 0, 1])
def test_reported_length_is_only_a_hint(length):
    # A sequence claiming far more (or fewer) items than it yields converts by
    # what it yields; a huge claim is no reason to run out of memory.
    x = GenSeq([1.0, 2.0, 3.0], length=length)
    assert drel_ml.StandardScaler(3).transform_one(x) == [1.0, 2.0, 3.0]


class Endless(Sequence):
    """A sequence whose iterator is C code that never ends."""

    def __len__(self):
        return 3

    def __getitem__(self, index):
        return 1.0

    def __iter__(self):
        return itertools.repeat(1.0)


@pytest.mark.parametrize("call", [
    lambda: drel_ml.LinearRegression(3, 0.1).learn_one(Endless(), 1.0),
    lambda: drel_ml.StandardScaler(3).transform_one(Endless()),
])
def test_sigint_stops_a_sequence_that_never_ends(call, interrupted):
    assert interrupted(call) < 1.0


class Mutator:
    """An item whose conversion mutates the list that holds it."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __float__(self):
        action, self.action = self.action, None
        if action:
            action()
        return self.value


def mutating(kind, make):
    """A fresh list-like container whose second item mutates it while converted."""
    box = make([1.0])

    def grow():
        box.append(Mutator(4.0, lambda: box.append(5.0)))

    actions = {"append": lambda: box.append(3.0), "pop": box.pop, "clear": box.clear,
               "insert": lambda: box.insert(0, 0.5), "chain": grow,
               "remove self": lambda: box.__delitem__(1), "replace": lambda: box.__setitem__(2, 9.0)}
    box.append(Mutator(2.0, actions[kind]))
    box.extend([7.0, 8.0])
    return box


@pytest.mark.parametrize("kind", ["append", "pop", "clear", "insert", "chain",
                                  "remove self", "replace"])
def test_list_mutated_during_conversion(kind):
    reference = [float(v) for v in mutating(kind, list)]  # plain iteration
    n = len(reference)
    expected = "ok", [bits(v) for v in reference]
    assert outcome(mutating(kind, list), n) == expected
    assert outcome(mutating(kind, ListSub), n) == expected


# ---- buffers of every real-number format --------------------------------------

INT_LIMITS = {"b": 7, "h": 15, "i": 31, "l": 63, "q": 63}


def typed_values(np, dtype):
    """Values of `dtype` that probe its conversion: extremes, rounding, signs."""
    info = np.finfo(dtype) if np.dtype(dtype).kind == "f" else None
    if np.dtype(dtype).kind == "b":
        return np.array([True, False, True, True])
    if info is not None:
        values = [0.0, -0.0, 1.5, -2.25, float(info.max), float(-info.max), float(info.tiny),
                  float(info.smallest_subnormal), 1 / 3]
        return np.array(values, dtype=dtype)
    iinfo = np.iinfo(dtype)
    # Near the limits of 64-bit integers, float() rounds to nearest (ties to even).
    values = [0, 1, iinfo.max, iinfo.min, iinfo.max - 1, iinfo.max // 3]
    if iinfo.bits == 64:
        values += [2**53 + 1, 2**53 + 3, (2**54 + 2) if iinfo.min == 0 else -(2**53 + 1)]
    return np.array(values, dtype=dtype)


REAL_DTYPES = ["?", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "f2", "f4", "f8",
               "intc", "uintc", "long", "ulong", "longlong", "ulonglong"]


def views(np, a):
    """The same elements in several layouts: contiguous, strided, reversed, read-only."""
    ro = a.copy()
    ro.flags.writeable = False
    return [a, np.repeat(a, 3)[1::3], a[::-1][::-1], ro, memoryview(a), memoryview(ro)]


@pytest.mark.parametrize("dtype", REAL_DTYPES)
def test_real_buffers_convert_as_float_does(dtype, np):
    a = typed_values(np, dtype)
    expected = outcome([float(v) for v in a], len(a))
    assert expected[0] == "ok"
    for x in views(np, a):
        assert outcome(x, len(a)) == expected, x
    backwards = a[::-1]  # a negative stride
    for x in (backwards, memoryview(backwards)):
        assert outcome(x, len(a)) == outcome([float(v) for v in backwards], len(a))
    # non-finite elements reach the core's check as they are
    if a.dtype.kind == "f":
        b = np.array([1.0, np.nan, np.inf], dtype=dtype)
        assert outcome(b, 3) == outcome([float(v) for v in b], 3)


@pytest.mark.parametrize("typecode", list("bBhHiIlLqQfd"))
def test_array_module_buffers(typecode):
    if typecode in "fd":
        values = [0.5, -0.0, 3.25, 1e30, -7.0]
    else:  # the extremes of each width
        top = 2 ** (8 * array(typecode).itemsize - (typecode.islower())) - 1
        values = [0, 1, top, top - 1, -top - 1 if typecode.islower() else top // 3]
    x = array(typecode, values)
    assert outcome(x, 5) == outcome([float(v) for v in x], 5)
    assert outcome(memoryview(x)[::-2], 3) == outcome([float(v) for v in x[::-2]], 3)


def test_cast_memoryviews():
    raw = bytes([0, 1, 2, 255])
    assert outcome(memoryview(raw).cast("?"), 4) == ("ok", [bits(v) for v in [0.0, 1.0, 1.0, 1.0]])
    if sys.version_info < (3, 12):
        return  # memoryview casts to half precision need Python 3.12
    halves = array("H", [0x3C00, 0x8001, 0x7C00, 0x7BFF]).tobytes()  # 1, -tiny, inf, max
    assert outcome(memoryview(halves).cast("e"), 4) == outcome(list(memoryview(halves).cast("e")), 4)


@pytest.mark.filterwarnings("ignore:Casting complex values")
@pytest.mark.parametrize("dtype", [">i4", ">f8", ">f2", "c16", "c8", "longdouble", "O",
                                   "datetime64[s]", "U3", "S3"])
def test_other_formats_keep_the_iteration_path(dtype, np):
    # What the iteration of the same elements gives, result or error.
    a = np.array([1, 2, 3]).astype(dtype)
    assert outcome(a, 3) == outcome(list(a), 3)


def test_arrays_of_other_shapes_and_classes(np):
    class Sub(np.ndarray):
        def __iter__(self):  # a buffer is read in place, whatever __iter__ says
            return iter([9.0, 9.0, 9.0])

    a = np.arange(1.0, 4.0)
    assert outcome(a.view(Sub), 3) == outcome([1.0, 2.0, 3.0], 3)
    for x in [np.array(2.0), np.ones((3, 1)), np.ones((1, 3)), np.ones((2, 2)), np.empty(0)]:
        assert outcome(x, 3) == outcome(list(x) if x.ndim else x, 3), x


# ---- failures that must not be swallowed ------------------------------------------


class LengthRaises(IndexSeq):
    def __init__(self, items, exc):
        super().__init__(items)
        self.exc = exc

    def __len__(self):
        raise self.exc


class BufferRaises(IndexSeq):
    def __init__(self, items, exc):
        super().__init__(items)
        self.exc = exc

    def __buffer__(self, flags):
        raise self.exc


SEVERE = [KeyboardInterrupt, SystemExit, MemoryError, GeneratorExit]
ORDINARY = [ValueError, TypeError, BufferError, NotImplementedError]


@pytest.mark.parametrize("holder", [
    LengthRaises,
    pytest.param(BufferRaises, marks=pytest.mark.skipif(
        sys.version_info < (3, 12), reason="__buffer__ needs Python 3.12")),
])
def test_length_and_buffer_failures(holder):
    for exc_type in SEVERE:
        err = exc_type("from the sequence")
        m = drel_ml.LinearRegression(3, 0.1)
        with pytest.raises(exc_type) as info:
            m.learn_one(holder([1.0, 2.0, 3.0], err), 1.0)
        assert info.value is err and not getattr(err, "__notes__", None)
        assert m.samples_seen == 0 and m.weights == [0.0, 0.0, 0.0]
    for exc_type in ORDINARY:  # no length, no buffer: the items are iterated
        x = holder([1.0, 2.0, 3.0], exc_type("ignored"))
        assert drel_ml.StandardScaler(3).transform_one(x) == [1.0, 2.0, 3.0]
