"""drel_ml_ext.dask on a real cluster: two worker processes, a million rows made in partitions.

Every distributed result is checked against the same work done here, in this
process: per-key objects and partitioned models bit for bit, statistics within
the rounding of one long stream.
"""

from __future__ import annotations

import math
import sys

import pytest

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")

import drel_ml  # noqa: E402
from dask import config as dask_config  # noqa: E402
from dask import delayed as dask_delayed  # noqa: E402
import drel_ml_ext  # noqa: E402
from drel_ml_ext.dask import (  # noqa: E402
    learn_by_key,
    learn_partitioned,
    update_by_key,
    update_partitioned,
)

PARTITIONS = 8
ROWS_PER_PARTITION = 125_000  # 10^6 rows in all
KEYS = 64
FEATURES = ["x0", "x1", "x2"]
TRUE_WEIGHTS = np.array([1.5, -2.0, 0.5])


def make_partition(number: int) -> pd.DataFrame:
    """Partition `number` of the data set, the same wherever it is made."""
    rng = np.random.default_rng(1000 + number)
    n = ROWS_PER_PARTITION
    x = rng.normal(size=(n, 3)) * [1.0, 3.0, 0.5] + [0.0, 5.0, -1.0]
    y = x @ TRUE_WEIGHTS + 0.7 + rng.normal(scale=0.5, size=n)
    return pd.DataFrame(
        {
            "key": rng.integers(0, KEYS, n),
            "x0": x[:, 0],
            "x1": x[:, 1],
            "x2": x[:, 2],
            "y": y,
            "label": y > -9.8,
        }
    )


def feed(obj, rows: pd.DataFrame, target: str | None = "y") -> None:
    """What one process does: the bulk functions over the rows in order."""
    x = rows[FEATURES].to_numpy(dtype=np.float64)
    if target is None:
        drel_ml_ext.learn_many(obj, x)
    else:
        drel_ml_ext.learn_many(obj, x, rows[target].to_numpy())


def copy(obj):
    return type(obj).from_json(obj.to_json())


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    )
    with cluster, distributed.Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def frame(client):
    made = dd.from_map(make_partition, range(PARTITIONS))
    return made.persist()


@pytest.fixture(scope="module")
def local_parts() -> list[pd.DataFrame]:
    return [make_partition(i) for i in range(PARTITIONS)]


def test_per_key_models_equal_one_process_bit_for_bit(frame, local_parts):
    make = lambda: drel_ml.RegressionPipeline(3, 0.01)  # noqa: E731
    models = learn_by_key(frame, "key", FEATURES, "y", make, as_text=True)
    whole = pd.concat(local_parts, ignore_index=True)
    expected = {}
    for key, rows in whole.groupby("key", sort=False):
        expected[key] = make()
        feed(expected[key], rows)
    assert len(models) == KEYS
    assert models == {k: m.to_json() for k, m in expected.items()}

    # Continuing: one more pass over the first partition only, from those states.
    first = dd.from_map(make_partition, [0])
    more = learn_by_key(first, "key", FEATURES, "y", make, states=models)
    for key, rows in local_parts[0].groupby("key", sort=False):
        feed(expected[key], rows)
    assert {k: m.to_json() for k, m in more.items()} == {k: m.to_json() for k, m in expected.items()}


def test_per_key_statistics_in_order(frame, local_parts):
    ew = update_by_key(frame, "key", "x1", lambda: drel_ml.EWMean(0.01), as_text=True)
    whole = pd.concat(local_parts, ignore_index=True)
    for key in (0, KEYS - 1):
        expected = drel_ml.EWMean(0.01)
        drel_ml_ext.update_many(expected, whole.loc[whole.key == key, "x1"].to_numpy())
        assert ew[key] == expected.to_json()


def ulps_apart(a: float, b: float) -> float:
    return abs(a - b) / sys.float_info.epsilon / max(abs(a), abs(b))


def test_statistics_over_partitions(frame, local_parts):
    stats = update_partitioned(frame, ["x1", "y"], drel_ml.Variance("sample"))
    scaler = learn_partitioned(frame, FEATURES, None, drel_ml.StandardScaler(3))
    for column in ("x1", "y"):
        values = [v for part in local_parts for v in part[column].tolist()]
        one = drel_ml.Variance("sample")
        drel_ml_ext.update_many(one, values)
        exact_mean = math.fsum(values) / len(values)
        exact = math.fsum((v - exact_mean) ** 2 for v in values) / (len(values) - 1)
        merged = stats[column]
        print(f"{column}: variance merged {merged.value!r}, one stream {one.value!r}, "
              f"exact {exact!r}: {ulps_apart(merged.value, exact):.0f} and "
              f"{ulps_apart(one.value, exact):.0f} ulps off")
        assert merged.count == one.count == len(values)
        # 10^6 Welford steps in one stream drift by tens of ulps; the merge of
        # eight shorter streams stays as close to the exact value, give or take a few.
        assert ulps_apart(merged.mean, exact_mean) <= ulps_apart(one.mean, exact_mean) + 4
        assert ulps_apart(merged.value, exact) <= ulps_apart(one.value, exact) + 4
        assert ulps_apart(merged.value, one.value) <= 256
    one_scaler = drel_ml.StandardScaler(3)
    for part in local_parts:
        feed(one_scaler, part, target=None)
    assert scaler.samples_seen == one_scaler.samples_seen
    for a, b in zip(scaler.transform_one([0.3, 4.0, -1.2]), one_scaler.transform_one([0.3, 4.0, -1.2])):
        assert abs(a - b) <= 1e-12 * max(1.0, abs(b))


def mse(model, rows: pd.DataFrame) -> float:
    predictions = drel_ml_ext.predict_many(model, rows[FEATURES].to_numpy())
    return float(np.mean((predictions - rows["y"].to_numpy()) ** 2))


def test_partitioned_model_matches_local_rounds_and_one_stream(frame, local_parts):
    start = drel_ml.RegressionPipeline(3, 0.005)
    rounds = 2
    model = learn_partitioned(frame, FEATURES, "y", start, rounds=rounds)

    state = start
    for _ in range(rounds):
        copies = [copy(state) for _ in local_parts]
        for c, part in zip(copies, local_parts):
            feed(c, part)
        state = drel_ml_ext.merge_all(copies, start=state)
    assert model.to_json() == state.to_json()
    assert model.samples_seen == rounds * PARTITIONS * ROWS_PER_PARTITION
    assert start.samples_seen == 0

    one = drel_ml.RegressionPipeline(3, 0.005)
    for part in local_parts:
        feed(one, part)
    held_out = make_partition(PARTITIONS + 1).iloc[:20_000]
    partitioned_error, one_error = mse(model, held_out), mse(one, held_out)
    print(f"held-out MSE: partitioned ({rounds} rounds) {partitioned_error:.5f}, "
          f"one stream {one_error:.5f}, noise floor 0.25")
    assert partitioned_error <= 1.2 * one_error


def test_classifier(frame):
    model = learn_partitioned(frame, FEATURES, "label", drel_ml.ClassificationPipeline(3, 0.01))
    assert model.samples_seen == PARTITIONS * ROWS_PER_PARTITION
    with pytest.raises(RuntimeError, match="dimension mismatch"):  # raised on a worker
        learn_partitioned(frame, FEATURES[:2], "label", drel_ml.LogisticRegression(3, 0.1))


def test_a_worker_names_the_key_partition_and_index_label_of_a_rejected_row(client):
    def with_nan(number: int) -> pd.DataFrame:
        rows = make_partition(number).iloc[:1000]
        if number == 1:
            rows.loc[500, "x1"] = np.nan
        return rows

    frame = dd.from_map(with_nan, range(3))
    key = int(make_partition(1)["key"].iat[500])
    make = lambda: drel_ml.LinearRegression(3, 0.01)  # noqa: E731
    with pytest.raises(RuntimeError, match=rf"NaN \(key {key}, partition 1, index label 500\)$"):
        learn_by_key(frame, "key", FEATURES, "y", make)
    with pytest.raises(RuntimeError, match=r"NaN \(partition 1, index label 500\)$"):
        learn_partitioned(frame, FEATURES, "y", make())


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda f: learn_partitioned(f, ["x0"], None, drel_ml.EWMean(0.5)), RuntimeError,
         "cannot be merged"),
        (lambda f: learn_partitioned(f, FEATURES, None, drel_ml.LinearRegression(3, 0.1)),
         ValueError, "needs a target"),
        (lambda f: learn_partitioned(f, FEATURES, "y", drel_ml.StandardScaler(3)), ValueError,
         "without a target"),
        (lambda f: learn_partitioned(f, FEATURES, "y", drel_ml.LinearRegression(3, 0.1), rounds=0),
         ValueError, "at least 1"),
        (lambda f: update_partitioned(f, ["x0"], object()), TypeError, "drel_ml object"),
        (lambda f: learn_by_key(f, "key", ["key", "x0"], "y", lambda: drel_ml.LinearRegression(2, 0.1)),
         ValueError, "also a feature"),
        (lambda f: update_by_key(f, "key", "x0", lambda: drel_ml.StandardScaler(1)), TypeError,
         "running statistic"),
    ],
)
def test_refusals_before_any_work(frame, call, error, message):
    with pytest.raises(error, match=message):
        call(frame)


def one_process_by_key(whole: pd.DataFrame, key: str, make, columns, target):
    """Each key's rows in frame order through the bulk function, in this process."""
    expected = {}
    for value, rows in whole.groupby(key, sort=False):
        expected[value] = make()
        if target is None and len(columns) == 1 and type(expected[value]).__name__ in (
                "Mean", "Variance", "EWMean"):
            drel_ml_ext.update_many(expected[value], rows[columns[0]].to_numpy(dtype=np.float64))
        else:
            x = rows[columns].to_numpy(dtype=np.float64)
            if target is None:
                drel_ml_ext.learn_many(expected[value], x)
            else:
                drel_ml_ext.learn_many(expected[value], x, rows[target].to_numpy())
    return {k: m.to_json() for k, m in expected.items()}


def small_frame() -> pd.DataFrame:
    rng = np.random.default_rng(5)
    n = 6000
    keys = rng.integers(0, 37, n).astype(float)
    keys[rng.random(n) < 0.01] = np.nan  # missing keys are skipped
    x = rng.normal(size=(n, 3))
    return pd.DataFrame({"key": keys, "x0": x[:, 0], "x1": x[:, 1], "x2": x[:, 2],
                         "y": x @ TRUE_WEIGHTS, "label": x[:, 0] > 0})


BY_KEY_CASES = {
    "RegressionPipeline": (lambda: drel_ml.RegressionPipeline(3, 0.01), FEATURES, "y"),
    "ClassificationPipeline": (lambda: drel_ml.ClassificationPipeline(3, 0.1), FEATURES, "label"),
    "StandardScaler": (lambda: drel_ml.StandardScaler(3), FEATURES, None),
    "Variance": (lambda: drel_ml.Variance("sample"), ["x1"], None),
}


@pytest.mark.parametrize("layout", ["shuffled", "indexed", "flagged"])
@pytest.mark.parametrize("name", BY_KEY_CASES)
def test_per_key_results_equal_the_one_process_loop(client, name, layout):
    make, columns, target = BY_KEY_CASES[name]
    whole = small_frame()
    expected = one_process_by_key(whole, "key", make, columns, target)
    frame = dd.from_pandas(whole, npartitions=4, sort=False)
    if layout == "indexed":  # known divisions on the key: no shuffle
        frame = dd.from_pandas(whole.dropna(subset=["key"]).sort_values("key", kind="stable")
                               .set_index("key"), npartitions=4)
        assert frame.known_divisions
    elif layout == "flagged":  # each key in one partition, its rows in frame order
        frame = dd.concat([dd.from_pandas(whole[whole.key % 3 == i], npartitions=1, sort=False)
                           for i in range(3)])
    kwargs = {"partitioned_by_key": True} if layout == "flagged" else {}
    if name == "Variance":
        got = update_by_key(frame, "key", columns[0], make, as_text=True, **kwargs)
    else:
        got = learn_by_key(frame, "key", columns, target, make, as_text=True, **kwargs)
    assert got == expected


def test_a_frame_not_partitioned_by_the_key_is_refused_when_flagged(client):
    frame = dd.from_pandas(small_frame(), npartitions=3, sort=False)
    with pytest.raises(ValueError, match="not partitioned by the key"):
        learn_by_key(frame, "key", FEATURES, "y", lambda: drel_ml.LinearRegression(3, 0.1),
                     partitioned_by_key=True)


def test_states_continue_from_objects_or_text(client):
    whole = small_frame().dropna(subset=["key"])
    make = lambda: drel_ml.LinearRegression(3, 0.05)  # noqa: E731
    first, second = whole.iloc[:3000], whole.iloc[3000:]
    states = learn_by_key(dd.from_pandas(first, npartitions=2), "key", FEATURES, "y", make)
    texts = {k: m.to_json() for k, m in states.items()}
    states[-1.0] = make()  # a key without rows comes back unchanged
    from_objects = learn_by_key(dd.from_pandas(second, npartitions=2), "key", FEATURES, "y",
                                make, states=states, as_text=True)
    from_text = learn_by_key(dd.from_pandas(second, npartitions=2), "key", FEATURES, "y",
                             make, states=texts, as_text=True)
    expected = one_process_by_key(whole, "key", make, FEATURES, "y")
    assert from_objects == {**expected, -1.0: make().to_json()}
    assert from_text == expected


def keys_of_kind(kind: str, n: int, rng) -> pd.Series:
    """n keys of one kind, about 1% missing; every category present."""
    codes = rng.integers(0, 23, n)
    missing = rng.random(n) < 0.01
    if kind == "text":
        return pd.Series(np.where(missing, None, [f"k{c}" for c in codes]), dtype=object)
    if kind == "mixed":  # 1 and "1" are distinct keys that hash alike as text
        values = [c if c % 2 else str(c + 1) for c in codes]
        return pd.Series([None if m else v for m, v in zip(missing, values)], dtype=object)
    if kind == "nullable":
        return pd.Series(pd.array(np.where(missing, 0, codes), dtype="Int64")).mask(missing)
    if kind == "category":
        return pd.Series(pd.Categorical([f"c{c % 5}" for c in codes])).mask(missing)
    if kind == "time":
        return pd.Series(pd.Timestamp("2026-01-01") + pd.to_timedelta(codes, "h")).mask(missing)
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["text", "mixed", "nullable", "category", "time"])
def test_keys_of_every_kind_meet_their_rows_across_partitions(client, kind):
    rng = np.random.default_rng(11)
    whole = small_frame()
    whole["key"] = keys_of_kind(kind, len(whole), rng)
    make = lambda: drel_ml.LinearRegression(3, 0.05)  # noqa: E731
    expected = {}
    for value, rows in whole.groupby("key", sort=False, observed=True):
        expected[value] = make()
        feed(expected[value], rows)
    # uneven partitions, one of them empty
    bounds = [0, 100, 100, 2500, len(whole)]
    parts = [whole.iloc[lo:hi] for lo, hi in zip(bounds, bounds[1:])]
    # Object keys stay objects: Dask would turn them into text.
    with dask_config.set({"dataframe.convert-string": False}):
        frame = dd.from_delayed([dask_delayed(p) for p in parts], meta=whole.iloc[:0])
        got = learn_by_key(frame, "key", FEATURES, "y", make, as_text=True)
    assert got == {k: m.to_json() for k, m in expected.items()}
