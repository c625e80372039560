import json
import math
import struct
from decimal import Decimal

import pytest

import drel_ml
from support import STATEFUL, bits, make, notes, raises, same


MEAN_DOC = '{"format_version":1,"model":{"count":0,"mean":0.0}}'


def listed(values):
    return "[" + ",".join(map(repr, values)) + "]"


def scaler_record(counts, means, m2s, with_mean="true"):
    return (f'{{"feature_count":{len(counts)},"config":{{"with_mean":{with_mean},"with_std":true,'
            f'"epsilon":1e-12}},"counts":{listed(counts)},"means":{listed(means)},"m2s":{listed(m2s)}}}')


def sgd(n, rate):
    return f'{{"Sgd":{{"feature_count":{n},"config":{{"learning_rate":{rate},"l2":0.0}},"samples_seen":0}}}}'


def linear_record(n, rate, loss, weights=None, optimizer=None):
    return (f'{{"feature_count":{n},"weights":{listed(weights or [0.0] * n)},"intercept":0.0,'
            f'"optimizer":{optimizer or sgd(n, rate)},"loss":{loss},"samples_seen":0}}')


def pipeline_record(scaler, model):
    return f'{{"transformer":{scaler},"model":{model}}}'


def doc(record):
    return f'{{"format_version":1,"model":{record}}}'


SCALER_2 = scaler_record([0, 0], [0.0, 0.0], [0.0, 0.0])
SQUARED, LOG_LOSS = '"SquaredError"', '{"epsilon":1e-15}'


FRESH_DOCUMENTS = [
    (drel_ml.Mean, (), MEAN_DOC),
    (drel_ml.Variance, ("sample",), doc('{"count":0,"mean":0.0,"m2":0.0,"kind":"Sample"}')),
    (drel_ml.Variance, ("population",), doc('{"count":0,"mean":0.0,"m2":0.0,"kind":"Population"}')),
    (drel_ml.EWMean, (0.5,), doc('{"alpha":0.5,"mean":0.0,"count":0}')),
    (drel_ml.StandardScaler, (2,), doc(SCALER_2)),
    (drel_ml.LinearRegression, (2, 0.01),
     '{"format_version":1,"model":{"feature_count":2,"weights":[0.0,0.0],"intercept":0.0,'
     '"optimizer":{"Sgd":{"feature_count":2,"config":{"learning_rate":0.01,"l2":0.0},'
     '"samples_seen":0}},"loss":"SquaredError","samples_seen":0}}'),
    (drel_ml.LogisticRegression, (2, 0.1), doc(linear_record(2, 0.1, LOG_LOSS))),
    (drel_ml.RegressionPipeline, (2, 0.1),
     doc(pipeline_record(SCALER_2, linear_record(2, 0.1, SQUARED)))),
    (drel_ml.ClassificationPipeline, (2, 0.1),
     doc(pipeline_record(SCALER_2, linear_record(2, 0.1, LOG_LOSS)))),
]


@pytest.mark.parametrize("cls,args,text", FRESH_DOCUMENTS)
def test_fresh_documents_verbatim(cls, args, text):
    obj = cls(*args)
    assert obj.to_json() == text
    assert drel_ml.Snapshot.to_json(obj) == text == drel_ml.Snapshot.to_json(obj=obj)
    assert cls.from_json(text).to_json() == text


def trained(name):
    obj = make(name)
    for i in range(5):
        x = [0.5 * i - 1.0, 2.0 ** -i, 3.0 - i]
        if name in ("Mean", "Variance", "EWMean"):
            obj.update(x[0] * 3.7)
        elif name == "StandardScaler":
            obj.learn_one(x)
        else:
            obj.learn_one(x, i % 2 == 0 if "Logistic" in name or "Classification" in name else x[2])
    return obj


@pytest.mark.parametrize("name", STATEFUL)
def test_round_trip_and_static_forms(name):
    obj = trained(name)
    cls = type(obj)
    text = obj.to_json()
    for clone in (cls.from_json(text), cls.from_json(json=text), obj.from_json(text)):
        assert type(clone) is cls and clone is not obj
        assert clone.to_json() == text
    assert obj.to_json() == text  # loading through an instance leaves it alone
    raises(TypeError, "'bytes' object is not an instance of 'str'", cls.from_json, b"{}",
           note="while processing 'json'")
    raises(RuntimeError, "EOF while parsing a value at line 1 column 0", cls.from_json, "")
    raises(UnicodeEncodeError, None, cls.from_json, "\ud800", note="while processing 'json'")
    assert drel_ml.Snapshot.to_json(obj) == text


def at(text, needle, offset=0):
    """' at line 1 column N' for the byte at text.index(needle) + offset."""
    return f" at line 1 column {text.index(needle) + offset + 1}"


BAD_SCALER = doc(scaler_record([0, 0], [0.0, 0.0], [0.0, -1.0]))
VARIANCE_BAD = '{"format_version":1,"model":{"count":0,"mean":0.0,"m2":0.0,"kind":"%s"}}'
LOAD_ERRORS = [
    (drel_ml.Mean, "", "EOF while parsing a value at line 1 column 0"),
    (drel_ml.Mean, MEAN_DOC.replace(":1", ":2"), "incompatible state version: expected 1, got 2"),
    (drel_ml.Mean, '{"format_version":1}', "missing field `model` at line 1 column 20"),
    (drel_ml.Mean, '{\n"format_version":1}', "missing field `model` at line 2 column 19"),
    (drel_ml.Mean, doc('{"count":0}'), "missing field `mean` at line 1 column 39"),
    # positions count bytes of the UTF-8 text
    (drel_ml.Mean, '{"formát":1}', "missing field `format_version` at line 1 column 13"),
    (drel_ml.Mean, doc('{"count":-1,"mean":0.0}'),
     "invalid value: integer `-1`, expected u64 at line 1 column 39"),
    # a structural error wins over a wrong version
    (drel_ml.Mean, doc('{"count":-1,"mean":0.0}').replace(":1", ":2", 1),
     "invalid value: integer `-1`, expected u64 at line 1 column 39"),
    (drel_ml.Mean, doc('{"count":0,"mean":null}'), "invalid type: null, expected f64 at line 1 column 50"),
    (drel_ml.Mean, doc('{"count":0,"mean":1e400}'), "number out of range at line 1 column 51"),
    (drel_ml.Mean, doc('{"count":5.0,"mean":0.0}'),
     "invalid type: floating point `5.0`, expected u64 at line 1 column 40"),
    (drel_ml.Mean, '{"format_version":1,' + MEAN_DOC[1:],
     "duplicate field `format_version` at line 1 column 36"),
    (drel_ml.Mean, MEAN_DOC + " x", "trailing characters at line 1 column 53"),
    (drel_ml.Mean, "[1]", "invalid length 1, expected struct Snapshot with 2 elements at line 1 column 3"),
    (drel_ml.Mean, "[1,[0,0.0],5]", "trailing characters at line 1 column 12"),
    (drel_ml.Variance, VARIANCE_BAD % "Both", "unknown variant `Both`, expected `Population` or "
     "`Sample`" + at(VARIANCE_BAD % "Both", 'Both"', 4)),
    (drel_ml.Variance, VARIANCE_BAD % "sample", "unknown variant `sample`, expected `Population` or "
     "`Sample`" + at(VARIANCE_BAD % "sample", 'sample"', 6)),
    # a failed scaler validation points at the closing brace of the enclosing record
    (drel_ml.StandardScaler, BAD_SCALER,
     f"invalid model state: standard scaler m2s must be non-negative at line 1 column {len(BAD_SCALER)}"),
]


@pytest.mark.parametrize("cls,text,message", LOAD_ERRORS)
def test_load_errors(cls, text, message):
    e = raises(RuntimeError, message, cls.from_json, text)
    assert not notes(e)


def test_documents_of_other_classes():
    mean = drel_ml.Mean.from_json(trained("EWMean").to_json())  # alpha is skipped
    assert mean.value == trained("EWMean").value and mean.count == 5
    with pytest.raises(RuntimeError, match=r"^unknown variant `epsilon`, expected `SquaredError` or"):
        drel_ml.LinearRegression.from_json(drel_ml.LogisticRegression(2, 0.1).to_json())
    with pytest.raises(RuntimeError, match=r'^invalid type: string "SquaredError", expected struct Bi'):
        drel_ml.LogisticRegression.from_json(drel_ml.LinearRegression(2, 0.1).to_json())


def test_richer_configurations_load_and_learn():
    adagrad = doc(linear_record(1, 0.5, SQUARED, [1.0], optimizer=(
        '{"AdaGrad":{"feature_count":1,"config":{"learning_rate":0.5,"l2":0.0,"epsilon":0.0},'
        '"grad_sq_weights":[0.0],"grad_sq_intercept":0.0,"samples_seen":0}}')))
    m = drel_ml.LinearRegression.from_json(adagrad)
    assert m.to_json() == adagrad
    m.learn_one([1.0], -1.0)  # residual 2: one AdaGrad step of the documented example
    state = json.loads(m.to_json())["model"]
    assert (m.weights, state["intercept"]) == ([0.5], -0.5)
    assert state["optimizer"]["AdaGrad"]["grad_sq_weights"] == [4.0]

    huber = linear_record(1, 0.1, '{"Huber":{"delta":1.35}}')
    m = drel_ml.RegressionPipeline.from_json(doc(pipeline_record(scaler_record([0], [0.0], [0.0]),
                                                                 huber)))
    m.learn_one([4.0], 10.0)  # clipped gradient: -1.35
    assert json.loads(m.to_json())["model"]["model"]["intercept"] == 0.0 - 0.1 * -1.35

    unscaled = doc(scaler_record([2, 2], [2.0, 1.0], [2.0, 8.0], with_mean="false"))
    assert drel_ml.StandardScaler.from_json(unscaled).transform_one([5.0, 4.0]) == [5.0, 2.0]


class Foreign:
    def __init__(self, result):
        self.result = result

    def to_json(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class Text(str):
    pass


def test_snapshot_to_json_of_any_object():
    long_text = "x" * 40
    out = drel_ml.Snapshot.to_json(Foreign(long_text))
    assert out == long_text and out is not long_text
    sub = drel_ml.Snapshot.to_json(Foreign(Text("abc")))
    assert type(sub) is str and sub == "abc"
    raises(TypeError, "'int' object is not an instance of 'str'", drel_ml.Snapshot.to_json, Foreign(5))
    raises(TypeError, "'None' is not an instance of 'str'", drel_ml.Snapshot.to_json, Foreign(None))
    err = KeyError("inner")
    assert raises(KeyError, None, drel_ml.Snapshot.to_json, Foreign(err)) is err
    raises(AttributeError, None, drel_ml.Snapshot.to_json, 5)


# ---- number conversion of the reader -----------------------------------------

# Seventeen-digit reals where a digits-times-power-of-ten conversion lands one
# or two units in the last place away: the reader rounds them correctly.
@pytest.mark.parametrize("text", ["4.6813507399154757e37", "6.3581066123546870e150",
                                  "5.0277655299069548e-144", "3.8373261298297111e62",
                                  "-2.2250738585072011e-308", "4.9406564584124654e-324"])
def test_reader_rounds_reals_correctly(text):
    loaded = drel_ml.Mean.from_json(doc(f'{{"count":1,"mean":{text}}}')).value
    assert bits(loaded) == bits(float(text))


def test_round_trip_property():
    hypothesis = pytest.importorskip("hypothesis")
    st = hypothesis.strategies
    finite = st.floats(allow_nan=False, allow_infinity=False)
    names = st.sampled_from(STATEFUL)

    @hypothesis.given(names, st.lists(st.tuples(finite, finite, st.booleans()), max_size=12),
                      st.lists(st.tuples(finite, finite, st.booleans()), min_size=1, max_size=4))
    @hypothesis.settings(max_examples=150)
    def check(name, history, future):
        obj = make(name)
        for step in history:
            feed(obj, name, step)
        text = obj.to_json()
        clone = type(obj).from_json(text)
        again = clone.to_json()
        assert again == text
        for step in future:
            assert same(feed(obj, name, step), feed(clone, name, step))
            assert clone.to_json() == obj.to_json()

    check()


def feed(obj, name, step):
    """One update or prediction; returns its outcome for comparison."""
    a, b, flag = step
    x = [a, b, a - b]
    calls = {"Mean": lambda: obj.update(a), "Variance": lambda: (obj.update(a), obj.value),
             "EWMean": lambda: (obj.update(b), obj.value),
             "StandardScaler": lambda: (obj.learn_one(x), obj.transform_one(x[::-1])),
             "LinearRegression": lambda: (obj.learn_one(x, b), obj.predict_one(x)),
             "RegressionPipeline": lambda: (obj.learn_one(x, b), obj.predict_one(x)),
             "LogisticRegression": lambda: (obj.learn_one(x, flag), obj.predict_proba_one(x)),
             "ClassificationPipeline": lambda: (obj.learn_one(x, flag), obj.predict_proba_one(x))}
    try:
        result = calls[name]()
    except RuntimeError as e:
        return str(e)
    return list(result) if isinstance(result, tuple) else result


# ---- numbers of every magnitude, written and read -----------------------------


def number_rule(x):
    """A finite float as snapshots write it, laid out from Python's own shortest
    digits: positional for decimal exponents -5..15, else d.ddde+XX."""
    if x == 0.0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    sign = "-" if x < 0 else ""
    _, digit_tuple, exp = Decimal(repr(abs(x))).as_tuple()
    digits = "".join(map(str, digit_tuple)).rstrip("0")
    e = exp + len(digit_tuple) - 1  # the decimal exponent of the first digit
    if -5 <= e <= 15:
        if e < 0:
            return f"{sign}0.{'0' * (-e - 1)}{digits}"
        if e <= len(digits) - 2:
            return f"{sign}{digits[:e + 1]}.{digits[e + 1:]}"
        return f"{sign}{digits}{'0' * (e + 1 - len(digits))}.0"
    rest = f".{digits[1:]}" if len(digits) > 1 else ""
    return f"{sign}{digits[0]}{rest}e{'-' if e < 0 else '+'}{abs(e)}"


def weights_doc(texts):
    n = len(texts)
    return doc(linear_record(n, 0.01, SQUARED).replace(
        listed([0.0] * n), "[" + ",".join(texts) + "]"))


def test_written_numbers_follow_the_rule_for_every_magnitude():
    hypothesis = pytest.importorskip("hypothesis")
    st = hypothesis.strategies
    edges = st.sampled_from([5e-324, -5e-324, 2.2250738585072014e-308, 2.225073858507201e-308,
                             1.7976931348623157e308, -0.0, 1e-5, 9.999999999999999e-6, 1e16,
                             9999999999999998.0, 123456789012345680.0, 0.1, 2.0 ** 53 + 2])
    finite = st.floats(allow_nan=False, allow_infinity=False)
    subnormal = st.integers(1, 2 ** 52 - 1).map(lambda m: struct.unpack("<d", struct.pack("<q", m))[0])

    @hypothesis.given(st.lists(st.one_of(finite, edges, subnormal), min_size=1, max_size=40))
    @hypothesis.settings(max_examples=300)
    def check(values):
        texts = [repr(v) for v in values]
        model = drel_ml.LinearRegression.from_json(weights_doc(texts))
        assert [bits(w) for w in model.weights] == [bits(v) for v in values]
        written = json.loads(model.to_json(), parse_float=str)["model"]["weights"]
        assert written == [number_rule(v) for v in values]

    check()


def test_reader_matches_python_float_on_any_number_text():
    hypothesis = pytest.importorskip("hypothesis")
    st = hypothesis.strategies
    digits = st.text("0123456789", min_size=1, max_size=30)
    long_digits = st.text("0123456789", min_size=20, max_size=120)
    exponents = st.one_of(st.integers(-400, 400), st.sampled_from([-343, -342, -325, -324, -323,
                                                                   -308, -307, 307, 308, 309]))

    @st.composite
    def number_texts(draw):
        head = draw(st.sampled_from(["0", ""])) or draw(st.sampled_from("123456789"))
        text = ("-" if draw(st.booleans()) else "") + head
        if head != "0":
            text += draw(st.one_of(st.just(""), digits))
        if draw(st.booleans()):
            text += "." + draw(st.one_of(digits, long_digits))
        if draw(st.booleans()):
            text += draw(st.sampled_from(["e", "E", "e+", "e-", "E+"])) + str(abs(draw(exponents)))
        return text

    @hypothesis.given(st.lists(number_texts(), min_size=1, max_size=20), st.booleans())
    @hypothesis.settings(max_examples=400)
    def check(texts, spaced):
        text = weights_doc(texts)
        if spaced:  # the general path of the reader, not the compact one
            text = text.replace(",", " , ")
        expected = [float(t) for t in texts]
        if any(math.isinf(v) for v in expected):
            raises(RuntimeError, None, drel_ml.LinearRegression.from_json, text)
            return
        model = drel_ml.LinearRegression.from_json(text)
        assert [bits(w) for w in model.weights] == [bits(v) for v in expected]

    check()
