"""Importing an optional part of drel_ml_ext without its extra says which extra to install."""

from __future__ import annotations

import json
import subprocess
import sys

import pytest

# Runs in a fresh interpreter in which `blocked` cannot be imported (a None entry in
# sys.modules stops the import), and reports what importing `module` raised.
PROBE = """
import json, sys
module, blocked = sys.argv[1:]
sys.modules[blocked] = None
try:
    __import__(module)
except ImportError as error:
    cause = error.__cause__
    print(json.dumps({"type": type(error).__name__, "name": error.name, "text": str(error),
                      "cause": type(cause).__name__, "cause_name": getattr(cause, "name", None)}))
else:
    print("null")
"""


@pytest.mark.parametrize(
    "module, blocked, needs, extra",
    [
        ("drel_ml_ext.sklearn", "numpy", "scikit-learn and numpy", "sklearn"),
        ("drel_ml_ext.sklearn", "sklearn", "scikit-learn and numpy", "sklearn"),
        ("drel_ml_ext.dask", "dask", "Dask (with its data frames), pandas and numpy", "dask"),
        ("drel_ml_ext.dask", "pandas", "Dask (with its data frames), pandas and numpy", "dask"),
    ],
)
def test_a_missing_extra_is_named(module, blocked, needs, extra):
    result = subprocess.run([sys.executable, "-c", PROBE, module, blocked],
                            capture_output=True, text=True, check=True)
    raised = json.loads(result.stdout)
    assert raised is not None, f"{module} imported without {blocked}"
    assert raised["type"] == "ModuleNotFoundError"
    # A blocked package reads as missing from its first submodule imported: "sklearn.base".
    assert raised["name"] == raised["cause_name"]
    assert raised["name"].split(".")[0] == blocked
    assert raised["cause"] == "ModuleNotFoundError"
    assert raised["text"].startswith(f"{module} needs {needs}: pip install 'drel_ml[{extra}]' (")
    assert blocked in raised["text"]
