#!/usr/bin/env python3
"""Learn from a stream of dict events with categorical fields, through the hashing trick.

    python3 examples/stream_events.py [--events 20000] [--bits 14]

The events are generated, as a click log looks: each holds a user agent, a country, a site
and a page token drawn from Zipf-distributed vocabularies (a few values are everywhere, most
are rare), the hour of day (as a fraction of the day) and an amount. Whether the event is a click follows a hidden
logistic model over those fields. Each event is first predicted, then learned from
(progressive validation), by:

- drel_ml: a LogisticRegression on the rows drel_ml_ext.FeatureHasher makes of the dicts;
- the river adapter drel_ml_ext.river.LogisticClassifier on the dicts themselves, and on
  river's bundled Phishing data set, when river is installed;
- a baseline that predicts the running click rate.

The log loss and accuracy of each are printed at the end. Nothing is downloaded.
"""

from __future__ import annotations

import argparse
import math
import random
from collections.abc import Iterator
from typing import Any

import drel_ml
import drel_ml_ext

FIELDS = {"user_agent": 30, "country": 200, "site": 5_000, "page": 50_000}


def zipf_sampler(rng: random.Random, size: int, exponent: float = 1.1) -> Any:
    """A draw of 0..size-1 with probability proportional to 1 / (rank + 1) ** exponent."""
    weights = [1.0 / (rank + 1) ** exponent for rank in range(size)]
    cumulative = []
    total = 0.0
    for w in weights:
        total += w
        cumulative.append(total)
    return lambda: rng.choices(range(size), cum_weights=cumulative)[0]


def events(count: int, seed: int = 7) -> Iterator[tuple[dict[str, Any], bool]]:
    rng = random.Random(seed)
    draws = {field: zipf_sampler(rng, size) for field, size in FIELDS.items()}
    # The hidden model: one effect per value, drawn on first sight, and two numeric slopes.
    effects: dict[str, float] = {}
    for _ in range(count):
        event: dict[str, Any] = {field: f"{field[0]}{draw()}" for field, draw in draws.items()}
        event["hour"] = rng.randrange(24) / 24
        event["amount"] = round(rng.expovariate(1.0), 2)
        logit = -1.0 + 1.2 * (event["hour"] - 0.5) - 0.2 * event["amount"]
        for field in FIELDS:
            key = f"{field}={event[field]}"
            if key not in effects:
                effects[key] = rng.gauss(0.0, 1.0)
            logit += effects[key]
        yield event, rng.random() < 1.0 / (1.0 + math.exp(-logit))


class Score:
    """Running log loss and accuracy of one learner."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.log_loss = drel_ml.Mean()
        self.accuracy = drel_ml.Mean()

    def add(self, p_true: float, y: bool) -> None:
        p = min(max(p_true, 1e-15), 1.0 - 1e-15)
        self.log_loss.update(-math.log(p if y else 1.0 - p))
        self.accuracy.update(float((p_true >= 0.5) == y))

    def line(self) -> str:
        return f"{self.name:<34} {self.log_loss.value:>9.4f} {self.accuracy.value:>9.4f}"


def stream_events(count: int, bits: int) -> list[Score]:
    hasher = drel_ml_ext.FeatureHasher(2**bits)
    model = drel_ml_ext.logistic_regression(2**bits, learning_rate=0.02)
    scores = [Score("drel_ml, hashed rows"), Score("baseline: running click rate")]
    rate = drel_ml.Mean()
    adapter = None
    try:
        from drel_ml_ext.river import LogisticClassifier
    except ImportError:
        pass
    else:
        adapter = LogisticClassifier(n_features=2**bits, learning_rate=0.02, scale=False)
        scores.append(Score("drel_ml_ext.river adapter, dicts"))
    for event, clicked in events(count):
        row = hasher.transform_one(event)
        scores[0].add(model.predict_proba_one(row), clicked)
        model.learn_one(row, clicked)
        scores[1].add(rate.value if rate.count else 0.5, clicked)
        rate.update(float(clicked))
        if adapter is not None:
            scores[2].add(adapter.predict_proba_one(event).get(True, 0.5), clicked)
            adapter.learn_one(event, clicked)
    return scores


def stream_phishing() -> list[Score]:
    try:
        from river import datasets

        from drel_ml_ext.river import LogisticClassifier, StandardScaler
    except ImportError:
        return []
    names = tuple(str(name) for name in next(iter(datasets.Phishing()))[0])
    model = StandardScaler(features=names) | LogisticClassifier(features=names)
    score = Score("drel_ml_ext.river adapter")
    for x, y in datasets.Phishing():
        score.add(model.predict_proba_one(x).get(True, 0.5), y)
        model.learn_one(x, y)
    return [score]


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--events", type=int, default=20_000)
    parser.add_argument("--bits", type=int, default=14, help="log2 of the hashed columns")
    args = parser.parse_args()
    header = f"{'learner':<34} {'log loss':>9} {'accuracy':>9}"
    print(f"{args.events} generated click events, {2 ** args.bits} hashed columns, "
          "progressive validation (each event predicted, then learned):")
    print(header)
    for score in stream_events(args.events, args.bits):
        print(score.line())
    phishing = stream_phishing()
    if phishing:
        print("\nriver's Phishing data set, progressive validation:")
        print(header)
        for score in phishing:
            print(score.line())
    else:
        print("\nriver is not installed: its rows are left out (python3 -m pip install river)")


if __name__ == "__main__":
    main()
