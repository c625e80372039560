"""drel_ml_ext.merge: split streams against one stream, empty sides, common starts, refusals."""

from __future__ import annotations

import json
import math
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import drel_ml
from drel_ml_ext import merge, merge_all, tree_reduce
from drel_ml_ext.metrics import MAE

MAX_COUNT = 2**64 - 1
values = st.floats(min_value=-1e6, max_value=1e6, allow_nan=False)
streams = st.lists(values, max_size=60)


def fed(obj, xs):
    for x in xs:
        obj.update(x)
    return obj


def close(a: float, b: float, scale: float, n: int) -> bool:
    """Apart by no more than the rounding walk of n steps over values of size `scale`."""
    return abs(a - b) <= 8 * (n + 1) * sys.float_info.epsilon * scale


@settings(max_examples=200, deadline=None)
@given(streams, st.data())
def test_split_stream_merges_as_one_stream(xs, data):
    cut = data.draw(st.integers(0, len(xs)))
    scale = max((abs(x) for x in xs), default=0.0)
    for make in (drel_ml.Mean, lambda: drel_ml.Variance("sample")):
        a, b = fed(make(), xs[:cut]), fed(make(), xs[cut:])
        before = (a.to_json(), b.to_json())
        merged, whole = merge(a, b), fed(make(), xs)
        assert (a.to_json(), b.to_json()) == before
        assert merged.count == whole.count == len(xs)
        if isinstance(whole, drel_ml.Mean):
            assert close(merged.value, whole.value, scale, len(xs))
        else:
            assert close(merged.mean, whole.mean, scale, len(xs))
            if whole.value is None:
                assert merged.value is None
            else:
                assert close(merged.value * (len(xs) - 1), whole.value * (len(xs) - 1),
                             scale * scale * len(xs), len(xs))


@settings(max_examples=100, deadline=None)
@given(st.lists(st.tuples(values, values), min_size=1, max_size=30), st.data())
def test_scaler_merges_per_feature_from_a_start(rows, data):
    begin = data.draw(st.integers(0, len(rows)))
    cut = data.draw(st.integers(begin, len(rows)))
    start = drel_ml.StandardScaler(2)
    for r in rows[:begin]:
        start.learn_one(list(r))
    a, b, whole = (drel_ml.StandardScaler.from_json(start.to_json()) for _ in range(3))
    for r in rows[begin:cut]:
        a.learn_one(list(r))
    for r in rows[cut:]:
        b.learn_one(list(r))
    for r in rows[begin:]:
        whole.learn_one(list(r))
    merged = merge(a, b, start=start)
    scale = max(abs(v) for r in rows for v in r)
    probe = [0.5, -0.25]
    for m, w in zip(merged.transform_one(probe), whole.transform_one(probe)):
        assert math.isclose(m, w, rel_tol=1e-6, abs_tol=1e-9 * (1 + scale))
    assert merged.to_json().count(f'"counts":[{len(rows)},{len(rows)}]') == 1


@pytest.mark.parametrize(
    "make",
    [drel_ml.Mean, lambda: drel_ml.Variance("population"), lambda: drel_ml.StandardScaler(2)],
)
def test_an_empty_side_gives_the_other_bit_for_bit(make):
    full = make()
    for x in (0.1, -3.5, 7.25):
        full.learn_one([x, x / 3]) if isinstance(full, drel_ml.StandardScaler) else full.update(x)
    assert merge(full, make()).to_json() == full.to_json()
    assert merge(make(), full).to_json() == full.to_json()


def trained(model, rows):
    for x, y in rows:
        model.learn_one(x, y)
    return model


def copy(obj):
    return type(obj).from_json(obj.to_json())


@pytest.mark.parametrize(
    "make, target",
    [
        (lambda: drel_ml.LinearRegression(2, 0.05), lambda i: i * 0.5 - 1.0),
        (lambda: drel_ml.LogisticRegression(2, 0.05), lambda i: i % 3 == 0),
        (lambda: drel_ml.RegressionPipeline(2, 0.05), lambda i: i * 0.5 - 1.0),
        (lambda: drel_ml.ClassificationPipeline(2, 0.05), lambda i: i % 3 == 0),
    ],
)
def test_models_from_a_start(make, target):
    rows = [([math.sin(i), math.cos(i)], target(i)) for i in range(30)]
    start = trained(make(), rows[:10])
    a = trained(copy(start), rows[10:14])
    b = trained(copy(start), rows[14:30])
    merged = merge(a, b, start=start)
    assert merged.samples_seen == 30
    # A side that learned nothing since the start contributes nothing.
    assert merge(copy(start), b, start=start).to_json() == b.to_json()
    assert merge(a, copy(start), start=start).to_json() == a.to_json()
    assert merge(start, start, start=start).to_json() == start.to_json()
    # Without the start, the start's samples would be counted twice.
    assert merge(a, b).samples_seen == 14 + 26
    # Sample-weighted: 4 against 16 rows.
    wa, wb = model_weights(a), model_weights(b)
    assert model_weights(merged) == [x + (y - x) * (16 / 20) for x, y in zip(wa, wb)]


def model_weights(m) -> list[float]:
    state = json.loads(m.to_json())["model"]
    state = state.get("model", state)
    return [*state["weights"], state["intercept"]]


def test_merge_all_pairs_level_by_level():
    assert tree_reduce(list("abcde"), lambda a, b: f"({a}{b})") == "(((ab)(cd))e)"
    means = [fed(drel_ml.Mean(), [float(i)]) for i in range(5)]
    assert merge_all(means).value == 2.0
    with pytest.raises(ValueError):
        tree_reduce([], lambda a, b: a)


OVERFLOW = '{"format_version":1,"model":{"count":18446744073709551615,"mean":1.0}}'


@pytest.mark.parametrize(
    "a, b, start, error, message",
    [
        (drel_ml.EWMean(0.5), drel_ml.EWMean(0.5), None, RuntimeError,
         "an exponentially weighted mean cannot be merged"),
        (drel_ml.Mean(), drel_ml.Variance("sample"), None, TypeError,
         "merge() needs objects of one class: got 'Mean' and 'Variance'"),
        (drel_ml.Mean(), drel_ml.Mean(), drel_ml.Variance("sample"), TypeError, "one class"),
        ([1.0], [2.0], None, TypeError, "merge() takes drel_ml objects, got 'list'"),
        (MAE(), MAE(), None, TypeError, "got 'MAE', which merges in place by its own method: "
                                        "a.merge(b)"),
        (drel_ml.Variance("sample"), drel_ml.Variance("population"), None, RuntimeError,
         "cannot merge states whose variance kinds differ: sample and population"),
        (drel_ml.LinearRegression(2, 0.1), drel_ml.LinearRegression(2, 0.2), None, RuntimeError,
         "cannot merge states whose learning rates differ: 0.1 and 0.2"),
        (drel_ml.ClassificationPipeline(2, 0.1), drel_ml.ClassificationPipeline(3, 0.1), None,
         RuntimeError, "cannot merge states whose feature counts differ: 2 and 3"),
        (drel_ml.Mean.from_json(OVERFLOW), fed(drel_ml.Mean(), [1.0]), None, RuntimeError,
         "mean sample counter overflow"),
        (drel_ml.Mean(), drel_ml.Mean(), fed(drel_ml.Mean(), [1.0]), RuntimeError,
         "fewer samples than the start"),
    ],
)
def test_refusals(a, b, start, error, message):
    with pytest.raises(error) as caught:
        merge(a, b, start=start)
    assert message in str(caught.value)


def test_borrowed_inputs_may_be_one_object():
    m = fed(drel_ml.Mean(), [1.0, 2.0])
    assert merge(m, m, start=m).to_json() == m.to_json()
    assert merge(m, m).count == 4


def test_no_references_leak():
    a = fed(drel_ml.Mean(), [1.0])
    bad = drel_ml.LinearRegression(2, 0.1), drel_ml.LinearRegression(2, 0.2)
    counts = lambda: (sys.getrefcount(a), sys.getrefcount(drel_ml.Mean), *map(sys.getrefcount, bad))  # noqa: E731
    before = counts()
    for _ in range(1000):
        merge(a, a, start=a)
        with pytest.raises(RuntimeError):
            merge(*bad)
        with pytest.raises(TypeError):
            merge(a, bad[0])
    assert counts() == before


def test_importing_the_package_leaves_dask_alone():
    import subprocess

    code = "import sys, drel_ml_ext; sys.exit('dask' in sys.modules or 'pandas' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code]).returncode == 0
