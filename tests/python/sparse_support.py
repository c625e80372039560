"""scipy.sparse matrices in every format, built from (row, column, value)
entries as drawn (duplicates and storage order kept where the format keeps
them), and the objects whose bulk calls read them."""

import json

import drel_ml
import drel_ml_ext

# Formats built as stored: COO keeps entries in the order drawn; CSR and CSC
# keep each row's (column's) entries in that order, unsorted, duplicates kept.
STORED_FORMATS = [f"{layout}_{kind}" for layout in ("csr", "csc", "coo")
                  for kind in ("matrix", "array")]
# Formats converted by scipy's own tocsr().
CONVERTED_FORMATS = ["lil_matrix", "dok_array", "bsr_matrix", "dia_array"]


def build(sp, np, form, shape, entries, index_dtype="int32"):
    rows = np.array([e[0] for e in entries], dtype=index_dtype)
    cols = np.array([e[1] for e in entries], dtype=index_dtype)
    data = np.array([e[2] for e in entries], dtype=np.float64)
    layout, kind = form.split("_")
    cls = getattr(sp, form)
    if layout == "coo":
        return cls((data, (rows, cols)), shape=shape)
    if layout in ("csr", "csc"):
        major, minor = (rows, cols) if layout == "csr" else (cols, rows)
        order = np.argsort(major, kind="stable")
        indptr = np.zeros(shape[0 if layout == "csr" else 1] + 1, dtype=index_dtype)
        np.cumsum(np.bincount(major, minlength=len(indptr) - 1), out=indptr[1:])
        return cls((data[order], minor[order], indptr), shape=shape)
    coo = sp.coo_matrix((data, (rows, cols)), shape=shape)
    return cls(coo.asformat(layout))


# The classes whose bulk calls take X, and snapshots of the linear models that
# reach the paths a fresh model never does (an L2 penalty, AdaGrad, -0 weights).
def linear_snapshot(kind, variant, features):
    factory = drel_ml_ext.logistic_regression if kind == "LogisticRegression" \
        else drel_ml_ext.linear_regression
    options = {
        "l2": dict(l2=0.25),
        "adagrad": dict(optimizer="adagrad"),
        "adagrad_l2": dict(optimizer="adagrad", l2=0.125),
        "adagrad_eps0": dict(optimizer="adagrad", adagrad_epsilon=0.0),
    }.get(variant, {})
    model = factory(features, learning_rate=0.25, **options)
    if variant in ("negzero", "adagrad_negzero"):
        if variant == "adagrad_negzero":
            model = factory(features, learning_rate=0.25, optimizer="adagrad")
        doc = json.loads(model.to_json())
        doc["model"]["weights"] = [-0.0] * features
        doc["model"]["weights"][0] = 0.5
        model = type(model).from_json(json.dumps(doc))
    return model


VARIANTS = ["plain", "l2", "adagrad", "adagrad_l2", "adagrad_eps0", "negzero", "adagrad_negzero"]
