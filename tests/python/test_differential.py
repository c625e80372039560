"""Every class against a pure-Python model that follows the same operation order.

Each seeded stream mixes ordinary values with extremes (±1e308, -0.0, subnormals,
NaN, infinities, raw bit patterns), so that updates are rejected mid-stream;
predictions, error texts and the complete state (read back from the snapshot
document) must agree bit for bit after every call.
"""

import json
import math
import random
import struct

import pytest

import drel_ml
from support import fmt, same


class Reject(Exception):
    pass


def check(name, v):
    if not math.isfinite(v):
        raise Reject(f"non-finite value for `{name}`: {fmt(v)}")
    return v


def check_features(x, n):
    if not x:
        raise Reject("empty features are not allowed")
    if len(x) != n:
        raise Reject(f"dimension mismatch: expected {n}, got {len(x)}")
    for v in x:
        check("feature", v)


class Mean:
    def __init__(self):
        self.count, self.mean = 0, 0.0

    def update(self, x):
        check("value", x)
        delta = check("mean delta", x - self.mean)
        new = check("mean", self.mean + delta / float(self.count + 1))
        self.count, self.mean = self.count + 1, new

    def state(self):
        return {"count": self.count, "mean": self.mean}


class EWMean:
    def __init__(self, alpha):
        check("alpha", alpha)
        if alpha <= 0 or alpha > 1:
            raise Reject(f"invalid parameter `alpha`: {fmt(alpha)}")
        self.alpha, self.mean, self.count = alpha, 0.0, 0

    def update(self, x):
        check("value", x)
        if self.count == 0:
            new = x
        else:
            w = 1.0 - self.alpha
            new = check("EW mean", w * self.mean + x * self.alpha)
        self.mean, self.count = new, self.count + 1

    def state(self):
        return {"alpha": self.alpha, "mean": self.mean, "count": self.count}


def welford(count, mean, m2, x, prefix):
    delta = check(prefix + " delta", x - mean)
    new_mean = check(prefix + " mean", mean + delta / float(count + 1))
    delta2 = check(prefix + " delta", x - new_mean)
    return new_mean, check(prefix + " M2", delta * delta2 + m2)


class Variance:
    def __init__(self, kind):
        self.kind, self.count, self.mean, self.m2 = kind, 0, 0.0, 0.0

    def update(self, x):
        check("value", x)
        self.mean, self.m2 = welford(self.count, self.mean, self.m2, x, "variance")
        self.count += 1

    def value(self):
        if self.count >= (2 if self.kind == "Sample" else 1):
            return self.m2 / float(self.count - (self.kind == "Sample"))
        return None

    def state(self):
        return {"count": self.count, "mean": self.mean, "m2": self.m2, "kind": self.kind}


class Scaler:
    def __init__(self, n):
        self.n, self.counts, self.means, self.m2s = n, [0] * n, [0.0] * n, [0.0] * n

    def fit_one(self, x):
        if any(s < 0 for s in self.m2s):
            raise Reject("invalid model state: standard scaler m2s must be non-negative")
        check_features(x, self.n)
        means, m2s = [], []
        for c, m, s, v in zip(self.counts, self.means, self.m2s, x):
            new_mean, new_m2 = welford(c, m, s, v, "standard scaler")
            means.append(new_mean)
            m2s.append(new_m2)
        self.counts = [c + 1 for c in self.counts]
        self.means, self.m2s = means, m2s

    def transform_one(self, x):
        check_features(x, self.n)
        out = []
        for c, m, s, v in zip(self.counts, self.means, self.m2s, x):
            scale = 1.0
            if c:
                var = s / float(c)
                scale = 1.0 if 1e-12 > var else math.sqrt(var)
            out.append(check("transformed feature", (v - m) / scale))
        return out

    def samples_seen(self):
        return max(self.counts)

    def state(self):
        return {"counts": self.counts, "means": self.means, "m2s": self.m2s}


def logistic(z):
    if z >= 0:
        return 1.0 / (1.0 + math.exp(-z))
    e = math.exp(z)
    return e / (1.0 + e)


class Linear:
    """Linear or logistic regression with plain SGD and l2 = 0."""

    def __init__(self, n, rate, classifier):
        if n == 0:
            raise Reject("empty features are not allowed")
        check("learning_rate", rate)
        if rate <= 0:
            raise Reject(f"invalid learning rate: {fmt(rate)} (must be finite and > 0)")
        self.n, self.rate, self.classifier = n, rate, classifier
        self.weights, self.intercept, self.samples_seen = [0.0] * n, 0.0, 0
        self.names = ("logit term", "logit") if classifier else ("linear prediction term",
                                                                  "linear prediction")

    def raw(self, x):
        check_features(x, self.n)
        s = 0.0
        for w, v in zip(self.weights, x):
            s = check(self.names[1], s + check(self.names[0], w * v))
        return check(self.names[1], s + self.intercept)

    def predict_one(self, x):
        return self.predict_proba_one(x) >= 0.5 if self.classifier else self.raw(x)

    def predict_proba_one(self, x):
        return logistic(self.raw(x))

    def learn_one(self, x, y):
        if self.classifier:
            g = check("loss gradient", self.predict_proba_one(x) - (1.0 if y else 0.0))
        else:
            check_features(x, self.n)
            check("target", y)
            g = check("loss gradient", self.raw(x) - y)
        grads = [check("weight gradient", v * g) for v in x]
        weights = []
        for w, gw in zip(self.weights, grads):
            r = check("regularized gradient", 0.0 * w + gw)
            weights.append(check("weight", w - self.rate * r))
        intercept = check("intercept", self.intercept - self.rate * g)
        self.weights, self.intercept = weights, intercept
        self.samples_seen += 1

    def state(self):
        return {"weights": self.weights, "intercept": self.intercept,
                "optimizer": {"Sgd": {"samples_seen": self.samples_seen}},
                "samples_seen": self.samples_seen}


class Pipeline:
    def __init__(self, n, rate, classifier):
        self.transformer, self.model = Scaler(n), Linear(n, rate, classifier)

    def learn_one(self, x, y):
        if not self.model.classifier:
            check("target", y)
        self.transformer.fit_one(x)
        self.model.learn_one(self.transformer.transform_one(x), y)

    def predict_one(self, x):
        return self.model.predict_one(self.transformer.transform_one(x))

    def predict_proba_one(self, x):
        return self.model.predict_proba_one(self.transformer.transform_one(x))

    def state(self):
        return {"transformer": self.transformer.state(), "model": self.model.state()}


# ---- streams -------------------------------------------------------------------

EXTREMES = [1e308, -1e308, 1.7976931348623157e308, -1.7976931348623157e308, 1e300, -1e300,
            0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 1e-300, 1e16, 123456789.0]
NON_FINITE = [math.nan, math.inf, -math.inf]


def raw_bits(r):
    return struct.unpack("<d", r.getrandbits(64).to_bytes(8, "little"))[0]


def value(r):
    k = r.random()
    if k < 0.8:
        return r.gauss(0.0, 1.0) * 10.0 ** r.randint(-6, 6)
    if k < 0.87:
        return r.choice(EXTREMES)
    if k < 0.89:
        return r.choice(NON_FINITE)
    if k < 0.96:
        return float(r.randint(-5, 5))
    return raw_bits(r)


def vector(r, n):
    k = r.random()
    length = n if k < 0.92 else 0 if k < 0.95 else r.choice([n - 1, n + 1])
    return [value(r) for _ in range(length)]


def outcome(fn, *args):
    try:
        return "ok", fn(*args)
    except Reject as e:
        return "error", str(e)
    except RuntimeError as e:
        assert len(e.args) == 1 and not hasattr(e, "__notes__")
        return "error", e.args[0]


def agrees(a, b):
    if isinstance(a, dict):
        return all(agrees(v, b[k]) for k, v in a.items())
    return same(a, b)


def observe(name, obj):
    """The Python-visible properties of the product, as the reference computes them."""
    if name == "Variance":
        v = obj.value()
        return [v, None if v is None else math.sqrt(v), obj.mean, obj.count]
    if name in ("Mean", "EWMean"):
        return [obj.mean] + ([obj.count] if name == "Mean" else [])
    if isinstance(obj, Scaler):
        return [obj.samples_seen()]
    if isinstance(obj, Linear):
        return [obj.weights, obj.samples_seen]
    return [obj.transformer.samples_seen()]


PROPS = {"Mean": ["value", "count"], "Variance": ["value", "stddev", "mean", "count"],
         "EWMean": ["value"], "StandardScaler": ["samples_seen"],
         "LinearRegression": ["weights", "samples_seen"],
         "LogisticRegression": ["weights", "samples_seen"],
         "RegressionPipeline": ["samples_seen"], "ClassificationPipeline": ["samples_seen"]}


def pair(name, r):
    """(reference, product, [(method name, argument maker)]) for one stream."""
    n = r.randint(1, 4)
    rate = r.choice([0.01, 0.1, 1.0, 10.0, 1e10, 1e300])
    alpha = r.choice([1.0, 0.5, 0.1, 1e-3])
    kind = r.choice(["population", "sample"])
    scalar = [("update", lambda: (value(r),))]
    xs = lambda: (vector(r, n),)  # noqa: E731
    xy = [("learn_one", lambda: (vector(r, n), value(r))), ("predict_one", xs)]
    xb = [("learn_one", lambda: (vector(r, n), r.random() < 0.5)), ("predict_one", xs),
          ("predict_proba_one", xs)]
    table = {
        "Mean": lambda: (Mean(), drel_ml.Mean(), scalar),
        "EWMean": lambda: (EWMean(alpha), drel_ml.EWMean(alpha), scalar),
        "Variance": lambda: (Variance(kind.capitalize()), drel_ml.Variance(kind), scalar),
        "StandardScaler": lambda: (Scaler(n), drel_ml.StandardScaler(n),
                                   [("fit_one", xs), ("learn_one", xs), ("transform_one", xs)]),
        "LinearRegression": lambda: (Linear(n, rate, False), drel_ml.LinearRegression(n, rate), xy),
        "LogisticRegression": lambda: (Linear(n, rate, True), drel_ml.LogisticRegression(n, rate),
                                       xb),
        "RegressionPipeline": lambda: (Pipeline(n, rate, False),
                                       drel_ml.RegressionPipeline(n, rate), xy),
        "ClassificationPipeline": lambda: (Pipeline(n, rate, True),
                                           drel_ml.ClassificationPipeline(n, rate), xb),
    }
    return table[name]()


@pytest.mark.parametrize("name", list(PROPS))
@pytest.mark.parametrize("seed", range(6))
def test_stream_agrees_with_reference(name, seed):
    r = random.Random(f"{name}-{seed}")
    ref, obj, ops = pair(name, r)
    errors = 0
    for _ in range(300):
        method, args = r.choice(ops)
        args = args()
        ref_fn = getattr(ref, "fit_one" if method == "learn_one" and isinstance(ref, Scaler)
                         else method)
        expected, got = outcome(ref_fn, *args), outcome(getattr(obj, method), *args)
        assert expected[0] == got[0] and same(expected[1], got[1]), (method, args, expected, got)
        errors += expected[0] == "error"
        props = [getattr(obj, p) for p in PROPS[name]]
        assert all(same(a, b) for a, b in zip(observe(name, ref), props)), (props, ref.state())
        assert agrees(ref.state(), json.loads(obj.to_json())["model"])
    assert 0 < errors < 300


def random_floats(count, seed):
    r = random.Random(seed)
    picks = [raw_bits(r) for _ in range(count)]
    picks += [x * 10.0 ** e for e in range(-330, 310, 7) for x in (1.0, -2.5, 1.2345678901234567)]
    return picks + EXTREMES + NON_FINITE + [1e21, 1e22, 1e23, 1e-7, 0.1 + 0.2]


@pytest.mark.parametrize("ref,cls", [(lambda v: Linear(3, v, False), drel_ml.LinearRegression),
                                     (lambda v: Linear(3, v, True), drel_ml.ClassificationPipeline),
                                     (EWMean, drel_ml.EWMean)])
def test_setting_texts_render_every_float(ref, cls):
    for v in random_floats(2500, cls.__name__):
        expected = outcome(ref, v)
        got = outcome(cls, *([3, v] if cls is not drel_ml.EWMean else [v]))
        assert expected[0] == got[0] and (got[0] == "ok" or expected[1] == got[1]), (v, got)


@pytest.mark.parametrize("x,text", [(0.0, "0"), (-0.0, "-0"), (0.5, "0.5"), (-2.5, "-2.5"),
                                    (1e-7, "0.0000001"), (1e21, "1000000000000000000000"),
                                    (1e23, "100000000000000000000000"), (0.1, "0.1"),
                                    (5e-324, "0." + "0" * 323 + "5"), (math.nan, "NaN"),
                                    (-math.inf, "-inf"), (1.0, "1"), (100.0, "100")])
def test_reference_formatter(x, text):
    assert fmt(x) == text
