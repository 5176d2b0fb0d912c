"""The runnable examples: each checks its own answers against a plain scan
and exits non-zero when they disagree, so running them keeps them honest."""

import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
# A free-threaded interpreter turns the lock on when it loads a module that
# has not declared it can run without it, and says so on stderr. That line is
# the interpreter's, not the example's; any other output there still fails.
ALLOW_GIL_ENABLED = (
    "ignore:The global interpreter lock (GIL) has been enabled to load module 'Vorlane'"
    ":RuntimeWarning"
)


@pytest.mark.parametrize("name", ["game_world.py", "order_book.py", "catalogue.py"])
def test_example_runs_and_agrees_with_a_scan(name, tmp_path):
    result = subprocess.run(
        [sys.executable, "-W", ALLOW_GIL_ENABLED, str(EXAMPLES / name)],
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stderr == ""
    # Each prints a few results, one line per step.
    assert len(result.stdout.splitlines()) >= 4, result.stdout
