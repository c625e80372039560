import threading
from collections.abc import Sequence

import pytest

import drel_ml
from support import CTOR_ARGS, CTOR_PARAMS, METHODS, STATEFUL, make, raises

CLASSIFIERS = {"LogisticRegression", "ClassificationPipeline"}


def valid_value(cls, param):
    if param == "x":
        return 1.0 if cls in ("Mean", "Variance", "EWMean") else [1.0, 2.0, 3.0]
    if param == "y":
        return True if cls in CLASSIFIERS else 2.0
    if param == "json":
        return make(cls).to_json()
    return make("Mean")  # obj of Snapshot.to_json


def callables():
    """(full name, callable, parameter names, valid arguments) of every parsed call."""
    for cls in STATEFUL:
        ctor = getattr(drel_ml, cls)
        yield f"{cls}.__new__()", ctor, CTOR_PARAMS[cls], CTOR_ARGS[cls]
        for meth, params in METHODS[cls].items():
            yield (f"{cls}.{meth}()", getattr(make(cls), meth), params,
                   tuple(valid_value(cls, p) for p in params))
        yield f"{cls}.from_json()", ctor.from_json, ("json",), (valid_value(cls, "json"),)
    yield "Snapshot.to_json()", drel_ml.Snapshot.to_json, ("obj",), (make("Mean"),)


CALLABLES = list(callables())
IDS = [c[0] for c in CALLABLES]


def quoted(names):
    q = [f"'{n}'" for n in names]
    return q[0] if len(q) == 1 else " and ".join(q) if len(q) == 2 else ", ".join(q[:-1]) + ", and " + q[-1]


def missing(full, names):
    word = "argument" if len(names) == 1 else "arguments"
    return f"{full} missing {len(names)} required positional {word}: {quoted(names)}"


@pytest.mark.parametrize("full,fn,params,good", CALLABLES, ids=IDS)
def test_argument_errors(full, fn, params, good):
    k = len(params)
    for n in (k + 1, k + 2):
        verb = "was" if n == 1 else "were"
        text = f"{full} takes {k} positional arguments but {n} {verb} given"
        raises(TypeError, text, fn, *range(n))
        # the positional count wins over an unknown keyword
        raises(TypeError, text, fn, *range(n), bogus=1)
    raises(TypeError, f"{full} got an unexpected keyword argument 'bogus'", fn, *good, bogus=1)
    # an unknown keyword wins over missing parameters, in the order given
    raises(TypeError, f"{full} got an unexpected keyword argument 'bogus'", fn, bogus=1, x=1)
    if k == 0:
        return
    raises(TypeError, missing(full, params), fn)
    raises(TypeError, f"{full} got multiple values for argument '{params[0]}'",
           fn, *good, **{params[0]: good[0]})
    if k == 2:
        raises(TypeError, missing(full, params[1:]), fn, good[0])
        raises(TypeError, missing(full, params[:1]), fn, **{params[1]: good[1]})
        raises(TypeError, f"{full} got multiple values for argument '{params[1]}'",
               fn, *good, **{params[1]: good[1]})
    # keywords in any order, and mixed forms
    fn(**dict(reversed(list(zip(params, good)))))
    fn(good[0], **dict(zip(params[1:], good[1:])))


def test_worked_example_texts():
    m = drel_ml.Mean()
    raises(TypeError, "Mean.__new__() takes 0 positional arguments but 1 was given", drel_ml.Mean, 1)
    raises(TypeError, "Mean.__new__() got an unexpected keyword argument 'x'", drel_ml.Mean, x=1)
    raises(TypeError, "Mean.update() missing 1 required positional argument: 'x'", m.update)
    raises(TypeError, "Mean.update() takes 1 positional arguments but 2 were given", m.update, 1, 2)
    raises(TypeError, "Mean.update() got multiple values for argument 'x'", m.update, 1, x=2)
    raises(TypeError, "Variance.__new__() missing 1 required positional argument: 'kind'",
           drel_ml.Variance)
    raises(TypeError, "Snapshot.to_json() missing 1 required positional argument: 'obj'",
           drel_ml.Snapshot.to_json)
    raises(TypeError, "LinearRegression.learn_one() missing 2 required positional arguments: "
           "'x' and 'y'", drel_ml.LinearRegression(1, 0.1).learn_one)
    assert m.count == 0


def test_parse_errors_come_before_conversion():
    m = drel_ml.LinearRegression(2, 0.1)
    raises(TypeError, "LinearRegression.learn_one() got an unexpected keyword argument 'z'",
           m.learn_one, "bad x", "bad y", z=1)
    raises(TypeError, "LinearRegression.__new__() takes 2 positional arguments but 3 were given",
           drel_ml.LinearRegression, -1, "bad", None)


# ---- borrowing ---------------------------------------------------------------


class Hook:
    """A float-convertible item that runs `action` while it is converted."""

    def __init__(self, action, catch=False):
        self.action, self.catch, self.seen = action, catch, []

    def __float__(self):
        try:
            self.action()
        except RuntimeError as e:
            if not self.catch:
                raise
            self.seen.append(str(e))
        return 1.0


class HookSeq(Sequence):
    """A user-defined sequence whose __getitem__ runs `action` first."""

    def __init__(self, items, action):
        self.items, self.action = items, action

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == 0:
            self.action()
        return self.items[i]


# (class, a call taking the exclusive borrow); two features everywhere
MODEL_CALLS = [
    ("LinearRegression", lambda m, x: m.learn_one(x, 1.0)),
    ("LogisticRegression", lambda m, x: m.learn_one(x, True)),
    ("RegressionPipeline", lambda m, x: m.learn_one(x, 1.0)),
    ("ClassificationPipeline", lambda m, x: m.learn_one(x, False)),
    ("StandardScaler", lambda m, x: m.fit_one(x)),
    ("StandardScaler", lambda m, x: m.learn_one(x)),
]
SHARED = [
    lambda m: m.predict_one([1.0, 2.0]) if hasattr(m, "predict_one") else m.transform_one([1.0, 2.0]),
    lambda m: m.samples_seen,
    lambda m: m.to_json(),
]


@pytest.mark.parametrize("cls,learn", MODEL_CALLS)
@pytest.mark.parametrize("via", ["item", "sequence"])
def test_exclusive_borrow_refuses_reentry(cls, learn, via):
    m = getattr(drel_ml, cls)(2, 0.1) if cls != "StandardScaler" else drel_ml.StandardScaler(2)
    before = m.to_json()
    calls = [(s, "Already mutably borrowed") for s in SHARED]
    calls.append((lambda m: learn(m, [1.0, 2.0]), "Already borrowed"))
    # a busy instance reports the conflict before looking at the arguments
    calls.append((lambda m: learn(m, "abc"), "Already borrowed"))
    for inner, text in calls:
        action = lambda: inner(m)  # noqa: E731
        x = [Hook(action), 2.0] if via == "item" else HookSeq([1.0, 2.0], action)
        e = raises(RuntimeError, text, learn, m, x)
        assert e.__traceback__ is not None
        assert m.to_json() == before
    learn(m, [1.0, 2.0])
    assert m.samples_seen == 1


def test_refused_inner_call_leaves_outer_call_intact():
    m = drel_ml.LinearRegression(2, 0.1)
    hook = Hook(lambda: m.predict_one([1.0, 1.0]), catch=True)
    m.learn_one([hook, 2.0], 3.0)
    assert hook.seen == ["Already mutably borrowed"]
    assert m.samples_seen == 1 and m.weights == [0.30000000000000004, 0.6000000000000001]


def test_argument_errors_precede_the_borrow():
    m = drel_ml.LinearRegression(2, 0.1)
    hook = Hook(lambda: m.learn_one())
    with pytest.raises(TypeError, match="missing 2 required positional arguments"):
        m.learn_one([hook, 1.0], 1.0)


def test_target_conversion_conflict_carries_the_note():
    m = drel_ml.LinearRegression(2, 0.1)
    raises(RuntimeError, "Already mutably borrowed", m.learn_one, [1.0, 2.0],
           Hook(lambda: m.weights), note="while processing 'y'")
    s = drel_ml.Mean()
    raises(RuntimeError, "Already mutably borrowed", s.update, Hook(lambda: s.value),
           note="while processing 'x'")
    raises(RuntimeError, "Already borrowed", s.update, Hook(lambda: s.update(1.0)),
           note="while processing 'x'")
    assert (s.count, s.value, m.samples_seen) == (0, 0.0, 0)


@pytest.mark.parametrize("cls", ["LinearRegression", "LogisticRegression",
                                 "RegressionPipeline", "ClassificationPipeline"])
def test_shared_borrows_nest(cls):
    m = getattr(drel_ml, cls)(2, 0.1)
    y = True if cls in CLASSIFIERS else 1.0
    inner = []
    deepest = Hook(lambda: (m.samples_seen, m.to_json()))
    hook = Hook(lambda: inner.append(m.predict_one([deepest, 1.0])))
    assert m.predict_one([hook, 2.0]) == m.predict_one([1.0, 2.0])
    assert len(inner) == 1
    # an exclusive call inside a shared one is refused
    raises(RuntimeError, "Already borrowed", m.predict_one,
           [Hook(lambda: m.learn_one([1.0, 1.0], y)), 2.0])
    assert m.samples_seen == 0


def test_other_threads_are_refused_while_a_borrow_is_held():
    m = drel_ml.LinearRegression(2, 0.1)
    inside, done, seen = threading.Event(), threading.Event(), []

    def slow():  # learn_one holds the borrow while the other thread runs
        inside.set()
        assert done.wait(30)

    def other():
        inside.wait(30)
        for call in (lambda: m.predict_one([1.0, 2.0]), lambda: m.learn_one([1.0, 2.0], 1.0)):
            try:
                call()
            except RuntimeError as e:
                seen.append(str(e))
        done.set()

    thread = threading.Thread(target=other)
    thread.start()
    m.learn_one([Hook(slow), 2.0], 3.0)
    thread.join()
    assert seen == ["Already mutably borrowed", "Already borrowed"] and m.samples_seen == 1


@pytest.mark.parametrize("cls", ["LinearRegression", "ClassificationPipeline", "Mean"])
def test_threads_sharing_one_object_are_serialised(cls):
    # Calls that run no Python code while they hold the borrow never meet one
    # another's borrow, however the threads interleave.
    m = make(cls)
    y = True if cls in CLASSIFIERS else 2.0
    calls = ([lambda: m.update(1.5), lambda: m.value] if cls == "Mean" else
             [lambda: m.learn_one([1.0, 2.0, 3.0], y), lambda: m.predict_one((1.0, 2.0, 3.0))])
    errors, rounds = [], 5_000

    def work():
        try:
            for _ in range(rounds):
                for call in calls:
                    call()
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert (m.count if cls == "Mean" else m.samples_seen) == 4 * rounds
