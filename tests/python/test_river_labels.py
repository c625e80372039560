"""The river classifier's labels: hostile ones, ones that cannot key a class, and a call
stopped once its native step has run."""

import math
import threading

import pytest

pytest.importorskip("river")
np = pytest.importorskip("numpy")

from drel_ml_ext import river as adapters  # noqa: E402
from drel_ml_ext.river import LogisticClassifier  # noqa: E402

# Hashed rows into bare models (HashedSteps.learn_each), dense rows behind a scaler.
LAYOUTS = [{"n_features": 8, "scale": False}, {"n_features": 8, "scale": True}]


def state(classifier):
    return {label: model.to_json() for label, model in classifier.models.items()}


class Hook:
    """Calls back into the classifier once, from its __eq__, __hash__ or __float__; a
    label (or feature value) equal to its name."""

    def __init__(self, name, where, call):
        self.name, self.where, self.call, self.raised = name, where, call, None

    def _fire(self, where):
        if self.where == where and self.call is not None:
            call, self.call = self.call, None
            try:
                call()
            except RuntimeError as error:
                self.raised = error

    def __hash__(self):
        self._fire("hash")
        return hash(self.name)

    def __eq__(self, other):
        self._fire("eq")
        return self.name == getattr(other, "name", other)

    def __float__(self):
        self._fire("float")
        return 1.0

    def __repr__(self):
        return f"Hook({self.name!r})"


@pytest.mark.parametrize("layout", LAYOUTS, ids=repr)
@pytest.mark.parametrize("where", ["eq", "hash", "float"])
def test_a_call_from_inside_learn_one_is_refused_and_the_outer_one_is_whole(layout, where):
    classifier, twin = LogisticClassifier(**layout), LogisticClassifier(**layout)
    hook = Hook("outer", where, None)
    samples = [({"a": 1.0}, "first")]
    if where == "eq":  # a known label's __eq__ runs against the new sample's
        samples.append(({"a": 1.0}, hook))
    for x, y in samples:
        classifier.learn_one(x, y)
        twin.learn_one(x, y)
    hook.call = lambda: classifier.learn_one({"b": 2.0}, "inner")
    classifier.learn_one({"a": hook} if where == "float" else {"a": 1.0},
                         hook if where == "hash" else "outer")
    twin.learn_one({"a": 1.0}, "outer")
    assert hook.raised is not None and "learning another sample" in str(hook.raised)
    assert list(classifier.models) == list(twin.models) and "inner" not in classifier.models
    assert list(state(classifier).values()) == list(state(twin).values())
    for model in (classifier, twin):  # the guard is let go of
        model.learn_one({"b": 2.0}, "inner")
    assert list(state(classifier).values()) == list(state(twin).values())


@pytest.mark.parametrize("layout", LAYOUTS, ids=repr)
def test_a_hook_that_lets_the_refusal_through_changes_nothing(layout):
    classifier = LogisticClassifier(**layout)
    classifier.learn_one({"a": 1.0}, "first")
    before = state(classifier)

    def inner():
        raise_through = classifier.learn_one
        hook.call = None
        raise_through({"b": 2.0}, "inner")

    class Raising(Hook):
        def _fire(self, where):
            if self.call is not None:
                self.call()

    hook = Raising("outer", "hash", inner)
    with pytest.raises(RuntimeError, match="learning another sample"):
        classifier.learn_one({"a": 1.0}, hook)
    assert state(classifier) == before
    classifier.learn_one({"a": 1.0}, "second")
    assert set(classifier.models) == {"first", "second"}


@pytest.mark.parametrize("layout", LAYOUTS, ids=repr)
def test_labels_that_cannot_key_a_class_are_refused_before_any_change(layout):
    classifier = LogisticClassifier(**layout)
    classifier.learn_one({"a": 1.0}, "first")
    before = state(classifier)
    for label, error, text in [
        (math.nan, ValueError, "not equal to itself"),
        (np.float64("nan"), ValueError, "not equal to itself"),
        (np.array([1]), TypeError, "must be hashable.*'ndarray'"),
        ([1, 2], TypeError, "must be hashable.*'list'"),
    ]:
        with pytest.raises(error, match=text):
            classifier.learn_one({"a": 1.0}, label)
        assert state(classifier) == before


def test_a_labels_eq_is_read_for_its_truth_as_a_dict_reads_it():
    class Truthy:
        def __eq__(self, other):
            return 1 if self is other else 0

        def __hash__(self):
            return 1

    classifier = LogisticClassifier(n_features=8, scale=False)
    a, b = Truthy(), Truthy()
    classifier.learn_one({"a": 1.0}, a)
    classifier.learn_one({"a": -1.0}, b)
    assert list(classifier.models) == [a, b]
    # numpy's scalars key the class of the equal Python number.
    classifier = LogisticClassifier(n_features=8, scale=False)
    for label in (np.int64(1), 2, 1.0, np.str_("x"), "x"):
        classifier.learn_one({"a": 1.0}, label)
    assert list(classifier.models) == [1, 2, "x"]


class Interrupting:
    """A learn_each that takes the sample, then is stopped by Ctrl-C on its way back."""

    def __init__(self, learn_each):
        self.learn_each_of = learn_each

    def __getattr__(self, name):  # the steps' other calls
        return getattr(self.learn_each_of.__self__, name)

    def learn_each(self, *args):
        self.learn_each_of(*args)
        raise KeyboardInterrupt


@pytest.mark.parametrize("layout", LAYOUTS, ids=repr)
def test_ctrl_c_after_the_step_keeps_the_new_class_that_took_it(layout, monkeypatch):
    classifier = LogisticClassifier(**layout)
    for x, y in [({"a": 1.0}, "a"), ({"b": 1.0}, "b")]:
        classifier.learn_one(x, y)
    if classifier._sparse:
        monkeypatch.setattr(classifier._rows, "steps", Interrupting(classifier._rows.steps.learn_each))
    else:
        monkeypatch.setattr(adapters._native, "learn_each",
                            Interrupting(adapters._native.learn_each).learn_each)
    with pytest.raises(KeyboardInterrupt):
        classifier.learn_one({"c": 1.0}, "c")
    assert list(classifier.models) == ["a", "b", "c"]
    assert [model.samples_seen for model in classifier.models.values()] == [3, 2, 1]


def test_a_call_from_another_thread_meanwhile_is_refused_too():
    classifier = LogisticClassifier(n_features=8, scale=False)
    classifier.learn_one({"a": 1.0}, "first")
    refused = []

    def other_thread():
        try:
            classifier.learn_one({"b": 1.0}, "other")
        except RuntimeError as error:
            refused.append(error)

    def meanwhile():  # runs inside the first call, which waits for the other thread
        thread = threading.Thread(target=other_thread)
        thread.start()
        thread.join()

    hook = Hook("outer", "hash", meanwhile)
    classifier.learn_one({"a": 1.0}, hook)
    assert len(refused) == 1 and "learning another sample" in str(refused[0])
    assert list(classifier.models) == ["first", "outer"]
