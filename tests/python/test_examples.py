"""The runnable examples: each checks its own answers against a plain scan
and exits non-zero when they disagree, so running them keeps them honest."""

import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.mark.parametrize("name", ["game_world.py", "order_book.py", "catalogue.py"])
def test_example_runs_and_agrees_with_a_scan(name, tmp_path):
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / name)], cwd=tmp_path, capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stderr == ""
    # Each prints a few results, one line per step.
    assert len(result.stdout.splitlines()) >= 4, result.stdout
