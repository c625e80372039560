"""The river adapters' hashed rows through a bare model read only their non-zeros
(HashedSteps), and give what the dense rows give, bit for bit: states, predictions and
errors, over random dict streams."""

import gc
import json
import math
import re
import struct
import sys
import weakref

import pytest

pytest.importorskip("river")
hypothesis = pytest.importorskip("hypothesis")

from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import drel_ml  # noqa: E402
import drel_ml_ext  # noqa: E402
from drel_ml_ext import _native  # noqa: E402
from drel_ml_ext.river import LinearRegressor, LogisticClassifier  # noqa: E402

# Few names over few columns: names collide, and duplicates sum (to 0.0 too).
NAMES = ["a", "b", "c", "d", "colour", "size", "é", "a=x"]
NUMBERS = [0.0, -0.0, 1.0, -1.0, 0.5, 3.0, -2.5, 1e-300, 1e300, -1e300, 7]
REFUSED = [math.nan, math.inf, -math.inf]


def feature_values(refused: bool):
    values = [st.sampled_from(NUMBERS), st.floats(-1e3, 1e3), st.booleans(),
              st.sampled_from(["x", "y", "red", ""])]
    if refused:
        values.append(st.sampled_from(REFUSED))
    return st.one_of(*values)


def samples(refused: bool = False):
    return st.dictionaries(st.sampled_from(NAMES), feature_values(refused), max_size=6)


def bits(value):
    """A result as comparable bits: floats by their bytes, so that -0.0 differs from 0.0."""
    if isinstance(value, float):
        return struct.pack("<d", value)
    if isinstance(value, dict):
        return {key: bits(v) for key, v in value.items()}
    return value


def outcome(call, *args):
    try:
        return "ok", bits(call(*args))
    except Exception as error:  # noqa: BLE001 - the error is the outcome compared
        return type(error), str(error)


def dense_twin(adapter):
    """The same adapter on the dense rows it took before HashedSteps."""
    twin = adapter.clone()
    twin._sparse = False
    return twin


def states(adapter):
    if isinstance(adapter, LinearRegressor):
        return adapter.model.to_json()
    return {label: model.to_json() for label, model in adapter.models.items()}


def run_both(sparse, stream, predict_names, one_dict=False):
    """With one_dict, every sample is the same dict object, emptied and refilled: the
    steps must not take it for the sample they hashed last."""
    dense = dense_twin(sparse)
    assert sparse._sparse and not dense._sparse
    shared: dict = {}
    for x, y in stream:
        if one_dict:
            shared.clear()
            shared.update(x)
            x = shared
        for name in predict_names:
            assert outcome(getattr(sparse, name), x) == outcome(getattr(dense, name), x)
        assert outcome(sparse.learn_one, x, y) == outcome(dense.learn_one, x, y)
        assert states(sparse) == states(dense)


SETTINGS = [
    {"n_features": 8},
    {"n_features": 4, "alternate_sign": False},
    {"n_features": 2**18, "learning_rate": 0.5},
    {"n_features": 8, "l2": 0.1},  # never sparse-exact: every step is dense
    {"n_features": 8, "optimizer": "adagrad"},
    {"n_features": 8, "optimizer": "adagrad", "adagrad_epsilon": 0.0},  # an untouched rate is infinite
    {"n_features": 8, "optimizer": "adagrad", "l2": 0.01, "alternate_sign": False},
    {"n_features": 8, "learning_rate": 1e300},  # steps overflow and are refused
]


@pytest.mark.parametrize("options", SETTINGS, ids=repr)
@settings(max_examples=25, deadline=None)
@given(stream=st.lists(st.tuples(samples(refused=True), st.sampled_from(NUMBERS[:8])),
                       max_size=25))
def test_regressor_sparse_rows_are_the_dense_rows(options, stream):
    run_both(LinearRegressor(scale=False, **options), stream, ["predict_one"])


@pytest.mark.parametrize("options", SETTINGS, ids=repr)
@settings(max_examples=25, deadline=None)
@given(stream=st.lists(st.tuples(samples(refused=True), st.booleans()), max_size=25),
       one_dict=st.booleans())
def test_binary_classifier_sparse_rows_are_the_dense_rows(options, stream, one_dict):
    run_both(LogisticClassifier(scale=False, **options), stream,
             ["predict_proba_one", "predict_one"], one_dict)


@settings(max_examples=25, deadline=None)
@given(stream=st.lists(st.tuples(samples(), st.sampled_from(["cat", "dog", 3])), max_size=20))
def test_one_versus_rest_sparse_rows_are_the_dense_rows(stream):
    run_both(LogisticClassifier(scale=False, n_features=8), stream,
             ["predict_proba_one", "predict_one"])


def test_names_that_are_not_text_hash_as_their_text():
    stream = [({1: 2.0, "b": "x"}, 1.5), ({(1, 2): -1.0, 3.5: "y"}, -0.5), ({"a": 1.0}, 2.0)]
    run_both(LinearRegressor(scale=False, n_features=16), stream, ["predict_one"])
    # Text names the hasher refuses stay refused, as without text_names.
    steps = _native.HashedSteps(drel_ml_ext.FeatureHasher(4), text_names=True)
    with pytest.raises(TypeError, match="must be a real number or a string"):
        steps.learn_one(drel_ml_ext.linear_regression(4, learning_rate=0.01), {"a": [1]}, 1.0)


@pytest.mark.parametrize("input_type, x", [
    ("pair", [("a", 1.0), (1, 2.0)]), ("string", ["a", 1]), ("pair", [("a", None)])])
def test_text_names_leave_the_errors_of_a_hasher_of_pairs_or_strings(input_type, x):
    hasher = drel_ml_ext.FeatureHasher(8, input_type=input_type)
    steps = _native.HashedSteps(hasher, text_names=True)
    with pytest.raises(TypeError) as hashed:
        hasher.transform_one(x)
    with pytest.raises(TypeError, match=re.escape(str(hashed.value))):
        steps.predict_one(drel_ml_ext.linear_regression(8, learning_rate=0.1), x)


class ItemsOnly:
    """A mapping read through its items() alone: it is not iterable."""

    def __init__(self, items):
        self._items = items

    def items(self):
        return self._items.items()


@pytest.mark.parametrize("sparse", [False, True])
def test_names_that_are_not_text_are_found_by_the_items_the_hasher_reads(sparse):
    adapter = LinearRegressor(scale=False, n_features=16)
    adapter._sparse = sparse
    adapter.learn_one({"1": 2.0, "b": 1.0}, 1.5)
    assert adapter.predict_one(ItemsOnly({1: 2.0, "b": 1.0})) == adapter.predict_one(
        {"1": 2.0, "b": 1.0})
    for names in [{"a": None}, {1: None}]:  # the value's own error, not the mapping's
        with pytest.raises(TypeError, match="must be a real number or a string"):
            adapter.learn_one(ItemsOnly(names), 1.0)
    assert adapter.model.samples_seen == 1


def test_a_refused_sample_or_target_changes_nothing_and_names_the_first_fault():
    sparse = LinearRegressor(scale=False, n_features=16)
    sparse.learn_one({"a": 1.0, "b": "x"}, 2.0)
    dense = dense_twin(sparse)
    dense.learn_one({"a": 1.0, "b": "x"}, 2.0)
    before = sparse.model.to_json()
    for x, y in [({"a": math.nan}, 1.0), ({"a": 1.0}, math.inf), ({"a": math.inf}, "oops"),
                 ({"a": 1.0}, "oops"), ({"a": 1.0}, None)]:
        got = outcome(sparse.learn_one, x, y)
        assert got == outcome(dense.learn_one, x, y)
        assert got[0] != "ok"
        assert sparse.model.to_json() == before


def with_weight(model, index, value):
    """The model with one weight replaced, through its snapshot."""
    state = json.loads(model.to_json())
    state["model"]["weights"][index] = "NEGZERO"
    text = json.dumps(state).replace('"NEGZERO"', repr(value))
    return type(model).from_json(text)


@pytest.mark.parametrize("optimizer", ["sgd", "adagrad"])
def test_a_loaded_negative_zero_weight_takes_dense_steps_until_it_is_gone(optimizer):
    # A -0.0 weight flips to +0.0 on a dense step whose loss gradient is negative, where a
    # step over the non-zeros would leave it: such a model takes the dense step.
    sparse = LinearRegressor(scale=False, n_features=8, optimizer=optimizer)
    sparse.model = with_weight(sparse.model, 5, -0.0)
    dense = dense_twin(sparse)
    dense.model = with_weight(dense.model, 5, -0.0)
    stream = [({"a": 1.0}, 3.0), ({"a": 1.0}, -3.0), ({"b": "x"}, 1.0)] * 3
    for x, y in stream:
        assert outcome(sparse.predict_one, x) == outcome(dense.predict_one, x)
        sparse.learn_one(x, y)
        dense.learn_one(x, y)
        assert sparse.model.to_json() == dense.model.to_json()


def test_a_model_changed_elsewhere_is_read_again():
    hasher = drel_ml_ext.FeatureHasher(8)
    steps = _native.HashedSteps(hasher)
    model, reference = drel_ml_ext.linear_regression(8, learning_rate=0.01), drel_ml_ext.linear_regression(8, learning_rate=0.01)
    stream = [({"a": 1.0, "b": "x"}, 1.0), ({"c": -2.0}, 0.5)] * 4
    for i, (x, y) in enumerate(stream):
        row = hasher.transform_one(x)
        assert bits(steps.predict_one(model, x)) == bits(reference.predict_one(row))
        if i % 3 == 0:
            model.learn_one(row, y)  # the model's own call, unseen by the steps
        else:
            steps.learn_one(model, x, y)
        reference.learn_one(row, y)
        assert model.to_json() == reference.to_json()
    # A loaded model is another object: its own record.
    loaded = drel_ml.LinearRegression.from_json(model.to_json())
    assert bits(steps.predict_one(loaded, {"a": 1.0})) == bits(
        reference.predict_one(hasher.transform_one({"a": 1.0})))


@pytest.mark.parametrize("call", ["learn_one", "learn_each"])
def test_a_state_put_in_place_is_read_again_wherever_its_weights_land(call):
    """A state with the same sample count, and weights that may be stored where the old
    ones were: only what the state holds (here an L2 penalty) tells it apart."""
    hasher = drel_ml_ext.FeatureHasher(8)
    steps = _native.HashedSteps(hasher)

    def learn(model, x, y):
        if call == "learn_one":
            steps.learn_one(model, x, y)
        else:
            steps.learn_each([model], x, [y])

    model = drel_ml_ext.logistic_regression(8, learning_rate=0.1)
    learn(model, {"a": 1.0, "b": 2.0}, True)
    penalised = drel_ml_ext.logistic_regression(8, learning_rate=0.1, l2=0.5)
    penalised.learn_one(hasher.transform_one({"c": 1.0}), True)
    state = _native.to_bytes(penalised)
    for _ in range(4):
        _native.assign_state(model, _native.to_bytes(model))  # the weights move...
        _native.assign_state(model, state)  # ...and may come back where they were
        twin = _native.from_bytes(state)
        learn(model, {"d": 1.0}, False)
        twin.learn_one(hasher.transform_one({"d": 1.0}), False)
        assert model.to_json() == twin.to_json()


def test_hashed_steps_take_the_bare_models_only_and_keep_their_widths():
    hasher = drel_ml_ext.FeatureHasher(8)
    steps = _native.HashedSteps(hasher)
    assert steps.hasher is hasher
    with pytest.raises(TypeError, match="FeatureHasher"):
        _native.HashedSteps(object())
    with pytest.raises(TypeError, match="argument 'model'"):
        steps.learn_one(drel_ml_ext.regression_pipeline(8, learning_rate=0.01), {"a": 1.0}, 1.0)
    with pytest.raises(TypeError, match="argument 'model'"):
        steps.predict_proba_one(drel_ml_ext.linear_regression(8, learning_rate=0.01), {"a": 1.0})
    narrow = drel_ml_ext.logistic_regression(4, learning_rate=0.01)
    row = hasher.transform_one({"a": 1.0})
    for call, args in [("learn_one", (True,)), ("predict_one", ()), ("predict_proba_one", ())]:
        assert outcome(getattr(steps, call), narrow, {"a": 1.0}, *args) == outcome(
            getattr(narrow, call), row, *args)
    assert narrow.samples_seen == 0


def test_more_models_than_records():
    hasher = drel_ml_ext.FeatureHasher(16)
    steps = _native.HashedSteps(hasher)
    models = [drel_ml_ext.logistic_regression(16, learning_rate=0.01) for _ in range(40)]
    references = [drel_ml_ext.logistic_regression(16, learning_rate=0.01) for _ in range(40)]
    for i in range(3):
        for k, (model, reference) in enumerate(zip(models, references)):
            x = {"a": float(k), "b": "x" if i % 2 else "y"}
            steps.learn_one(model, x, k % 3 == 0)
            reference.learn_one(hasher.transform_one(x), k % 3 == 0)
    assert [m.to_json() for m in models] == [r.to_json() for r in references]


@pytest.mark.parametrize("change", [
    lambda x: x.__setitem__("a", 2.0),          # a value replaced
    lambda x: x.__setitem__("c", x.pop("a")),   # a name replaced, the size kept
    lambda x: x.__setitem__("b", "y"),          # a category changed
    lambda x: x.update(a=x.pop("a")),           # the same objects in another order
])
def test_a_dict_changed_after_its_prediction_is_hashed_again(change):
    hasher = drel_ml_ext.FeatureHasher(64)
    steps = _native.HashedSteps(hasher)
    model = drel_ml_ext.logistic_regression(64, learning_rate=0.5)
    reference = drel_ml_ext.logistic_regression(64, learning_rate=0.5)
    for y in (True, False, True):
        x = {"a": 1.0, "b": "x", "d": 3}
        assert bits(steps.predict_proba_one(model, x)) == bits(
            reference.predict_proba_one(hasher.transform_one(x)))
        change(x)
        steps.learn_one(model, x, y)
        reference.learn_one(hasher.transform_one(x), y)
        assert model.to_json() == reference.to_json()


def test_a_call_made_while_a_sample_is_read_has_a_row_of_its_own():
    hasher = drel_ml_ext.FeatureHasher(64)
    steps = _native.HashedSteps(hasher)
    inner, inner_reference = (drel_ml_ext.linear_regression(64, learning_rate=0.1)
                              for _ in range(2))

    class Reentrant:
        def __float__(self):
            steps.learn_one(inner, {"q": 5.0, "r": "s"}, 1.0)
            return 2.0

    outer = drel_ml_ext.linear_regression(64, learning_rate=0.1)
    outer_reference = drel_ml_ext.linear_regression(64, learning_rate=0.1)
    x = {"a": 1.0, "b": "x"}
    steps.predict_one(outer, x)  # remembered: the next call may take its row
    for _ in range(3):
        steps.learn_one(outer, {"a": Reentrant(), "b": "x"}, 1.0)
        inner_reference.learn_one(hasher.transform_one({"q": 5.0, "r": "s"}), 1.0)
        outer_reference.learn_one(hasher.transform_one({"a": 2.0, "b": "x"}), 1.0)
        steps.learn_one(outer, x, -1.0)
        outer_reference.learn_one(hasher.transform_one(x), -1.0)
    assert inner.to_json() == inner_reference.to_json()
    assert outer.to_json() == outer_reference.to_json()


def test_the_steps_hold_their_last_sample_and_models_only_while_they_need_them():
    hasher = drel_ml_ext.FeatureHasher(64)
    steps = _native.HashedSteps(hasher)
    model = drel_ml_ext.logistic_regression(64, learning_rate=0.1)
    x, name, value = {"name": "value"}, "name", "value"
    counts = [sys.getrefcount(o) for o in (x, name, value)]
    held = sys.getrefcount(model)
    for _ in range(100):
        steps.learn_one(model, x, True)
        steps.predict_proba_one(model, {"other": 1.0})  # replaces x as the last sample
    assert [sys.getrefcount(o) for o in (x, name, value)] == counts
    assert sys.getrefcount(model) == held + 1  # its record
    del steps
    assert sys.getrefcount(model) == held


class Marker:
    pass


@pytest.mark.parametrize("holder", ["steps", "adapter"])
def test_a_last_sample_that_comes_to_hold_the_steps_is_collected(holder):
    adapter = LogisticClassifier(n_features=16, scale=False)
    adapter.learn_one({"a": 1.0}, True)
    x = {"a": 1.0, "b": "x"}
    adapter.predict_proba_one(x)  # x is the steps' last sample now
    x[holder] = adapter._rows.steps if holder == "steps" else adapter
    marker = Marker()
    x["marker"], collected = marker, weakref.ref(marker)
    del adapter, x, marker
    gc.collect()
    assert collected() is None


@pytest.mark.parametrize("options", [*SETTINGS, {"n_features": 8, "learning_rate": 1e300, "scale": True}],
                         ids=repr)
@settings(max_examples=12, deadline=None)
@given(stream=st.lists(st.tuples(samples(refused=True), st.sampled_from(["cat", "dog", 3])),
                       max_size=20))
def test_one_versus_rest_learns_a_sample_in_every_class_or_in_none(options, stream):
    """With a scaler in front, both adapters take dense rows."""
    sparse = LogisticClassifier(**{"scale": False, **options})
    dense = dense_twin(sparse)
    for x, y in stream:
        results = []
        for adapter in (sparse, dense):
            before, models = states(adapter), dict(adapter.models)
            results.append(outcome(adapter.learn_one, x, y))
            if results[-1][0] != "ok":
                assert states(adapter) == before
                assert adapter.models.keys() == models.keys()
                assert all(adapter.models[label] is model for label, model in models.items())
        assert results[0] == results[1]
        assert states(sparse) == states(dense)


# A later model refuses what the earlier ones take: a rate of 1e300 overflows a weight.
TAKERS = [
    {"learning_rate": 0.1},
    {"learning_rate": 0.1, "optimizer": "adagrad"},
    {"learning_rate": 0.1, "l2": 0.5},  # not sparse-exact: its step is dense
    {"learning_rate": 0.1, "l2": 0.5, "optimizer": "adagrad"},
]


@pytest.mark.parametrize("factory", ["logistic_regression", "linear_regression"])
@pytest.mark.parametrize("taker", TAKERS, ids=repr)
def test_learn_each_puts_back_the_models_before_a_refusal(factory, taker):
    hasher = drel_ml_ext.FeatureHasher(8)
    steps = _native.HashedSteps(hasher)
    target = True if factory == "logistic_regression" else 1.0
    make = getattr(drel_ml_ext, factory)
    takers = [make(8, **taker) for _ in range(2)]
    twins = [make(8, **taker) for _ in range(2)]
    refuser = make(8, learning_rate=1e300)
    warm = {"a": 1.0, "b": -2.0, "c": "x"}
    for model, twin in zip(takers, twins):
        steps.learn_each([model], warm, [target])
        twin.learn_one(hasher.transform_one(warm), target)
    before = [m.to_json() for m in takers]
    weights = [m.weights for m in takers]
    with pytest.raises(RuntimeError, match="non-finite"):
        steps.learn_each([*takers, refuser], {"a": 1e10, "d": 3.0}, [target, target, target])
    assert [m.to_json() for m in takers] == before
    assert [m.weights for m in takers] == weights
    assert refuser.samples_seen == 0
    # What the steps remember of each model is as it was: later steps are the dense ones.
    for x in [{"a": 2.0}, {"b": -1.0, "d": "y"}, warm]:
        steps.learn_each(takers, x, [target, target])
        for twin in twins:
            twin.learn_one(hasher.transform_one(x), target)
        assert [m.to_json() for m in takers] == [t.to_json() for t in twins]


def test_learn_each_refuses_a_call_it_cannot_take_whole():
    steps = _native.HashedSteps(drel_ml_ext.FeatureHasher(4))
    a, b = (drel_ml_ext.logistic_regression(4, learning_rate=0.1) for _ in range(2))
    linear = drel_ml_ext.linear_regression(4, learning_rate=0.1)
    x = {"a": 1.0}
    for args, error, text in [
        (([a, b], x, [True]), ValueError, "2 models but 1 targets"),
        (([a, linear], x, [True, 1.0]), TypeError, r"models\[1\] is a 'LinearRegression'"),
        (([a, a], x, [True, False]), ValueError, r"models\[1\] is models\[0\]"),
        ((a, x, [True]), TypeError, "must be a list or tuple"),
        (([drel_ml.Mean()], x, [True]), TypeError, "models\\[0\\] must be LinearRegression"),
        (([a, b], x, [True, "no"]), TypeError, "ys"),
        (([a], {"a": math.nan}, [True]), ValueError, "finite"),
    ]:
        with pytest.raises(error, match=text):
            steps.learn_each(*args)
    assert a.samples_seen == b.samples_seen == linear.samples_seen == 0
    steps.learn_each([], x, [])
