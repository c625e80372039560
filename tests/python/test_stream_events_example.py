"""The dict-event example runs, and its hashed learners beat the running click rate."""

import re
import subprocess
import sys
from pathlib import Path

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "stream_events.py"


def test_hashed_learners_beat_the_baseline():
    done = subprocess.run([sys.executable, str(EXAMPLE), "--events", "3000", "--bits", "12"],
                          capture_output=True, text=True, timeout=300, check=True)
    losses = {name.strip(): float(loss) for name, loss in
              re.findall(r"^(.+?)\s+([\d.]+)\s+[\d.]+$", done.stdout, re.M)}
    baseline = losses.pop("baseline: running click rate")
    assert losses["drel_ml, hashed rows"] < baseline
    # The adapter hashes the same dicts into the same model: the same numbers.
    if "drel_ml_ext.river adapter, dicts" in losses:
        assert losses["drel_ml_ext.river adapter, dicts"] == losses["drel_ml, hashed rows"]
