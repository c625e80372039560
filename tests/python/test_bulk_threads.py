"""The bulk functions release the interpreter lock while the core runs: the
instance stays borrowed meanwhile, and two models train in two threads with the
same results as one after the other."""

import threading

import pytest

import drel_ml
import drel_ml_ext

np = pytest.importorskip("numpy")

ROWS, COLS = 400_000, 8


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(7)
    X = rng.standard_normal((ROWS, COLS))
    return X, X @ rng.standard_normal(COLS), X[:, 0] > 0


def conflicts_during(call, probe, attempts=5):
    """Runs call() in a thread and probe() meanwhile; the probe's borrow errors."""
    seen = set()

    def work(started):
        started.set()
        try:
            call()
        except RuntimeError:  # the probe got in first: this attempt shows nothing
            pass

    for _ in range(attempts):
        started = threading.Event()
        worker = threading.Thread(target=work, args=(started,))
        worker.start()
        started.wait()
        while worker.is_alive():
            try:
                probe()
            except RuntimeError as e:
                seen.add(str(e))
        worker.join()
        if seen:
            return seen
    return seen


def test_learning_holds_the_model_exclusively(data):
    X, y, _ = data
    m = drel_ml.LinearRegression(COLS, 1e-4)
    seen = conflicts_during(lambda: drel_ml_ext.learn_many(m, X, y),
                            lambda: m.predict_one(X[0]))
    assert seen == {"Already mutably borrowed"}
    seen = conflicts_during(lambda: drel_ml_ext.learn_many(m, X, y),
                            lambda: drel_ml_ext.learn_many(m, X[:1], y[:1]))
    assert seen == {"Already borrowed"}


def test_reading_shares_the_model(data):
    X, y, _ = data
    m = drel_ml.RegressionPipeline(COLS, 1e-4)
    drel_ml_ext.learn_many(m, X[:100], y[:100])
    # Reading alongside works; learning is refused.
    seen = conflicts_during(lambda: drel_ml_ext.predict_many(m, X),
                            lambda: (m.predict_one(X[1]), m.learn_one(X[0], 1.0)))
    assert seen == {"Already borrowed"}


def test_two_models_in_two_threads_equal_one_after_the_other(data):
    X, y, flags = data
    build = [lambda: drel_ml.LinearRegression(COLS, 1e-4), lambda: drel_ml.LogisticRegression(COLS, 1e-3)]
    targets = [y, flags]
    sequential = [make() for make in build]
    for model, t in zip(sequential, targets):
        drel_ml_ext.learn_many(model, X, t)
    parallel = [make() for make in build]
    threads = [threading.Thread(target=drel_ml_ext.learn_many, args=(model, X, t))
               for model, t in zip(parallel, targets)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [m.to_json() for m in parallel] == [m.to_json() for m in sequential]
