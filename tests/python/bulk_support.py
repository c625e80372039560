"""Inputs of the bulk functions in every form they take, with the row-by-row
loop each bulk call must agree with."""

import array

import drel_ml
from drel_ml_ext import learn_many, predict_many, predict_proba_many, transform_many, update_many

FEATURES = 3
RATE = 0.05

REGRESSORS = ["LinearRegression", "RegressionPipeline"]
CLASSIFIERS = ["LogisticRegression", "ClassificationPipeline"]
MODELS = REGRESSORS + CLASSIFIERS
LEARNERS = MODELS + ["StandardScaler"]
STATISTICS = {"Mean": (), "EWMean": (0.3,), "Variance": ("sample",)}


def make(name):
    if name in STATISTICS:
        return getattr(drel_ml, name)(*STATISTICS[name])
    if name == "StandardScaler":
        return drel_ml.StandardScaler(FEATURES)
    return getattr(drel_ml, name)(FEATURES, RATE)


def clone(obj):
    return type(obj).from_json(obj.to_json())


# ---- X in every form ------------------------------------------------------------

# Element kinds of the data a form is built from: "real", "int" or "bool".
ROW_FORMS = {
    "float64": "real", "float64_f": "real", "float64_strided": "real",
    "float64_reversed": "real", "float32": "real", "float16": "real", "int64": "int",
    "int8": "int", "uint32": "int", "bool": "bool", "memoryview": "real", "lists": "real",
    "tuples": "real", "generator": "real", "arrays": "real", "ragged": "real",
}


def rows_in_form(form, data, np):
    """(X for the bulk call, the rows the loop sees) for `data`, a list of lists.
    Forms that need numpy build it from `np`."""
    if form == "lists" or form == "ragged":
        return [list(r) for r in data], data
    if form == "tuples":
        rows = tuple(tuple(r) for r in data)
        return rows, rows
    if form == "generator":
        return (list(r) for r in data), data
    if form == "arrays":
        rows = [array.array("d", r) for r in data]
        return rows, rows
    cols = len(data[0]) if data else FEATURES
    dtype = {"float64_f": "float64", "float64_strided": "float64", "float64_reversed": "float64",
             "memoryview": "float64"}.get(form, form)
    with np.errstate(over="ignore"):
        base = np.array(data, dtype=dtype).reshape(len(data), cols)
    if form == "float64_f":
        base = np.asfortranarray(base)
    elif form == "float64_strided":
        wide = np.zeros((2 * len(data), 2 * cols), dtype=dtype)
        wide[::2, ::2] = base
        base = wide[::2, ::2]
    elif form == "float64_reversed":
        base = np.ascontiguousarray(base[::-1])[::-1]
    if form == "memoryview":
        return memoryview(base), list(base)
    return base, list(base)


# ---- y and xs in every form ------------------------------------------------------

REAL_COLUMN_FORMS = ["list", "float64", "float32", "int64", "bool", "generator", "array", "tuple"]
FLAG_COLUMN_FORMS = ["bools", "bool_array", "int_array", "uint8_array", "ints", "generator"]


def column_in_form(form, values, np):
    """(y or xs for the bulk call, the values the loop passes). `values` are
    floats for real forms and bools for flag forms."""
    if form == "list":
        return list(values), values
    if form == "tuple":
        return tuple(values), values
    if form == "generator":
        return (v for v in values), values
    if form == "array":
        return array.array("d", values), values
    if form == "bools":
        return list(values), values
    if form == "ints":
        return [int(v) for v in values], values
    dtype = {"bool_array": "bool", "int_array": "int64", "uint8_array": "uint8"}.get(form, form)
    if form == "int64":  # integers the reals stand for, within range
        values = [int(v) if abs(v) < 2**62 else 7 for v in values]
    with np.errstate(over="ignore"):
        column = np.array(values, dtype=dtype)
    if form in ("bool_array", "int_array", "uint8_array"):
        return column, values  # the loop passes the booleans these stand for
    return column, list(column)


# ---- the loops -------------------------------------------------------------------


def loop(fn, n):
    """Runs fn(i) for i < n; the first error as (type, text + row) or None."""
    for i in range(n):
        try:
            fn(i)
        except Exception as e:  # noqa: BLE001 - compared by type and text
            return type(e), f"{e} (row {i})"
    return None


def outcome(call):
    """(None, result) or ((type, text), None)."""
    try:
        return None, call()
    except Exception as e:  # noqa: BLE001
        return (type(e), str(e)), None


def learn_loop(obj, rows, ys):
    if ys is None:
        return loop(lambda i: obj.learn_one(rows[i]), len(rows))
    return loop(lambda i: obj.learn_one(rows[i], ys[i]), len(rows))


def reading_calls(name):
    """The bulk functions that read an object of class `name` without changing it,
    each with the one-sample method it must agree with."""
    if name == "StandardScaler":
        return [(transform_many, "transform_one")]
    calls = [(predict_many, "predict_one")]
    if name in CLASSIFIERS:
        calls.append((predict_proba_many, "predict_proba_one"))
    return calls


def predict_loop(method, rows):
    out = []
    error = loop(lambda i: out.append(method(rows[i])), len(rows))
    return error, out


def as_list(result):
    return result.tolist() if hasattr(result, "tolist") else result


__all__ = [
    "learn_many", "predict_many", "predict_proba_many", "transform_many", "update_many",
]
