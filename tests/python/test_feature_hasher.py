"""FeatureHasher: bit-for-bit agreement with scikit-learn's hasher, and its refusals."""

import math
import pickle
import random

import pytest

import drel_ml_ext
from drel_ml_ext import FeatureHasher

np = pytest.importorskip("numpy")
sparse = pytest.importorskip("scipy.sparse")
sk_hash = pytest.importorskip("sklearn.feature_extraction")

# Names that exercise every tail length, multi-byte UTF-8, near-duplicates and
# "name=value" forms that collide with plain names.
_ALPHABET = "abcxyz_=09 éßλ中文🙂"


def _name(rng):
    return "".join(rng.choice(_ALPHABET) for _ in range(rng.randint(0, 9)))


def _value(rng):
    kind = rng.randrange(7)
    if kind == 0:
        return rng.choice(["ios", "android", "fr", "é", "", "0"])  # categorical
    if kind == 1:
        return rng.choice([0, 0.0, -0.0])  # skipped
    if kind == 2:
        return rng.randint(-5, 5)
    if kind == 3:
        return rng.choice([True, False])
    if kind == 4:
        return rng.uniform(-1, 1) * 10.0 ** rng.randint(-300, 300)
    return rng.uniform(-3, 3)


def _rows(seed, count):
    rng = random.Random(seed)
    names = [_name(rng) for _ in range(300)]  # a small pool: many duplicates within rows
    return [[(rng.choice(names), _value(rng)) for _ in range(rng.randint(0, 40))]
            for _ in range(count)]


def _as_input(pairs, input_type):
    if input_type == "dict":
        return dict(pairs)
    if input_type == "string":
        return [name for name, _ in pairs]
    return pairs


def _assert_same_csr(ours, theirs):
    theirs = sparse.csr_matrix(theirs)
    assert ours.shape == theirs.shape
    np.testing.assert_array_equal(ours.indptr, theirs.indptr)
    np.testing.assert_array_equal(ours.indices, theirs.indices)
    # Bit for bit, signed zeros included.
    np.testing.assert_array_equal(ours.data.view(np.int64), theirs.data.view(np.int64))


SETTINGS = [(n, sign, kind) for n in (1, 7, 2**10, 2**18, 2**31 - 1)
            for sign in (True, False) for kind in ("dict", "pair", "string")]


@pytest.mark.parametrize("n_features, alternate_sign, input_type", SETTINGS)
def test_matches_scikit_learn_on_generated_rows(n_features, alternate_sign, input_type):
    rows = [_as_input(r, input_type) for r in _rows(n_features + alternate_sign, 8000)]
    ours = FeatureHasher(n_features, input_type=input_type,
                         alternate_sign=alternate_sign).transform_many(rows)
    theirs = sk_hash.FeatureHasher(n_features, input_type=input_type,
                                   alternate_sign=alternate_sign).transform(rows)
    assert isinstance(ours, sparse.csr_matrix)
    _assert_same_csr(ours, theirs)


def test_matches_scikit_learn_on_a_large_stream():
    rows = [dict(r) for r in _rows(2024, 100_000)]
    ours = FeatureHasher(2**20).transform_many(iter(rows))  # a generator is enough
    _assert_same_csr(ours, sk_hash.FeatureHasher(2**20).transform(rows))


@pytest.mark.parametrize("n_features", [1, 64])
def test_transform_one_is_scikit_learns_row(n_features):
    # scipy sorts a matrix's rows only when some row is out of order, and its sort
    # is not stable: a row's sums are those of the same row transformed alone.
    ours, theirs = FeatureHasher(n_features), sk_hash.FeatureHasher(n_features)
    for row in [dict(r) for r in _rows(5, 300)]:
        one = np.asarray(ours.transform_one(row))
        assert one.shape == (n_features,) and one.dtype == np.float64
        expected = theirs.transform([row]).toarray()[0]
        np.testing.assert_array_equal(one.view(np.int64), expected.view(np.int64))


def test_matches_scikit_learn_on_river_phishing():
    datasets = pytest.importorskip("river.datasets")
    rows = [x for x, _ in datasets.Phishing()]
    for n_features in (2**4, 2**18):
        ours = FeatureHasher(n_features).transform_many(rows)
        _assert_same_csr(ours, sk_hash.FeatureHasher(n_features).transform(rows))


try:
    from hypothesis import given
    from hypothesis import strategies as st
except ImportError:  # pragma: no cover
    given = None

if given is not None:
    _values = st.one_of(
        st.floats(allow_nan=False, allow_infinity=False), st.integers(-(2**53), 2**53),
        st.booleans(), st.text(max_size=4))

    @given(st.lists(st.dictionaries(st.text(max_size=12), _values, max_size=12), max_size=20),
           st.integers(1, 2**31 - 1), st.booleans())
    def test_matches_scikit_learn_on_any_dicts(rows, n_features, alternate_sign):
        ours = FeatureHasher(n_features, alternate_sign=alternate_sign).transform_many(rows)
        if not rows:
            assert ours.shape == (0, n_features)
            return
        theirs = sk_hash.FeatureHasher(n_features, alternate_sign=alternate_sign).transform(rows)
        _assert_same_csr(ours, theirs)


@pytest.mark.parametrize("sample, error, text", [
    ({"a": None}, TypeError, "value of feature 'a' must be a real number or a string"),
    ({"a": [1.0]}, TypeError, "not 'list'"),
    ({"a": math.nan}, ValueError, "non-finite value"),
    ({"a": -math.inf}, ValueError, "non-finite value"),
    ({3: 1.0}, TypeError, "feature names must be strings"),
    ({"\ud800": 1.0}, UnicodeEncodeError, "surrogates"),
    ([("a", 1.0)], TypeError, "must be a mapping"),
])
def test_refuses_bad_samples_with_the_row_number(sample, error, text):
    hasher = FeatureHasher(16)
    with pytest.raises(error, match=text):
        hasher.transform_one(sample)
    with pytest.raises(error, match=text) as raised:
        hasher.transform_many([{"ok": 1.0}, sample])
    assert "in sample 1 of transform_many" in raised.value.__notes__


@pytest.mark.parametrize("input_type, sample", [("string", "abc"), ("pair", "ab")])
def test_refuses_a_single_string_as_a_sample(input_type, sample):
    with pytest.raises(ValueError, match="not a single string"):
        FeatureHasher(8, input_type=input_type).transform_one(sample)


@pytest.mark.parametrize("input_type", ["dict", "pair", "string"])
@pytest.mark.parametrize("one", [{"a": 1.0}, "abc", b"abc"])
def test_transform_many_refuses_one_sample_where_many_belong(input_type, one):
    # Iterated, it would be read as samples made of its names or its letters.
    with pytest.raises(TypeError, match=rf"an iterable of samples, not one '{type(one).__name__}': "
                                        r"pass \[x\], or call transform_one\(x\)"):
        FeatureHasher(8, input_type=input_type).transform_many(one)


def test_pair_items_must_be_pairs():
    with pytest.raises(ValueError, match=r"\(name, value\) pair, got 3 items"):
        FeatureHasher(8, input_type="pair").transform_one([("a", 1.0, 2.0)])


@pytest.mark.parametrize("args, kwargs, error", [
    ((0,), {}, ValueError), ((2**31,), {}, ValueError), ((-1,), {}, ValueError),
    ((2**80,), {}, ValueError), ((8.0,), {}, TypeError), ((True,), {}, TypeError),
    ((8,), {"input_type": "rows"}, ValueError), ((8, "dict"), {}, TypeError),
])
def test_refuses_bad_settings(args, kwargs, error):
    with pytest.raises(error):
        FeatureHasher(*args, **kwargs)


def test_settings_repr_equality_and_pickling():
    hasher = FeatureHasher(2**18, input_type="pair", alternate_sign=False)
    assert (hasher.n_features, hasher.input_type, hasher.alternate_sign) == (2**18, "pair", False)
    assert repr(hasher) == "FeatureHasher(262144, input_type='pair', alternate_sign=False)"
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(hasher, protocol)) == hasher
    assert hasher != FeatureHasher(2**18, input_type="pair")
    assert drel_ml_ext.FeatureHasher is FeatureHasher


def test_a_value_that_changes_the_dict_does_not_crash():
    class Mutating:
        def __float__(self):
            sample.clear()
            return 2.0

    sample = {"a": Mutating(), "b": 3.0}
    # The items are read from a copy taken first: both features count.
    row = FeatureHasher(4).transform_one(sample)
    expected = sk_hash.FeatureHasher(4).transform([{"a": 2.0, "b": 3.0}]).toarray()[0]
    np.testing.assert_array_equal(row, expected)


def _name_at(column, n_features, taken):
    """A name of the hashed column `column` not in `taken`."""
    hasher = FeatureHasher(n_features, alternate_sign=False)
    for i in range(10_000):
        name = f"f{i}"
        if name not in taken and hasher.transform_one({name: 1.0})[column] == 1.0:
            taken.add(name)
            return name
    raise AssertionError("no name found")


@pytest.mark.parametrize("layout", ["alone", "unsorted row after", "unsorted row before"])
def test_a_long_sorted_row_with_duplicates_follows_the_whole_matrix(layout):
    # scipy leaves such a row as it came when every row is in order, and sorts it
    # (swapping equal indices) otherwise; sums of such magnitudes keep the order's trace.
    rng = random.Random(7)
    taken = set()
    at0 = [_name_at(0, 2, taken) for _ in range(12)]
    at1 = [_name_at(1, 2, taken) for _ in range(12)]
    def value():
        return rng.choice([-1, 1]) * rng.uniform(1, 9) * 10.0 ** rng.randint(-3, 17)
    long_sorted = [(n, value()) for n in at0] + [(n, value()) for n in at1]
    unsorted = [(at1[0], 1.0), (at0[0], 1.0)]
    rows = {"alone": [long_sorted], "unsorted row after": [long_sorted, unsorted],
            "unsorted row before": [unsorted, long_sorted, long_sorted[::-1]]}[layout]
    for sign in (True, False):
        ours = FeatureHasher(2, input_type="pair", alternate_sign=sign).transform_many(rows)
        theirs = sk_hash.FeatureHasher(2, input_type="pair", alternate_sign=sign).transform(rows)
        _assert_same_csr(ours, theirs)


class _OddStr(str):
    """A name that lies about itself: every instance equal, one hash for all."""

    def __hash__(self):
        return 0

    def __eq__(self, other):
        return True

    def encode(self, *args, **kwargs):
        return b"lie"


@pytest.mark.parametrize("input_type", ["dict", "pair", "string"])
def test_str_subclasses_and_any_lengths_hash_as_scikit_learn(input_type):
    # Name and value lengths around every block and buffer boundary, ASCII and not,
    # plain and subclassed strings: each hashes by its characters' UTF-8 bytes.
    pieces = ["", "a", "ab", "abc", "é", "中文", "🙂x"]
    rows = []
    for length in (0, 1, 3, 4, 5, 63, 64, 126, 127, 128, 129, 300):
        for piece in pieces:
            text = (piece * (length // max(len(piece), 1) + 1))[:length]
            rows.append([(text, "v"), (_OddStr(text + "n"), _OddStr(piece)), ("x" + text, 2.5),
                         (_OddStr(text), 1.5)])
    samples = [_as_input(r, input_type) if input_type != "dict" else r for r in rows]
    if input_type == "dict":
        samples = [{k: v for k, v in r} for r in rows]  # one _OddStr key survives per row
    ours = FeatureHasher(2**20, input_type=input_type).transform_many(samples)
    theirs = sk_hash.FeatureHasher(2**20, input_type=input_type).transform(samples)
    _assert_same_csr(ours, theirs)
    for sample, expected in zip(samples[:20], theirs.toarray()[:20]):
        row = FeatureHasher(2**20, input_type=input_type).transform_one(sample)
        np.testing.assert_array_equal(row.view(np.int64), expected.view(np.int64))


@pytest.mark.parametrize("change", ["clear", "append", "replace"])
def test_a_value_that_changes_its_pair_list_reads_as_the_lists_iterator_would(change):
    class Changing:
        def __float__(self):
            if change == "clear":
                sample.clear()
            elif change == "append":
                sample.append(("late", 4.0))
            else:
                sample[1] = ("other", 5.0)
            return 2.0

    sample = [("a", Changing()), ("b", 3.0)]
    seen = []
    for name, value in list_iterated(sample, Changing):
        seen.append((name, value))
    sample = [("a", Changing()), ("b", 3.0)]
    row = FeatureHasher(64, input_type="pair").transform_one(sample)
    expected = sk_hash.FeatureHasher(64, input_type="pair").transform([seen]).toarray()[0]
    np.testing.assert_array_equal(row, expected)


def list_iterated(sample, kind):
    """The pairs a for loop over the list reads, converting values as it goes."""
    out = []
    for name, value in sample:
        out.append((name, float(value) if isinstance(value, kind) else value))
    return out
