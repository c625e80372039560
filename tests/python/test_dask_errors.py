"""drel_ml_ext.dask's errors name where they happened: the key or the partition, and the
frame's index label of the failing row, keeping the error's type and text. Runs on Dask's
synchronous scheduler; test_dask.py checks the same across worker processes."""

from __future__ import annotations

import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")

import drel_ml  # noqa: E402
from drel_ml_ext import learn_many  # noqa: E402
from drel_ml_ext.dask import (  # noqa: E402
    evaluate_by_key,
    evaluate_partitioned,
    learn_by_key,
    learn_partitioned,
    update_by_key,
    update_partitioned,
)
from drel_ml_ext.metrics import MAE  # noqa: E402


class Refusal(Exception):
    """An exception of the caller's own, with a field of its own."""

    def __init__(self, text: str, code: int) -> None:
        super().__init__(text)
        self.code = code


class Unreadable:
    """A target whose conversion runs the caller's code, which raises."""

    def __index__(self) -> int:
        raise Refusal("cannot say", 7)


def partition(number: int, bad: object = None) -> pd.DataFrame:
    """Ten rows, index labels 100 * number + 0..9, keys alternating 'a' and 'b'; in
    partition 1, `bad` replaces the value of column x or label at index label 105."""
    rows = pd.DataFrame(
        {"k": ["a", "b"] * 5, "x": np.arange(10.0) + 10 * number, "y": np.ones(10),
         "label": np.array([True, False] * 5, dtype=object)},
        index=pd.Index(np.arange(10) + 100 * number, name="id"),
    )
    if number == 1 and bad is not None:
        column = "label" if isinstance(bad, Unreadable) else "x"
        if not isinstance(bad, float):
            rows[column] = rows[column].astype(object)
        rows.loc[105, column] = bad
    return rows


def frame(bad: object) -> dd.DataFrame:
    return dd.from_map(partition, range(3), bad=bad)


@pytest.fixture(autouse=True)
def synchronous():
    # Object columns stay objects: Dask would turn them into strings.
    with dask.config.set({"scheduler": "synchronous", "dataframe.convert-string": False}):
        yield


BY_KEY = "key 'b', partition 1, index label 105"
PARTITION = "partition 1, index label 105"


@pytest.mark.parametrize(
    "call, where",
    [
        (lambda f: learn_by_key(f, "k", ["x"], "y", lambda: drel_ml.LinearRegression(1, 0.1)), BY_KEY),
        (lambda f: learn_by_key(f, "k", ["x"], None, lambda: drel_ml.StandardScaler(1)), BY_KEY),
        (lambda f: update_by_key(f, "k", "x", drel_ml.Mean), BY_KEY),
        (lambda f: learn_partitioned(f, ["x"], "y", drel_ml.RegressionPipeline(1, 0.1)), PARTITION),
        (lambda f: update_partitioned(f, "x", drel_ml.Variance("sample")), PARTITION),
    ],
)
@pytest.mark.parametrize("value", [float("nan"), float("inf")])
def test_a_refused_row_is_named_by_key_or_partition_and_index_label(call, where, value):
    with pytest.raises(RuntimeError) as refused:
        call(frame(value))
    assert type(refused.value) is RuntimeError
    assert str(refused.value).startswith("non-finite value for `")
    assert str(refused.value).endswith(f": {value} ({where})".replace("nan", "NaN"))


@pytest.mark.parametrize(
    "call, where",
    [
        (lambda f: learn_by_key(f, "k", ["x"], "label", lambda: drel_ml.LogisticRegression(1, 0.1)),
         BY_KEY),
        (lambda f: learn_partitioned(f, ["x"], "label", drel_ml.ClassificationPipeline(1, 0.1)),
         PARTITION),
    ],
)
def test_the_callers_own_exception_stays_itself_with_a_note(call, where):
    with pytest.raises(Refusal) as refused:
        call(frame(Unreadable()))
    assert str(refused.value) == "cannot say" and refused.value.code == 7
    assert f"in {where}" in refused.value.__notes__


@pytest.mark.parametrize(
    "call, error, note",
    [
        # a feature column that is no number: pandas' error, which names no row
        (lambda: learn_by_key(frame("text"), "k", ["x"], "y",
                              lambda: drel_ml.LinearRegression(1, 0.1)), ValueError, "in key 'b'"),
        (lambda: learn_partitioned(frame("text"), ["x"], "y", drel_ml.LinearRegression(1, 0.1)),
         ValueError, "in partition 1"),
        # a state to continue that is no snapshot
        (lambda: learn_by_key(frame(None), "k", ["x"], "y", lambda: drel_ml.LinearRegression(1, 0.1),
                              states={"a": "{}"}), RuntimeError, "in key 'a'"),
        # a state of another class than the new objects', for a key with rows or without
        (lambda: learn_by_key(frame(None), "k", ["x"], "y", lambda: drel_ml.LinearRegression(1, 0.1),
                              states={"a": drel_ml.LogisticRegression(1, 0.1)}), TypeError,
         "in key 'a'"),
        (lambda: update_by_key(frame(None), "k", "x", drel_ml.Mean,
                               states={"z": drel_ml.Variance("sample")}), TypeError, "in key 'z'"),
    ],
)
def test_an_error_that_names_no_row_is_kept_with_its_place_in_a_note(call, error, note):
    with pytest.raises(error) as raised:
        call()
    assert note in raised.value.__notes__
    assert note[3:] not in str(raised.value)



def linear():
    return drel_ml.LinearRegression(1, 0.1)


# A newcomer's first calls: a pandas frame, an object where a function that makes one belongs,
# and the other way round. Each says what to pass instead.
@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda f, p: learn_by_key(p, "k", ["x"], "y", linear), TypeError,
         "frame must be a Dask DataFrame, not pandas.*DataFrame: dask.dataframe.from_pandas"),
        (lambda f, p: update_by_key(p, "k", "x", drel_ml.Mean), TypeError, "must be a Dask DataFrame"),
        (lambda f, p: learn_partitioned(p, ["x"], "y", linear()), TypeError,
         "must be a Dask DataFrame"),
        (lambda f, p: update_partitioned(p, "x", drel_ml.Mean()), TypeError,
         "must be a Dask DataFrame"),
        (lambda f, p: evaluate_by_key(p, "k", ["x"], "y", linear, [MAE()]), TypeError,
         "must be a Dask DataFrame"),
        (lambda f, p: evaluate_partitioned(p, ["x"], "y", linear(), [MAE()]), TypeError,
         "must be a Dask DataFrame"),
        (lambda f, p: learn_by_key(f, "k", ["x"], "y", linear()), TypeError,
         r"make_model must be a function that returns a fresh object, such as lambda: "
         r"drel_ml.LinearRegression\(2, 0.01\); got a 'LinearRegression'"),
        (lambda f, p: update_by_key(f, "k", "x", drel_ml.Mean()), TypeError,
         "make_statistic must be a function"),
        (lambda f, p: evaluate_by_key(f, "k", ["x"], "y", linear(), [MAE()]), TypeError,
         "make_model must be a function"),
        (lambda f, p: learn_partitioned(f, ["x"], "y", linear), TypeError,
         r"expected a drel_ml object, got 'function' \(the \*_by_key calls take a function"),
        (lambda f, p: evaluate_partitioned(f, ["x"], "y", linear, [MAE()]), TypeError,
         "expected a drel_ml object, got 'function'"),
        (lambda f, p: learn_partitioned(f, ["x"], "y", linear(), rounds=2.0), TypeError,
         "rounds must be an int, not 'float'"),
        (lambda f, p: evaluate_partitioned(f, ["x"], "y", linear(), [MAE()], rounds=0), ValueError,
         "rounds must be at least 1, got 0"),
    ],
)
def test_a_wrong_kind_of_argument_says_what_to_pass(call, error, text):
    with pytest.raises(error, match=text):
        call(frame(None), partition(0))


def test_a_target_that_is_also_a_feature_is_read_once():
    # Its column, selected twice, would read as a target of two columns.
    rows = pd.concat([partition(n) for n in range(3)])
    by_key = learn_by_key(frame(None), "k", ["x", "y"], "y", lambda: drel_ml.LinearRegression(2, 0.1))
    for key, model in by_key.items():
        twin = drel_ml.LinearRegression(2, 0.1)
        mine = rows[rows["k"] == key]
        learn_many(twin, mine[["x", "y"]].to_numpy(), mine["y"].to_numpy())
        assert model.to_json() == twin.to_json()
    whole = learn_partitioned(frame(None), ["y", "x", "y"], "y", drel_ml.LinearRegression(3, 0.1))
    assert whole.samples_seen == len(rows)
