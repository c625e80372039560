"""The tables the native code derives from the core's declarations (the optimizers,
the snapshot records) against the Python surface written by hand as their
documentation: the factories' and estimators' signatures, the literal types."""

import inspect
import json
import typing

import pytest

import drel_ml_ext as e
from drel_ml_ext import _config, _native
from test_class_lists import FRESH

FACTORIES = (e.linear_regression, e.logistic_regression, e.regression_pipeline,
             e.classification_pipeline)


def test_the_optimizer_literal_names_every_optimizer_in_order():
    assert typing.get_args(_config.OptimizerName) == tuple(_native.optimizer_table())


def test_every_optimizer_keyword_has_one_default():
    table = _native.optimizer_table()
    for keyword in _config.OPTIMIZER_KEYWORDS:
        defaults = {settings[keyword] for settings in table.values() if keyword in settings}
        assert len(defaults) == 1, keyword


def signature_defaults(function):
    return {name: p.default for name, p in inspect.signature(function).parameters.items()}


def expected_defaults():
    table = _native.optimizer_table()
    merged = {keyword: value for settings in table.values() for keyword, value in settings.items()}
    return {"optimizer": next(iter(table)), **merged}


def check_signature(function, required=()):
    defaults = signature_defaults(function)
    for keyword, default in expected_defaults().items():
        assert keyword in defaults, f"{function.__qualname__} has no `{keyword}`"
        if keyword in required:
            assert defaults[keyword] is inspect.Parameter.empty
        else:
            assert defaults[keyword] == default, keyword


@pytest.mark.parametrize("factory", FACTORIES, ids=lambda f: f.__name__)
def test_factories_take_every_optimizer_keyword_with_its_default(factory):
    check_signature(factory, required=("learning_rate",))


def test_estimators_take_every_optimizer_keyword_with_its_default():
    sklearn = pytest.importorskip("drel_ml_ext.sklearn")
    assert typing.get_args(sklearn.Optimizer) == tuple(_native.optimizer_table())
    for estimator in (sklearn.OnlineLinearRegressor, sklearn.OnlineLogisticClassifier):
        check_signature(estimator.__init__)


def test_river_adapters_take_every_optimizer_keyword_with_its_default():
    river = pytest.importorskip("drel_ml_ext.river")
    for adapter in (river.LinearRegressor, river.LogisticClassifier):
        check_signature(adapter.__init__)


def test_an_unknown_optimizer_names_the_table_choices():
    names = _config.choices_text(tuple(_native.optimizer_table()))
    with pytest.raises(ValueError, match=f"^unknown optimizer: 'adam' \\(expected {names}\\)"):
        e.linear_regression(2, learning_rate=0.1, optimizer="adam")


@pytest.mark.parametrize(("names", "text"), [
    (("a",), "'a'"), (("a", "b"), "'a' or 'b'"), (("a", "b", "c"), "'a', 'b' or 'c'"),
])
def test_choices_text(names, text):
    assert _config.choices_text(names) == text


@pytest.mark.parametrize("cls", list(FRESH), ids=lambda c: c.__name__)
def test_record_keys_are_what_to_json_writes(cls):
    record = json.loads(FRESH[cls]().to_json())["model"]
    assert _native.record_keys()[cls.__name__] == tuple(record)


def test_record_keys_name_every_class_in_order():
    assert list(_native.record_keys()) == [cls.__name__ for cls in FRESH]
