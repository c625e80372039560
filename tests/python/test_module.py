import gc
import importlib
import importlib.util
import weakref

import pytest

import drel_ml
from support import CTOR_PARAMS, METHODS, NAMES, PROPERTIES, STATEFUL, make

CLASS_DOCS = {
    "Mean": "Online mean accumulator.",
    "Variance": "Online variance (Welford). `value`/`stddev` return `None` until enough\n"
                "samples have been observed.",
    "EWMean": "Exponentially weighted mean.",
    "StandardScaler": "Online standard scaler.",
    "LinearRegression": "Online linear regression.",
    "LogisticRegression": "Online logistic regression.",
    "RegressionPipeline": "Regression pipeline: `StandardScaler` + `LinearRegression`.",
    "ClassificationPipeline": "Classification pipeline: `StandardScaler` + `LogisticRegression`.",
    "Snapshot": "Snapshot helper namespace.\n\nEach model class already exposes its own "
                "`to_json` method (serialization\nvia `Snapshot<T>`). `Snapshot` is exported "
                "as a namespace marker so\ndownstream code can feature-detect the binding at "
                "runtime.",
}

# (class, member, text signature, description after the signature)
MEMBER_DOCS = [
    (cls, meth, "($self, " + ", ".join(params) + ")", None)
    for cls, table in METHODS.items() for meth, params in table.items()
] + [(cls, "to_json", "($self)", None) for cls in STATEFUL] + [
    (cls, "from_json", "(json)", None) for cls in STATEFUL
] + [
    ("Snapshot", "format_version", "()",
     "Returns the snapshot format version supported by this build."),
    ("Snapshot", "to_json", "(obj)", "Serialize any object exposing a `to_json` method."),
]


def public(cls):
    return {n for n in dir(cls) if not n.startswith("_")}


def test_module_surface():
    assert drel_ml.__all__ == NAMES
    assert drel_ml.__doc__ == ""
    assert {n for n in dir(drel_ml) if not n.startswith("__")} == set(NAMES)
    assert not hasattr(drel_ml, "PanicException")


@pytest.mark.parametrize("name", NAMES)
def test_class_object(name):
    cls = getattr(drel_ml, name)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)
    assert cls.__bases__ == (object,)
    assert cls.__doc__ == CLASS_DOCS[name]
    sig = None if name == "Snapshot" else "(" + ", ".join(CTOR_PARAMS[name]) + ")"
    assert cls.__text_signature__ == sig
    assert "__init__" not in vars(cls)
    assert ("__new__" in vars(cls)) == (name != "Snapshot")
    for hook in ("__eq__", "__hash__", "__repr__", "__reduce__", "__getstate__"):
        assert hook not in vars(cls)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cls,member,sig,doc", MEMBER_DOCS)
def test_member_docstrings(cls, member, sig, doc):
    fn = getattr(getattr(drel_ml, cls), member)
    assert fn.__text_signature__ == sig
    assert fn.__doc__ == doc


def test_static_methods():
    for name in STATEFUL:
        assert isinstance(vars(getattr(drel_ml, name))["from_json"], staticmethod)
    for member in ("format_version", "to_json"):
        assert isinstance(vars(drel_ml.Snapshot)[member], staticmethod)


# Exact sets: what is absent (predict_proba_one of the regressors, weights of the
# pipelines, any intercept or learning rate, EWMean's count) is checked too.
@pytest.mark.parametrize("name", STATEFUL)
def test_member_sets(name):
    cls = getattr(drel_ml, name)
    expected = set(METHODS[name]) | set(PROPERTIES[name]) | {"to_json", "from_json"}
    assert public(cls) == expected
    assert public(drel_ml.Snapshot) == {"format_version", "to_json"}
    for prop in PROPERTIES[name]:
        descriptor = vars(cls)[prop]
        assert type(descriptor).__name__ == "getset_descriptor"
        assert descriptor.__doc__ is None


@pytest.mark.parametrize("name", STATEFUL)
def test_instances_are_closed(name):
    obj = make(name)
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not gc.is_tracked(obj)
    # No pickling of its own: test_pickling checks the refusal in a fresh
    # interpreter, since importing drel_ml_ext (as other tests do) registers it.
    before = {p: getattr(obj, p) for p in PROPERTIES[name]}
    for prop in PROPERTIES[name]:
        with pytest.raises(AttributeError):
            setattr(obj, prop, 1.0)
        with pytest.raises(AttributeError):
            delattr(obj, prop)
    assert {p: getattr(obj, p) for p in PROPERTIES[name]} == before


def test_snapshot_is_not_instantiable():
    with pytest.raises(TypeError):
        drel_ml.Snapshot()
    assert drel_ml.Snapshot.format_version() == 1
    assert type(drel_ml.Snapshot.format_version()) is int


def test_reload_keeps_class_objects():
    classes = [getattr(drel_ml, n) for n in NAMES]
    again = importlib.reload(drel_ml)
    assert [getattr(again, n) for n in NAMES] == classes
    assert all(getattr(again, n) is c for n, c in zip(NAMES, classes))


def fresh_module(prepare=None):
    found = importlib.util.find_spec("drel_ml")
    module = importlib.util.module_from_spec(found)
    if prepare:
        prepare(module)
    found.loader.exec_module(module)
    return module


def test_second_module_object_shares_the_classes():
    module = fresh_module()
    assert module is not drel_ml
    assert module.__all__ == NAMES
    assert all(getattr(module, n) is getattr(drel_ml, n) for n in NAMES)


def test_existing_all_list_is_extended():
    module = fresh_module(lambda m: setattr(m, "__all__", ["first"]))
    assert module.__all__ == ["first"] + NAMES


def test_all_that_is_not_a_list_fails_execution():
    with pytest.raises(TypeError):
        fresh_module(lambda m: setattr(m, "__all__", ("first",)))
