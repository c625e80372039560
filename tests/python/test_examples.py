"""Smoke test of the plotted example: it runs headless, writes its PNG, and its learners
beat the baselines over both streams."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("matplotlib")
pytest.importorskip("sklearn")

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "stream_datasets.py"


def run_example(tmp_path: Path, hide_river: bool) -> tuple[str, str, Path]:
    env = {**os.environ, "MPLBACKEND": "Agg"}
    if hide_river:  # a package named river that fails to import, first on the path
        (tmp_path / "river").mkdir()
        (tmp_path / "river" / "__init__.py").write_text("raise ImportError('hidden')\n")
        env["PYTHONPATH"] = os.pathsep.join([str(tmp_path), env.get("PYTHONPATH", "")])
    output = tmp_path / "plots" / "curves.png"
    done = subprocess.run([sys.executable, str(EXAMPLE), "--output", str(output)],
                          capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout, done.stderr, output


def metrics(stdout: str, learner: str) -> list[float]:
    """The numbers of every table row of `learner`, in order (one row per data set)."""
    rows = re.findall(rf"^{re.escape(learner)}\s+([\d.]+)\s+([\d.]+)$", stdout, re.M)
    return [float(v) for row in rows for v in row]


@pytest.mark.parametrize("hide_river", [False, True], ids=["river if installed", "no river"])
def test_example_draws_the_curves_and_learns(tmp_path, hide_river):
    stdout, stderr, output = run_example(tmp_path, hide_river)
    assert output.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
    assert f"learning curves saved to {output.resolve()}" in stdout
    assert "Diabetes progression [" in stderr and "569/569" in stderr  # the progress bars
    mae, rmse, accuracy, log_loss = metrics(stdout, "drel_ml")
    base_mae, base_rmse, base_accuracy, base_loss = metrics(stdout, "running mean (baseline)") + metrics(stdout, "majority class (baseline)")
    assert mae < base_mae and rmse < base_rmse
    assert accuracy > max(0.9, base_accuracy) and log_loss < base_loss
    assert len(metrics(stdout, "scikit-learn partial_fit")) == 4
    river_rows = metrics(stdout, "river")
    if hide_river:
        assert "river is not installed" in stdout and river_rows == []
    elif "river is not installed" not in stdout:
        assert len(river_rows) == 4
