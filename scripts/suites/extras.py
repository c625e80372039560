"""Prints the requirements of the named extras of pyproject.toml, one a line,
each once: what a suite installs without reinstalling drel_ml itself.

    python scripts/suites/extras.py sklearn examples
"""

import sys
import tomllib
from pathlib import Path

PYPROJECT = Path(__file__).resolve().parents[2] / "pyproject.toml"

with PYPROJECT.open("rb") as f:
    extras = tomllib.load(f)["project"]["optional-dependencies"]
print("\n".join(sorted({r for name in sys.argv[1:] for r in extras[name]})))
