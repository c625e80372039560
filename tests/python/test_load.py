"""drel_ml_ext.load: a snapshot of any of the eight classes comes back as an object of its
class; anything else is refused, saying what it is not, or with the class reader's message."""

from __future__ import annotations

import json

import pytest

import drel_ml
import drel_ml_ext
import drel_ml_ext.metrics


def learned(obj, rows):
    for row in rows:
        obj.learn_one(*row) if hasattr(obj, "learn_one") else obj.update(*row)
    return obj


CLASSES = ("Mean", "EWMean", "Variance", "StandardScaler", "LinearRegression",
           "LogisticRegression", "RegressionPipeline", "ClassificationPipeline")
REGRESSION_ROWS = [([1.0, 2.0], 3.0), ([0.5, -1.0], 0.25), ([2.0, 0.0], -1.0)]
CLASSIFICATION_ROWS = [(x, y > 0) for x, y in REGRESSION_ROWS]

# Every class, in its plain and (through drel_ml_ext's factories) other configurations.
OBJECTS = {
    "Mean": lambda: learned(drel_ml.Mean(), [(1.0,), (2.5,)]),
    "EWMean": lambda: learned(drel_ml.EWMean(0.3), [(1.0,), (2.5,)]),
    "Variance": lambda: learned(drel_ml.Variance("sample"), [(1.0,), (2.5,), (4.0,)]),
    "StandardScaler": lambda: learned(drel_ml.StandardScaler(2), [([1.0, 2.0],), ([3.0, 5.0],)]),
    "StandardScaler, unscaled": lambda: drel_ml_ext.standard_scaler(3, with_std=False),
    "LinearRegression": lambda: learned(drel_ml.LinearRegression(2, 0.1), REGRESSION_ROWS),
    "LinearRegression, Huber and AdaGrad": lambda: learned(
        drel_ml_ext.linear_regression(2, learning_rate=0.1, optimizer="adagrad", loss="huber"),
        REGRESSION_ROWS),
    "LogisticRegression": lambda: learned(drel_ml.LogisticRegression(2, 0.1),
                                          CLASSIFICATION_ROWS),
    "LogisticRegression, AdaGrad": lambda: drel_ml_ext.logistic_regression(
        2, learning_rate=0.1, optimizer="adagrad"),
    "RegressionPipeline": lambda: learned(drel_ml.RegressionPipeline(2, 0.1), REGRESSION_ROWS),
    "RegressionPipeline, Huber": lambda: drel_ml_ext.regression_pipeline(
        2, learning_rate=0.1, loss="huber"),
    "ClassificationPipeline": lambda: learned(drel_ml.ClassificationPipeline(2, 0.1),
                                              CLASSIFICATION_ROWS),
}


@pytest.mark.parametrize("as_bytes", [False, True], ids=["str", "bytes"])
@pytest.mark.parametrize("make", OBJECTS.values(), ids=OBJECTS.keys())
def test_every_class_comes_back_as_itself(make, as_bytes):
    original = make()
    text = original.to_json()
    loaded = drel_ml_ext.load(text.encode() if as_bytes else text)
    assert type(loaded) is type(original)
    assert loaded.to_json() == text


def test_every_stateful_class_is_covered():
    assert {type(make()).__name__ for make in OBJECTS.values()} == set(CLASSES)


def reordered(text: str) -> str:
    """The same document with every object's keys reversed, spaced out, and a note added."""
    def reverse(value):
        if isinstance(value, dict):
            return {k: reverse(v) for k, v in reversed(value.items())}
        return value
    document = reverse(json.loads(text))
    document["model"]["note"] = {"source": ["sensor", 7, {"nested": [[]]}]}
    return json.dumps(document, indent=2)


@pytest.mark.parametrize("make", OBJECTS.values(), ids=OBJECTS.keys())
def test_a_hand_written_document_is_told_by_its_keys_not_their_order(make):
    original = make()
    loaded = drel_ml_ext.load(reordered(original.to_json()))
    assert type(loaded) is type(original)
    assert loaded.to_json() == original.to_json()




@pytest.mark.parametrize(
    "text, message",
    [
        ("", "not a JSON object"),
        ("hello", "not a JSON object"),
        ("[1, 2]", "not a JSON object"),
        ('{"format_version":1,"model":{"count":0,"mean":0.0}} {}', "text after the document"),
        ('{"format_version":1,"model":{"count":0,"mean":0.0', "not a JSON object"),
        ('{"format_version":1,"model":{"count" 0}}', "not a JSON object"),
        ('{"a":' + "[" * 100_000, "nested deeper"),
        ('{"a":' * 100_000, "nested deeper"),
        (b"\xff\xfe", "not UTF-8 text"),
        ('{"format_version":1}', r'no "model" object in a document with the keys \[\'format_version\'\]'),
        ('{"format_version":1,"model":[1]}', 'no "model" object'),
        ('{"format_version":1,"model":{"count":0}}',
         r"the keys of its \"model\" record \['count'\] fit none of the records of Mean, "),
        ('{"format_version":1,"model":{"weights":[],"intercept":0.0}}',
         r"\['intercept', 'weights'\] fit none"),
        ('{"format_version":1,"model":{"count":0,"mean":0.0,"transformer":{},"model":{}}}',
         "fit Mean and RegressionPipeline alike"),
    ],
)
def test_what_is_no_snapshot_is_a_value_error_saying_what_it_is_not(text, message):
    with pytest.raises(ValueError, match="^not a drel_ml snapshot: .*" + message):
        drel_ml_ext.load(text)


def test_a_file_name_or_a_metric_is_told_what_to_pass_instead(tmp_path):
    path = tmp_path / "model.json"
    path.write_text(drel_ml.Mean().to_json())
    with pytest.raises(ValueError, match=r"not a JSON object \(expected '\{' at character 0\); "
                                         r"'.*model\.json' names a file: pass its contents"):
        drel_ml_ext.load(str(path))
    with pytest.raises(ValueError, match=r"at character 0\)$"):  # no file of that name
        drel_ml_ext.load(str(tmp_path / "missing.json"))
    with pytest.raises(ValueError, match=r"\(a metric's snapshot: load it by its class's "
                                         r"from_json, of drel_ml_ext.metrics.MAE or MSE or .*\)$"):
        drel_ml_ext.load(drel_ml_ext.metrics.MSE().to_json())


@pytest.mark.parametrize("text", [None, 5, bytearray(b"{}"), ["{}"]])
def test_only_text_is_taken(text):
    with pytest.raises(TypeError, match="load\\(\\) takes a snapshot as str or bytes"):
        drel_ml_ext.load(text)


def record_of(obj) -> dict:
    return json.loads(obj.to_json())["model"]


def pipeline_over(model: dict) -> str:
    scaler = record_of(drel_ml.StandardScaler(2))
    return json.dumps({"format_version": 1, "model": {"transformer": scaler, "model": model}})


# A document that names its class by its keys but does not hold what that class needs is
# refused by that class's own reader, with its message.
@pytest.mark.parametrize(
    "text, reader",
    [
        ('{"format_version":2,"model":{"count":0,"mean":0.0}}', drel_ml.Mean),
        ('{"format_version":1,"model":{"count":-1,"mean":0.0}}', drel_ml.Mean),
        ('{"format_version":1,"model":{"count":0,"mean":"x","m2":0.0,"kind":"Sample"}}',
         drel_ml.Variance),
        ('{"format_version":1,"model":{"count":0,"mean":0.0,"count":1}}', drel_ml.Mean),
        (pipeline_over({"count": 0, "mean": 0.0}), drel_ml.RegressionPipeline),
        (pipeline_over({**record_of(drel_ml.LogisticRegression(2, 0.1)), "intercept": None}),
         drel_ml.ClassificationPipeline),
        (drel_ml.LinearRegression(2, 0.1).to_json().replace('"SquaredError"', '{"epsilon":"x"}'),
         drel_ml.LogisticRegression),
        (drel_ml.LinearRegression(2, 0.1).to_json().replace('"SquaredError"', '"Cubic"'),
         drel_ml.LinearRegression),
        (drel_ml.LinearRegression(2, 0.1).to_json().replace("[0.0,0.0]", "[0.0,,0.0]"),
         drel_ml.LinearRegression),
    ],
)
def test_a_document_of_a_known_class_is_judged_by_that_class(text, reader):
    with pytest.raises(RuntimeError) as expected:
        reader.from_json(text)
    with pytest.raises(RuntimeError) as refused:
        drel_ml_ext.load(text)
    assert type(refused.value) is RuntimeError
    assert str(refused.value) == str(expected.value)
