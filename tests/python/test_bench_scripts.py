"""The benchmark scripts whose figures the README quotes still run, at a tiny size."""

import os
import subprocess
import sys

import pytest

from conftest import recorded, sanitized

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

pytestmark = pytest.mark.skipif(sanitized(), reason="whole scripts in child processes")


@pytest.mark.parametrize("script, args, expected", [
    ("bench_file_forms.py", ["--repeat", "1", recorded("BASIC-1.132153978")], "BASIC-1.132153978"),
    ("bench_backtest.py", ["--markets", "2", "--updates", "60"], "flumine    dask"),
    ("bench_flumine.py", ["--repeat", "1", "--markets", "1", "--updates", "100"],
     "stream alone {'seconds_to_start': 600, 'inplay': False}"),
])
def test_runs(script, args, expected):
    run = subprocess.run([sys.executable, os.path.join(ROOT, "bench", script), *args], cwd=ROOT,
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert expected in run.stdout
