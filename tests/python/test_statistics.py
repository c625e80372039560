import math

import pytest

import drel_ml
from support import raises

INF, NAN = math.inf, math.nan


def test_mean_surface():
    m = drel_ml.Mean()
    assert (m.value, m.count) == (0.0, 0) and type(m.value) is float and type(m.count) is int
    assert [m.update(v) for v in (1, 2, 3, 4)] == [None] * 4
    assert (m.value, m.count) == (2.5, 4)


@pytest.mark.parametrize("kind,values,value,stddev", [
    ("population", [], None, None),
    ("sample", [], None, None),
    ("population", [3.0], 0.0, 0.0),
    ("sample", [3.0], None, None),
    ("population", [2, 4, 4, 4, 5, 5, 7, 9], 4.0, 2.0),
    ("sample", [2, 4, 4, 4, 5, 5, 7, 9], 4.571428571428571, math.sqrt(4.571428571428571)),
    ("sample", [1, 2, 3, 4], 1.6666666666666667, math.sqrt(1.6666666666666667)),
])
def test_variance_absent_until_enough_values(kind, values, value, stddev):
    v = drel_ml.Variance(kind=kind)
    for x in values:
        v.update(x)
    assert v.value == value and v.stddev == stddev
    assert v.count == len(values) and type(v.count) is int
    assert v.mean == (sum(values) / len(values) if values else 0.0) and type(v.mean) is float


@pytest.mark.parametrize("alpha,text", [
    (0, "invalid parameter `alpha`: 0"), (-0.0, "invalid parameter `alpha`: -0"),
    (-0.5, "invalid parameter `alpha`: -0.5"), (1.5, "invalid parameter `alpha`: 1.5"),
    (1.0000000000000002, "invalid parameter `alpha`: 1.0000000000000002"),
    (-1e-7, "invalid parameter `alpha`: -0.0000001"),
    (NAN, "non-finite value for `alpha`: NaN"), (INF, "non-finite value for `alpha`: inf"),
    (-INF, "non-finite value for `alpha`: -inf"),
])
def test_ewmean_rejects_alpha(alpha, text):
    raises(RuntimeError, text, drel_ml.EWMean, alpha)


def test_ewmean_weights_and_first_value():
    assert drel_ml.EWMean(5e-324).value == 0.0
    e = drel_ml.EWMean(alpha=0.5)
    with pytest.raises(RuntimeError):
        e.update(NAN)
    for x, expected in [(10, 10.0), (20, 15.0), (0, 7.5)]:
        e.update(x)
        assert e.value == expected  # the first accepted value is taken outright
    one = drel_ml.EWMean(1)
    for x in (3.0, -8.25, 1e300):
        one.update(x)
        assert one.value == x


def walk_to_minus_1e308(stat):
    stat.update(-1e308)
    return stat


# (factory, rejected value, message)
REJECTIONS = [
    (factory, bad, f"non-finite value for `value`: {text}")
    for factory in (drel_ml.Mean, lambda: drel_ml.Variance("sample"), lambda: drel_ml.EWMean(0.3))
    for bad, text in ((NAN, "NaN"), (INF, "inf"), (-INF, "-inf"))
] + [
    (lambda: walk_to_minus_1e308(drel_ml.Mean()), 1e308, "non-finite value for `mean delta`: inf"),
    (lambda: walk_to_minus_1e308(drel_ml.Variance("population")), 1e308,
     "non-finite value for `variance delta`: inf"),
]


@pytest.mark.parametrize("factory,bad,text", REJECTIONS)
def test_rejected_update_changes_nothing(factory, bad, text):
    stat = factory()
    before = stat.to_json(), stat.value
    raises(RuntimeError, text, stat.update, bad)
    assert (stat.to_json(), stat.value) == before
    stat.update(x=-1e308)  # still usable
