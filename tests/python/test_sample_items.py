"""A sample read through its items(): the hasher's mappings, the fixed names' rows and the
hashed steps' text names all read x.items() as a Python loop `for name, value in x.items()`
does, raise what it raises, and hold no reference afterwards on any path."""

import gc
import itertools
import sys

import pytest

import drel_ml_ext
from drel_ml_ext import _native

NAME = "".join(["fea", "ture"])  # objects of this test's own, to count their references
VALUE = float("2.5")


class _Items:
    """A mapping that is not a dict: read through its items() alone."""

    def __init__(self, items):
        self._items = items

    def items(self):
        return self._items()


class _NumberKeyed(dict):
    """A dict that stores a name that is not text: a TypeError sends the hashed steps to
    its items() once more, keyed by the names' text."""

    def __init__(self, items):
        super().__init__({1: 1.0})
        self._items = items

    def items(self):
        return self._items()


class _Pair(tuple):
    pass


def _raise(error):
    raise error


def _then_raise():
    yield NAME, VALUE
    raise ArithmeticError("mid-way")


# What items() gives, and the error it makes (None: read as {NAME: VALUE}).
ITEMS = {
    "not iterable": (lambda: 5, (TypeError, "'int' object is not iterable")),
    "items() raises": (lambda: _raise(LookupError("no items")), (LookupError, "no items")),
    "raises mid-way": (_then_raise, (ArithmeticError, "mid-way")),
    "item not a pair": (lambda: [(NAME, VALUE), 7], (TypeError, "'int' object is not iterable")),
    "three elements": (lambda: [(NAME, VALUE, 1)], (ValueError, None)),
    "tuple subclass": (lambda: [_Pair((NAME, VALUE))], None),
    "list items": (lambda: [[NAME, VALUE]], None),
    "generator": (lambda: ((n, v) for n, v in [(NAME, VALUE)]), None),
    "dict view": (lambda: {NAME: VALUE}.items(), None),
    "iterator item": (lambda: [iter((NAME, VALUE))], None),
    # read no further than Python's unpacking reads it
    "endless item": (lambda: [itertools.repeat(NAME)],
                     (ValueError, "too many values to unpack (expected 2)")),
}


class _Hasher:
    sample = _Items
    wrong_length = "FeatureHasher: a feature must be a (name, value) pair, got 3 items"

    def __init__(self):
        self.hasher = drel_ml_ext.FeatureHasher(16)

    def __call__(self, x):
        return list(self.hasher.transform_one(x))


class _FixedNames:
    sample = _Items
    wrong_length = "a sample's items must be (name, value) pairs, got 3 items"

    def __init__(self):
        self.columns = _native.NamedColumns({NAME: 0, "other": 1}, True)

    def __call__(self, x):
        return list(self.columns.row(x))


class _TextNames:
    sample = _NumberKeyed
    wrong_length = _Hasher.wrong_length

    def __init__(self):
        self.steps = _native.HashedSteps(drel_ml_ext.FeatureHasher(16), text_names=True)
        self.model = drel_ml_ext.linear_regression(16, learning_rate=0.1)
        self.model.learn_one([1.0] * 16, 1.0)

    def __call__(self, x):
        prediction = self.steps.predict_one(self.model, x)
        self.steps.predict_one(self.model, {})  # the steps let go of x
        return prediction


@pytest.mark.parametrize("reader", [_Hasher, _FixedNames, _TextNames])
@pytest.mark.parametrize("case", ITEMS)
def test_items_read_as_a_python_loop_reads_them(reader, case):
    items, error = ITEMS[case]
    read = reader()
    x = reader.sample(items)
    counts = [sys.getrefcount(o) for o in (x, NAME, VALUE)]
    for _ in range(20):
        if error is None:
            assert read(x) == read({NAME: VALUE})
        else:
            kind, message = error
            with pytest.raises(kind) as raised:
                read(x)
            assert str(raised.value) == (message or reader.wrong_length)
            del raised
    gc.collect()  # a raised error's traceback and its frame make a cycle
    assert [sys.getrefcount(o) for o in (x, NAME, VALUE)] == counts


class _OwnItems(dict):
    """A dict whose items() are not what it stores."""

    def items(self):
        return [(NAME, VALUE)]


@pytest.mark.parametrize("reader", [_Hasher, _FixedNames, _TextNames])
@pytest.mark.parametrize("stored", [{"other": 9.0}, {}, {1: "x"}], ids=repr)
def test_a_dict_subclass_is_read_through_its_own_items(reader, stored):
    read = reader()
    assert read(_OwnItems(stored)) == read({NAME: VALUE})


@pytest.mark.parametrize("reader", [_Hasher, _FixedNames, _TextNames])
def test_sigint_stops_reading_items_that_never_end(reader, interrupted):
    """An iterator of C code runs no Python code that would answer Ctrl-C."""
    read = reader()
    x = reader.sample(lambda: itertools.repeat((NAME, VALUE)))
    assert interrupted(lambda: read(x)) < 1.0
