"""The benchmark scripts the README names still run, at a tiny size."""

import os
import subprocess
import sys

import pytest

import pelarune
from conftest import recorded, sanitized

INSTALLED = os.path.dirname(os.path.abspath(pelarune.__file__))

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

pytestmark = pytest.mark.skipif(sanitized(), reason="whole scripts in child processes")


@pytest.mark.parametrize("script, args, expected", [
    ("bench_file_forms.py", ["--repeat", "1", recorded("BASIC-1.132153978")], "BASIC-1.132153978"),
    ("bench_backtest.py", ["--markets", "2", "--updates", "60"], "flumine    dask"),
    ("bench_flumine.py", ["--repeat", "1", "--markets", "1", "--updates", "100"],
     "stream alone {'seconds_to_start': 600, 'inplay': False}"),
    ("bench_shared_load.py", ["--repeat", "1", "--markets", "1", "--updates", "100"],
     "generated, long  three-orders  no"),
    ("bench_parent_memory.py", ["--orders", "0", "100", "--files", "4"], "peak RSS MB"),
    ("bench_tables.py", ["--repeat", "1", "--parquet-mb", "1", recorded("1.197931750")],
     "full ladder pyarrow"),
    ("compare_builds.py", ["--rounds", "2", INSTALLED, INSTALLED, "--",
                           recorded("BASIC-1.132153978") + ":2"], "BASIC-1.132153978 "),
])
def test_runs(script, args, expected):
    run = subprocess.run([sys.executable, os.path.join(ROOT, "bench", script), *args], cwd=ROOT,
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert expected in run.stdout
