"""Pickling and copying of drel_ml objects once drel_ml_ext is imported:
every class, every protocol, bit for bit through the binary state; pickles of
the snapshot text written before it still load."""

import base64
import copy
import json
import pathlib
import pickle
import pickletools
import subprocess
import sys
import textwrap

import pytest

import drel_ml as d
import drel_ml_ext
from support import raises, same

X = [0.5, -1.25, 3.0]
X2 = [1.5, 0.25, -2.0]


def _learned(obj, samples):
    for x, y in samples:
        obj.learn_one(x, y)
    return obj


def _updated(obj, values):
    for v in values:
        obj.update(v)
    return obj


# name -> (a learned object, a call that changes it, a reading of its outputs)
CASES = {
    "Mean": (lambda: _updated(d.Mean(), [1.0, 2.5, -0.1]), lambda o: o.update(0.3),
             lambda o: (o.value, o.count)),
    "Variance": (lambda: _updated(d.Variance("sample"), [1.0, 2.5, -0.1]),
                 lambda o: o.update(0.3), lambda o: (o.value, o.stddev, o.mean, o.count)),
    "EWMean": (lambda: _updated(d.EWMean(0.3), [1.0, 2.5, -0.1]), lambda o: o.update(0.3),
               lambda o: (o.value,)),
    "StandardScaler": (lambda: _updated_scaler(drel_ml_ext.standard_scaler(3, epsilon=0.0)),
                       lambda o: o.learn_one(X2), lambda o: (o.transform_one(X), o.samples_seen)),
    "LinearRegression": (
        lambda: _learned(drel_ml_ext.linear_regression(
            3, learning_rate=0.1, optimizer="adagrad", loss="huber", l2=0.01),
            [(X, 1.0), (X2, -0.7)]),
        lambda o: o.learn_one(X2, 0.1), lambda o: (o.predict_one(X), o.weights)),
    "LogisticRegression": (
        lambda: _learned(d.LogisticRegression(3, 0.3), [(X, True), (X2, False)]),
        lambda o: o.learn_one(X, True), lambda o: (o.predict_proba_one(X2), o.weights)),
    "RegressionPipeline": (
        lambda: _learned(d.RegressionPipeline(3, 0.1), [(X, 1.0), (X2, 1 / 3)]),
        lambda o: o.learn_one(X, 0.2), lambda o: (o.predict_one(X2), o.samples_seen)),
    "ClassificationPipeline": (
        lambda: _learned(drel_ml_ext.classification_pipeline(
            3, learning_rate=0.2, optimizer="adagrad", with_std=False), [(X, True), (X2, False)]),
        lambda o: o.learn_one(X2, True),
        lambda o: (o.predict_proba_one(X), o.predict_one(X2), o.samples_seen)),
}


def _updated_scaler(scaler):
    for x in (X, X2, [0.0, 0.0, 1e-3]):
        scaler.learn_one(x)
    return scaler


PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def _pickle_round_trip(protocol):
    return lambda obj: pickle.loads(pickle.dumps(obj, protocol))


COPIERS = {
    **{f"pickle-{p}": _pickle_round_trip(p) for p in PROTOCOLS},
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    "deepcopy-in-list": lambda obj: copy.deepcopy([obj, obj])[1],
}


def assert_same_object(original, clone, change, read):
    assert type(clone) is type(original) and clone is not original
    assert clone.to_json() == original.to_json()
    assert all(same(a, b) for a, b in zip(read(clone), read(original)))
    # The same next step gives the same state and outputs, bit for bit...
    change(original)
    change(clone)
    assert clone.to_json() == original.to_json()
    assert all(same(a, b) for a, b in zip(read(clone), read(original)))
    # ...and the two are independent afterwards.
    before = original.to_json()
    change(clone)
    assert original.to_json() == before != clone.to_json()


@pytest.mark.parametrize("copier", COPIERS.values(), ids=COPIERS.keys())
@pytest.mark.parametrize("name", CASES)
def test_copies_are_bit_for_bit_and_independent(name, copier):
    build, change, read = CASES[name]
    original = build()
    assert_same_object(original, copier(original), change, read)


@pytest.mark.parametrize("name", CASES)
def test_joblib_round_trip(name, tmp_path):
    joblib = pytest.importorskip("joblib")
    build, change, read = CASES[name]
    original = build()
    joblib.dump({"model": original}, tmp_path / "model.joblib")
    assert_same_object(original, joblib.load(tmp_path / "model.joblib")["model"], change, read)


def test_pickles_name_the_stable_reconstructor():
    data = pickle.dumps(d.Mean(), protocol=2)
    globals_named = [arg for op, arg, _ in pickletools.genops(data) if op.name == "GLOBAL"]
    # (protocol 2 has no bytes opcode: it rebuilds them with _codecs.encode)
    assert globals_named == ["drel_ml_ext from_bytes", "_codecs encode"]
    assert drel_ml_ext.from_bytes.__module__ == drel_ml_ext.restore.__module__ == "drel_ml_ext"


# Written by the release that pickled snapshot text: (class, protocol 4 pickle, snapshot).
LEGACY = json.loads((pathlib.Path(__file__).parent / "data" / "legacy_pickles.json").read_text())


@pytest.mark.parametrize("name", CASES)
def test_pickles_of_snapshot_text_still_load(name):
    data = base64.b64decode(LEGACY[name]["pickle"])
    assert b"drel_ml_ext" in data and b"restore" in data
    obj = pickle.loads(data)
    assert type(obj).__name__ == name
    assert obj.to_json() == LEGACY[name]["snapshot"]
    # ...and the same state pickled now comes back as it was.
    assert pickle.loads(pickle.dumps(obj)).to_json() == LEGACY[name]["snapshot"]


@pytest.mark.parametrize("name", CASES)
def test_binary_state_refuses_every_truncation_and_checks_flips(name):
    obj = CASES[name][0]()
    data = drel_ml_ext.to_bytes(obj)
    assert type(drel_ml_ext.from_bytes(bytearray(data))) is type(obj)
    for length in range(len(data)):
        with pytest.raises(RuntimeError, match="invalid binary state"):
            drel_ml_ext.from_bytes(data[:length])
    for at in range(len(data)):
        flipped = bytearray(data)
        flipped[at] ^= 0x80
        try:
            clone = drel_ml_ext.from_bytes(memoryview(flipped))
        except RuntimeError as e:
            assert str(e)
        else:  # a flip inside a real or a count: still a state from_json accepts
            assert drel_ml_ext.to_bytes(clone) == flipped
            assert type(clone).from_json(clone.to_json()).to_json() == clone.to_json()


@pytest.mark.parametrize("name", CASES)
def test_assign_state_puts_a_state_back_in_place_or_changes_nothing(name):
    from drel_ml_ext import _native

    make, change = CASES[name][0], CASES[name][1]
    obj = make()
    data, text = drel_ml_ext.to_bytes(obj), obj.to_json()
    change(obj)
    changed = obj.to_json()
    assert changed != text
    other = d.Mean() if not isinstance(obj, d.Mean) else d.EWMean(0.5)
    for bad in [data[:-1], drel_ml_ext.to_bytes(other), b""]:
        with pytest.raises(RuntimeError, match="invalid binary state"):
            _native.assign_state(obj, bad)
        assert obj.to_json() == changed
    _native.assign_state(obj, memoryview(data))
    assert obj.to_json() == text


def test_binary_state_stubs_say_what_help_says():
    import ast
    import inspect

    stub = pathlib.Path(drel_ml_ext.__file__).with_name("_native.pyi")
    defs = {n.name: n for n in ast.parse(stub.read_text()).body if isinstance(n, ast.FunctionDef)}
    for name in ("to_bytes", "from_bytes", "assign_state"):
        native = getattr(drel_ml_ext._native, name)
        assert ast.get_docstring(defs[name]) == inspect.cleandoc(native.__doc__)


def test_binary_state_refusals_name_the_field():
    mean = drel_ml_ext.to_bytes(d.Mean())
    raises(RuntimeError, "invalid binary state: not a finite real (field `mean`) at byte 24",
           drel_ml_ext.from_bytes, mean[:24] + b"\x00" * 6 + b"\xf0\x7f")
    flag = drel_ml_ext.to_bytes(d.StandardScaler(1))
    raises(RuntimeError, "invalid binary state: a flag must be 0 or 1, not 2 (field `with_mean`) "
           "at byte 24", drel_ml_ext.from_bytes, flag[:24] + b"\x02" + flag[25:])
    raises(RuntimeError, "invalid binary state: 1 bytes after the end of the state at byte 32",
           drel_ml_ext.from_bytes, mean + b"\x00")
    raises(TypeError, "from_bytes() argument 'data' must be a bytes-like object, not 'str'",
           drel_ml_ext.from_bytes, mean.decode("latin-1"))
    raises(TypeError, None, drel_ml_ext.to_bytes, d.Snapshot)


# The weights of a wide model are read in blocks of 2,048; a non-finite one is
# named at its own byte whether the bytes lie aligned for doubles or not.
@pytest.mark.parametrize("aligned", [True, False])
@pytest.mark.parametrize("position", [0, 2047, 2048, 4095, 4999])
def test_wide_states_refuse_a_non_finite_weight_where_it_is(position, aligned):
    model = d.LinearRegression(5000, 0.01)
    model.learn_one([0.001 * (i % 7) for i in range(5000)], 1.0)
    data = bytearray(drel_ml_ext.to_bytes(model))
    at = 32 + 8 * position  # header 12, format version 4, feature count 8, length 8
    intact = bytes(data)
    data[at + 6:at + 8] = b"\xf0\x7f"
    view = memoryview(data) if aligned else memoryview(b"\x00" + bytes(data))[1:]
    raises(RuntimeError, f"invalid binary state: not a finite real (field `weights`) at byte {at}",
           drel_ml_ext.from_bytes, view)
    clone = drel_ml_ext.from_bytes(intact if aligned else memoryview(b"\x00" + intact)[1:])
    assert drel_ml_ext.to_bytes(clone) == intact


def test_restore_refuses_unknown_classes_and_bad_snapshots():
    raises(ValueError, None, drel_ml_ext.restore, "Snapshot", "{}")
    raises(ValueError, None, drel_ml_ext.restore, ["Mean"], "{}")
    raises(RuntimeError, "EOF while parsing a value at line 1 column 0",
           drel_ml_ext.restore, "Mean", "")
    assert drel_ml_ext.restore("Variance", d.Variance("sample").to_json()).value is None


def _run(code):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_without_drel_ml_ext_pickling_is_refused_as_before():
    out = _run("""
        import copy, copyreg, pickle, drel_ml
        assert not any(t.__name__ in drel_ml.__all__ for t in copyreg.dispatch_table)
        objects = [drel_ml.Mean(), drel_ml.Variance("sample"), drel_ml.EWMean(0.5),
                   drel_ml.StandardScaler(2)] + [
            getattr(drel_ml, n)(2, 0.1) for n in drel_ml.__all__[4:8]]
        for obj in objects:
            for action in (pickle.dumps, copy.copy, copy.deepcopy):
                try:
                    action(obj)
                except TypeError as e:
                    print(type(obj).__name__, "cannot pickle" in str(e))
                else:
                    raise SystemExit("no error")
        """)
    assert out.splitlines() == [f"{name} True" for name in CASES for _ in range(3)]


def test_unpickling_needs_no_import_of_drel_ml_ext():
    model = CASES["RegressionPipeline"][0]()
    out = _run(f"""
        import pickle, sys
        m = pickle.loads({pickle.dumps(model)!r})
        print(type(m).__name__, m.to_json() == {model.to_json()!r}, "drel_ml_ext" in sys.modules)
        """)
    assert out.split() == ["RegressionPipeline", "True", "True"]
