"""Evaluating while learning on a real cluster (two worker processes): per key,
each key's model and metrics are bit for bit progressive_validation of its rows
in one process; over partitions, the metrics are the merge of every
partition's progressive validation and the model is learn_partitioned's."""

from __future__ import annotations

import copy

import pytest

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")

import drel_ml  # noqa: E402
import drel_ml_ext  # noqa: E402
from drel_ml_ext import metrics as M  # noqa: E402
from drel_ml_ext.dask import evaluate_by_key, evaluate_partitioned, learn_partitioned  # noqa: E402

FEATURES = ["x0", "x1", "x2"]


def rows(seed: int = 5, n: int = 6000) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    keys = rng.integers(0, 37, n).astype(float)
    keys[rng.random(n) < 0.01] = np.nan  # missing keys are skipped
    x = rng.normal(size=(n, 3))
    return pd.DataFrame({"key": keys, "x0": x[:, 0], "x1": x[:, 1], "x2": x[:, 2],
                         "y": x @ [1.5, -2.0, 0.5] + 0.3, "label": x[:, 0] > 0.2})


CASES = {
    "LinearRegression": (lambda: drel_ml.LinearRegression(3, 0.01), "y",
                         lambda: [M.MAE(), M.RMSE(), M.R2()]),
    "RegressionPipeline": (lambda: drel_ml.RegressionPipeline(3, 0.01), "y",
                           lambda: [M.MSE(), M.Rolling(M.MAE(), 50)]),
    "LogisticRegression": (lambda: drel_ml.LogisticRegression(3, 0.1), "label",
                           lambda: [M.Accuracy(), M.LogLoss(), M.ROCAUC()]),
    "ClassificationPipeline": (lambda: drel_ml.ClassificationPipeline(3, 0.1), "label",
                               lambda: [M.F1(), M.ROCAUC()]),
}


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    )
    with cluster, distributed.Client(cluster) as c:
        yield c


def texts(metrics):
    return [m.to_json() for m in metrics]


@pytest.mark.parametrize("layout", ["shuffled", "indexed"])
@pytest.mark.parametrize("delay", [0, 4])
@pytest.mark.parametrize("name", CASES)
def test_per_key_equals_progressive_validation_of_each_key(client, name, delay, layout):
    make, target, make_metrics = CASES[name]
    whole = rows()
    frame = dd.from_pandas(whole, npartitions=4, sort=False)
    if layout == "indexed":  # known divisions on the key: no shuffle
        frame = dd.from_pandas(whole.dropna(subset=["key"]).sort_values("key", kind="stable")
                               .set_index("key"), npartitions=4)
    templates = make_metrics()
    before = texts(templates)
    got = evaluate_by_key(frame, "key", FEATURES, target, make, templates, delay=delay,
                          as_text=True)
    assert texts(templates) == before  # templates are only copied
    models, metrics = {}, {}
    for value, part in whole.groupby("key", sort=False):
        models[value], metrics[value] = make(), make_metrics()
        drel_ml_ext.progressive_validation(models[value], part[FEATURES].to_numpy(),
                                           part[target].to_numpy(), metrics[value], delay=delay)
    assert got.models == {k: m.to_json() for k, m in models.items()}
    assert {k: texts(m) for k, m in got.metrics.items()} == {
        k: texts(m) for k, m in metrics.items()}


@pytest.mark.parametrize("rounds, delay", [(1, 0), (2, 3)])
@pytest.mark.parametrize("name", ["LinearRegression", "ClassificationPipeline"])
def test_partitioned_metrics_are_the_merge_of_every_partition(client, name, rounds, delay):
    make, target, make_metrics = CASES[name]
    whole = rows(seed=9).drop(columns="key")
    frame = dd.from_pandas(whole, npartitions=5, sort=False).persist()
    got = evaluate_partitioned(frame, FEATURES, target, make(), make_metrics(), rounds,
                               delay=delay)
    # The same work in this process: each partition's progressive validation of the
    # round's model, the metrics merged by the same tree.
    parts = [p.compute() for p in frame.to_delayed()]
    model, scored = make(), []
    for _ in range(rounds):
        copies = []
        for part in parts:
            m, ms = copy.copy(model), make_metrics()
            drel_ml_ext.progressive_validation(m, part[FEATURES].to_numpy(),
                                               part[target].to_numpy(), ms, delay=delay)
            copies.append(m)
            scored.append(ms)
        model = drel_ml_ext.merge_all(copies, start=model)

    def merged(a, b):
        out = [copy.copy(m) for m in a]
        for m, other in zip(out, b):
            m.merge(other)
        return out

    assert texts(got.metrics) == texts(drel_ml_ext.tree_reduce(scored, merged))
    assert got.model.to_json() == model.to_json()
    # Learning is untouched by the scoring; exact metrics count every prediction.
    assert got.model.to_json() == learn_partitioned(frame, FEATURES, target, make(), rounds).to_json()
    assert got.metrics[0].count == rounds * len(whole)


def test_a_rejected_row_is_named_and_refusals_come_first(client):
    whole = rows(n=600)
    whole.loc[250, ["key", "x1"]] = [3.0, np.inf]
    frame = dd.from_pandas(whole, npartitions=3, sort=False)
    make = lambda: drel_ml.LinearRegression(3, 0.01)  # noqa: E731
    with pytest.raises(RuntimeError, match=r"\(key 3.0, partition \d, index label 250\)$"):
        evaluate_by_key(frame, "key", FEATURES, "y", make, M.MAE())
    with pytest.raises(RuntimeError, match=r"\(partition 1, index label 250\)$"):
        evaluate_partitioned(frame, FEATURES, "y", make(), M.MAE())
    with pytest.raises(TypeError, match="scores classes"):
        evaluate_by_key(frame, "key", FEATURES, "y", make, M.Accuracy())
    with pytest.raises(TypeError, match="needs a model"):
        evaluate_partitioned(frame, FEATURES, None, drel_ml.StandardScaler(3), M.MAE())
    with pytest.raises(ValueError, match="delay must be at least 0"):
        evaluate_partitioned(frame, FEATURES, "y", make(), M.MAE(), delay=-1)
