"""The one list of classes in Python (drel_ml_ext._classes) against the stubs and
against what the native code accepts, which is generated from the C++ list."""

import ast
import copyreg
import pathlib

import drel_ml
import pytest

from drel_ml_ext import _classes, _native

STUBS = pathlib.Path(__file__).resolve().parents[2] / "python" / "drel_ml-stubs" / "__init__.pyi"

# One fresh object per class, for the behaviour checks below.
FRESH = {
    drel_ml.Mean: lambda: drel_ml.Mean(),
    drel_ml.Variance: lambda: drel_ml.Variance("sample"),
    drel_ml.EWMean: lambda: drel_ml.EWMean(0.5),
    drel_ml.StandardScaler: lambda: drel_ml.StandardScaler(2),
    drel_ml.LinearRegression: lambda: drel_ml.LinearRegression(2, 0.1),
    drel_ml.LogisticRegression: lambda: drel_ml.LogisticRegression(2, 0.1),
    drel_ml.RegressionPipeline: lambda: drel_ml.RegressionPipeline(2, 0.1),
    drel_ml.ClassificationPipeline: lambda: drel_ml.ClassificationPipeline(2, 0.1),
}


def stub_classes():
    tree = ast.parse(STUBS.read_text())
    return [n.name for n in tree.body if isinstance(n, ast.ClassDef) and not n.name.startswith("_")]


def test_the_list_the_stubs_and_the_runtime_name_the_same_classes():
    runtime = [name for name in drel_ml.__all__ if name != "Snapshot"]
    assert list(_classes.names(_classes.STATEFUL)) == runtime
    assert [name for name in stub_classes() if name != "Snapshot"] == runtime
    assert set(FRESH) == set(_classes.STATEFUL)


def test_the_roles_cover_the_list_once():
    kinds = [_classes.STATISTICS, _classes.SCALERS, _classes.REGRESSORS, _classes.CLASSIFIERS]
    together = [cls for kind in kinds for cls in kind]
    assert sorted(together, key=_classes.STATEFUL.index) == list(_classes.STATEFUL)
    assert set(_classes.MODELS) == set(_classes.REGRESSORS + _classes.CLASSIFIERS)
    assert set(_classes.LEARNERS) == set(_classes.SCALERS + _classes.MODELS)
    assert set(_classes.SCALED) == set(_classes.SCALERS + _classes.PIPELINES)
    assert set(_classes.PIPELINES) <= set(_classes.MODELS)
    assert set(_classes.MERGEABLE) <= set(_classes.STATEFUL)


@pytest.mark.parametrize("cls", _classes.STATEFUL, ids=lambda c: c.__name__)
def test_merging_is_refused_exactly_outside_mergeable(cls):
    obj = FRESH[cls]()
    if cls in _classes.MERGEABLE:
        assert type(_native.merge(obj, obj)) is cls
    else:
        with pytest.raises(RuntimeError):
            _native.merge(obj, obj)


@pytest.mark.parametrize("cls", _classes.STATEFUL, ids=lambda c: c.__name__)
@pytest.mark.parametrize(
    ("function", "role", "args"),
    [
        ("learn_many", "LEARNERS", ([],)),
        ("predict_many", "MODELS", ([],)),
        ("predict_proba_many", "CLASSIFIERS", ([],)),
        ("transform_many", "SCALERS", ([],)),
        ("update_many", "STATISTICS", ([],)),
    ],
)
def test_the_bulk_functions_accept_their_role(cls, function, role, args):
    obj = FRESH[cls]()
    call = getattr(_native, function)
    accepted = getattr(_classes, role)
    if cls not in accepted:
        with pytest.raises(TypeError, match="must be"):
            call(obj, *args)
        return
    try:
        call(obj, *args)
    except TypeError as error:  # y left out is the only TypeError an accepted class may get
        assert "missing required argument 'y'" in str(error)


@pytest.mark.parametrize("cls", _classes.STATEFUL, ids=lambda c: c.__name__)
def test_every_class_pickles(cls):
    assert cls in copyreg.dispatch_table
