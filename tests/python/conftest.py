import os
import sys

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
