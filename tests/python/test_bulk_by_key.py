"""learn_many_by_key and update_many_by_key: each key's object ends as
learn_many / update_many on its own slice leaves it; all or nothing for the
whole call; the argument errors."""

import json

import pytest

import drel_ml
import bulk_support as b
from drel_ml_ext import learn_many, learn_many_by_key, update_many, update_many_by_key
from drel_ml_ext._native import learn_each
from support import raises

np = pytest.importorskip("numpy")


def _grouped(rng, keys, rows, with_empty=True):
    sizes = rng.integers(0 if with_empty else 1, 2 * rows // keys + 1, size=keys)
    return np.concatenate([[0], np.cumsum(sizes)]).astype(np.int64)


def _data(name, rng, n):
    X = rng.normal(size=(n, b.FEATURES))
    y = rng.random(n) < 0.5 if name in b.CLASSIFIERS else rng.normal(size=n)
    return X, (None if name == "StandardScaler" else y)


# X forms: in place, converted a block at a time (float32, F order, with keys
# spanning the blocks), and rows converted one by one.
X_FORMS = {
    "float64": lambda X: X,
    "float32": lambda X: X.astype(np.float32),
    "fortran": np.asfortranarray,
    "lists": lambda X: X.tolist(),
}


@pytest.mark.parametrize("form", X_FORMS)
@pytest.mark.parametrize("name", b.LEARNERS)
def test_each_key_learns_its_slice_as_learn_many_does(name, form):
    rng = np.random.default_rng(7)
    offsets = _grouped(rng, 40, 600)
    n = int(offsets[-1])
    if form == "float32":  # more rows than one converted block
        offsets = offsets * 40
        n = int(offsets[-1])
    X, y = _data(name, rng, n)
    objects = [b.make(name) for _ in range(len(offsets) - 1)]
    expected = [b.make(name) for _ in objects]
    Xf = X_FORMS[form](X)
    for k, obj in enumerate(expected):
        lo, hi = offsets[k], offsets[k + 1]
        if y is None:
            learn_many(obj, Xf[lo:hi])
        else:
            learn_many(obj, Xf[lo:hi], y[lo:hi])
    learn_many_by_key(objects, Xf, y, offsets)
    assert [o.to_json() for o in objects] == [o.to_json() for o in expected]


@pytest.mark.parametrize("name", b.STATISTICS)
def test_each_statistic_takes_its_slice_as_update_many_does(name):
    rng = np.random.default_rng(3)
    offsets = _grouped(rng, 30, 300)
    xs = rng.normal(size=int(offsets[-1]))
    stats = tuple(b.make(name) for _ in range(len(offsets) - 1))
    expected = [b.make(name) for _ in stats]
    for k, s in enumerate(expected):
        update_many(s, xs[offsets[k]:offsets[k + 1]])
    update_many_by_key(stats, xs.tolist(), offsets.tolist())
    assert [s.to_json() for s in stats] == [s.to_json() for s in expected]


def test_a_refused_row_changes_no_object():
    objects = [drel_ml.LinearRegression(2, 0.1) for _ in range(3)]
    before = [o.to_json() for o in objects]
    X = np.ones((6, 2))
    X[4, 1] = np.nan
    raises(RuntimeError, "non-finite value for `feature`: NaN (row 4, objects[2])",
           learn_many_by_key, objects, X, np.ones(6), [0, 2, 3, 6])
    assert [o.to_json() for o in objects] == before
    # A row that cannot be converted, after keys that would have learned.
    e = raises(TypeError, "must be real number, not NoneType (row 3)", learn_many_by_key,
               objects, [[1.0, 2.0]] * 3 + [[1.0, None]], [1.0] * 4, [0, 1, 2, 4],
               note="while processing 'X'")
    assert isinstance(e.__cause__, TypeError)
    assert [o.to_json() for o in objects] == before


def test_objects_are_borrowed_for_the_whole_call():
    a, c = drel_ml.LinearRegression(1, 0.1), drel_ml.LinearRegression(1, 0.1)

    def rows():
        yield [1.0]
        c.learn_one([1.0], 1.0)  # in use by the call
        yield [2.0]

    with pytest.raises(RuntimeError, match="Already borrowed") as info:
        learn_many_by_key([a, c], rows(), [1.0, 2.0], [0, 1, 2])
    assert info.value.__notes__ == ["at row 1", "while processing 'X'"]  # as learn_many says
    assert a.samples_seen == c.samples_seen == 0
    learn_many_by_key([a, c], [[1.0], [2.0]], [1.0, 2.0], [0, 1, 2])
    assert a.samples_seen == c.samples_seen == 1


M = drel_ml.Mean


@pytest.mark.parametrize("args, error, message", [
    ((M(), [1.0], [0, 1]), TypeError,
     "update_many_by_key() argument 'statistics' must be a list or tuple, not 'Mean'"),
    (([1.5], [1.0], [0, 1]), TypeError,
     "update_many_by_key() statistics[0] must be Mean, EWMean or Variance, not 'float'"),
    (([M(), drel_ml.Variance("sample")], [1.0], [0, 1, 1]), TypeError,
     "update_many_by_key() statistics[1] is a 'Variance', but statistics[0] is a 'Mean': "
     "one class per call"),
    (([M(), M()], [1.0], [0, 1]), ValueError,
     "update_many_by_key() offsets holds 2 positions, expected 3 (one more than statistics)"),
    (([M()], [1.0], [1, 1]), ValueError, "update_many_by_key() offsets[0] is 1, expected 0"),
    (([M(), M()], [1.0], [0, 1, 0]), ValueError,
     "update_many_by_key() offsets decrease at offsets[2]: 0 after 1"),
    (([M()], [1.0, 2.0], [0, 1]), ValueError,
     "update_many_by_key() offsets[-1] is 1, but xs has 2 rows"),
    (([M()], [1.0], [0, -1]), ValueError, "update_many_by_key() offsets[1] is negative"),
    (([M()], [1.0], np.array([0, -1])), ValueError, "update_many_by_key() offsets[1] is negative"),
    (([M()], [1.0], [0, 1.0]), TypeError,
     "'float' object cannot be interpreted as an integer"),
    (([M()], [1.0]), TypeError, "update_many_by_key() takes 3 positional arguments (2 given)"),
])
def test_argument_errors(args, error, message):
    raises(error, message, update_many_by_key, *args)


def test_the_same_object_twice_and_targets_are_refused():
    m = drel_ml.LinearRegression(1, 0.1)
    raises(ValueError, "learn_many_by_key() objects[2] is objects[0]: each key needs an object "
           "of its own", learn_many_by_key, [m, drel_ml.LinearRegression(1, 0.1), m],
           [[1.0]], [1.0], [0, 1, 1, 1])
    raises(TypeError, "learn_many_by_key() needs y: a LinearRegression learns from X and y",
           learn_many_by_key, [m], [[1.0]], None, [0, 1])
    raises(TypeError, "learn_many_by_key() got y, but a StandardScaler learns from X alone: "
           "pass None", learn_many_by_key, [drel_ml.StandardScaler(1)], [[1.0]], [1.0], [0, 1])
    assert m.samples_seen == 0
    learn_many_by_key([], np.empty((0, 3)), [], np.zeros(1, dtype=np.int32))
    learn_many_by_key((), [], None, [0])  # no objects: no class to want or refuse y


# ---- learn_each: one sample, many models, all or none ------------------------------


def _primed(name, k):
    model = b.make(name)
    learn_many(model, [[1.0, 2.0, 3.0], [0.5, -1.0, 2.0 + k]],
               [True, False] if name in b.CLASSIFIERS else [1.0, -2.0])
    return model


def _refusing(name):
    """A model whose next step overflows a weight: its rate is 1e308 and its
    weights near the largest double."""
    model = _primed(name, 9)
    doc = json.loads(model.to_json())
    inner = doc["model"]["model"] if "Pipeline" in name else doc["model"]
    inner["optimizer"]["Sgd"]["config"]["learning_rate"] = 1e308
    inner["weights"] = [1e308, -1e308, 1e308]
    return type(model).from_json(json.dumps(doc))


@pytest.mark.parametrize("name", b.MODELS)
def test_learn_each_is_each_models_learn_one(name):
    models = [_primed(name, k) for k in range(3)]
    twins = [type(m).from_json(m.to_json()) for m in models]
    ys = [True, False, True] if name in b.CLASSIFIERS else [0.5, -1.0, 2.0]
    x = [0.25, -3.0, 1.5]
    learn_each(models, np.array(x), ys)
    for twin, y in zip(twins, ys):
        twin.learn_one(x, y)
    assert [m.to_json() for m in models] == [t.to_json() for t in twins]


# Whichever model refuses, every model is left as it was: a pipeline's refused
# step would keep the sample in its scaler, the refusing one's included.
@pytest.mark.parametrize("refusing", [0, 1, 2])
@pytest.mark.parametrize("name", b.MODELS)
def test_learn_each_refused_by_any_model_changes_none(name, refusing):
    models = [_primed(name, k) for k in range(3)]
    models[refusing] = _refusing(name)
    before = [m.to_json() for m in models]
    y = True if name in b.CLASSIFIERS else 1.0
    with pytest.raises(RuntimeError, match="non-finite value"):
        learn_each(models, [5.0, -7.0, 9.0], [y] * 3)
    assert [m.to_json() for m in models] == before


def test_learn_each_argument_errors():
    a, c = drel_ml.LinearRegression(2, 0.1), drel_ml.LinearRegression(2, 0.1)
    raises(ValueError, "learn_each(): 2 models but 1 targets", learn_each, [a, c], [1.0, 2.0],
           [1.0])
    raises(TypeError, "learn_each() argument 'ys' must be a list or tuple, not 'float'",
           learn_each, [a], [1.0, 2.0], 1.0)
    raises(ValueError, "learn_each() models[1] is models[0]: each key needs an object of its own",
           learn_each, [a, a], [1.0, 2.0], [1.0, 1.0])
    raises(TypeError, "learn_each() models[1] is a 'LogisticRegression', but models[0] is a "
           "'LinearRegression': one class per call", learn_each,
           [a, drel_ml.LogisticRegression(2, 0.1)], [1.0, 2.0], [1.0, True])
    raises(TypeError, "must be real number, not str", learn_each, [a, c], [1.0, 2.0],
           [1.0, "2"], note="while processing 'ys'")
    raises(TypeError, "must be real number, not NoneType", learn_each, [a, c], [1.0, None],
           [1.0, 2.0], note="while processing 'x'")
    raises(RuntimeError, "dimension mismatch: expected 2, got 3", learn_each, [a, c],
           [1.0, 2.0, 3.0], [1.0, 2.0])
    learn_each([], [1.0], [])
    assert a.samples_seen == c.samples_seen == 0
