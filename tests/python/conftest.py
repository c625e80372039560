import os
import signal
import subprocess
import sys
import time

import pytest

# support.py sits next to this file; make it importable whatever the cwd.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

try:
    from hypothesis import HealthCheck, settings
except ImportError:  # hypothesis is optional; its tests skip themselves
    pass
else:
    settings.register_profile(
        "drel", deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow]
    )
    settings.load_profile("drel")


@pytest.fixture
def np():
    return pytest.importorskip("numpy")


@pytest.fixture
def interrupted():
    """interrupted(call, delay) runs call(), which a SIGINT from another process
    (as a terminal sends it) interrupts `delay` s in; it asserts the call raised
    KeyboardInterrupt and returns how late that came after the signal left.

    Python's own SIGINT handler is installed for the test: a shell that starts
    the tests in the background leaves SIGINT ignored, and then no signal would
    ever arrive."""
    if sys.platform == "win32":
        pytest.skip("needs kill(1)")
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)

    def run(call, delay=0.2):
        sender = subprocess.Popen(["/bin/sh", "-c", f"sleep {delay}; kill -INT {os.getpid()}"])
        start = time.monotonic()
        try:
            with pytest.raises(KeyboardInterrupt):
                call()
            return time.monotonic() - start - delay
        finally:
            sender.kill()  # when the call ended first, no signal comes later
            sender.wait()

    yield run
    signal.signal(signal.SIGINT, previous)
