"""The many-files example: the process-pool and Dask forms give what the plain loop gives, and
files that cannot be read are reported without ending the job; the recompress example; the
README's first example."""

import bz2
import importlib
import os
import subprocess
import sys

import pytest

import pelarune
from conftest import recorded, sanitized

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = os.path.join(ROOT, "examples")

# Worker processes under ASan would run Dask's own C extensions under it too; this test is
# about the example's orchestration, which the plain run covers.
pytestmark = pytest.mark.skipif(sanitized(), reason="worker processes under ASan")


@pytest.fixture(scope="module")
def many_files(tmp_path_factory):
    """The example module, with a folder of generated markets, one file without books, a stray
    note and a truncated download."""
    folder = tmp_path_factory.mktemp("markets")
    for seed in range(3):
        subprocess.run([sys.executable, os.path.join(ROOT, "bench", "generate.py"),
                        "--markets", "1", "--updates", "150", "--seed", str(seed),
                        "-o", str(folder / f"market{seed}.json")],
                       check=True, stderr=subprocess.DEVNULL)
    (folder / "empty.json").write_text("")
    (folder / "notes.txt").write_text("sha256 checksums of the downloads\n")
    (folder / "partial.bz2").write_bytes(bz2.compress((folder / "market0.json").read_bytes())[:-9])
    sys.path.insert(0, EXAMPLES)  # workers import pre_off by name, as on a cluster
    try:
        module = importlib.import_module("many_files")
        yield module, module.market_files(str(folder))
    finally:
        sys.path.remove(EXAMPLES)


@pytest.fixture(scope="module")
def expected(many_files):
    module, paths = many_files
    results = module.run_serial(paths)
    # Not trivially equal: every generated market has prices before the off and one winner.
    kinds = [type(result).__name__ for result in results]
    assert kinds == ["NoneType"] + ["MarketAtOff"] * 3 + ["Failed"] * 2
    for market in results[1:4]:
        assert market.off is not None and sum(runner.won for runner in market.runners) == 1
        assert all(runner.best_back is not None for runner in market.runners)
    return results


def test_process_pool_matches_serial(many_files, expected):
    module, paths = many_files
    assert module.run_process_pool(paths, 2) == expected


def test_dask_matches_serial(many_files, expected):
    module, paths = many_files
    assert module.run_dask(paths, 2) == expected


def test_command_reports_unreadable_files_and_goes_on(many_files):
    _, paths = many_files
    run = subprocess.run([sys.executable, os.path.join(EXAMPLES, "many_files.py"),
                          os.path.dirname(paths[0]), "--engine", "loop"],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    failed = run.stderr.splitlines()
    assert [line.split(": ", 1)[0] for line in failed] == paths[4:]
    assert failed[1].endswith(": truncated bzip2 stream")
    assert "4 files read, 2 failed" in run.stdout.splitlines()


@pytest.mark.parametrize("engine, expected", [
    ([], "4 files read, 2 failed"),
    (["--engine", "dask"], "Dask is not installed: pip install 'dask[distributed]'")])
def test_command_without_dask(many_files, engine, expected):
    _, paths = many_files
    code = ("import runpy, sys; sys.modules['dask'] = None; sys.argv[0] = sys.argv[1]; "
            "del sys.argv[1]; sys.path.insert(0, sys.argv[0].rsplit('/', 1)[0]); "
            "runpy.run_path(sys.argv[0], run_name='__main__')")
    run = subprocess.run([sys.executable, "-c", code, os.path.join(EXAMPLES, "many_files.py"),
                          os.path.dirname(paths[0]), *engine],
                         capture_output=True, text=True, timeout=120)
    if engine:
        assert (run.returncode, run.stderr) == (1, expected + "\n")
    else:
        assert run.returncode == 0, run.stderr
        assert run.stdout.startswith("process ") and expected in run.stdout


def test_recompressed_files_replay_as_the_originals(many_files, tmp_path):
    _, paths = many_files
    nested = tmp_path / "2022" / "Apr"
    nested.mkdir(parents=True)
    for path in paths[1:3]:
        with open(path, "rb") as source:
            (nested / (os.path.basename(path) + ".bz2")).write_bytes(bz2.compress(source.read()))
    with open(paths[5], "rb") as source:
        (tmp_path / "partial.bz2").write_bytes(source.read())
    command = [sys.executable, os.path.join(EXAMPLES, "recompress.py"), str(tmp_path)]
    run = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stderr.startswith(f"{tmp_path / 'partial.bz2'}: ")
    assert run.stdout == "2 files recompressed, 1 failed, 0 already had a .gz\n"
    for path in paths[1:3]:
        books = [b.to_dict() for b in pelarune.iter_prices_file(path)]
        gz = nested / (os.path.basename(path) + ".gz")
        assert len(books) > 100
        assert [b.to_dict() for b in pelarune.iter_prices_file(str(gz))] == books
    assert sorted(p.name for p in tmp_path.iterdir()) == ["2022", "partial.bz2"]
    again = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert again.stdout == "0 files recompressed, 1 failed, 2 already had a .gz\n"


def test_readme_first_example_runs_warning_free():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as readme:
        code = readme.read().split("```python\n", 1)[1].split("```", 1)[0]
    run = subprocess.run([sys.executable, "-W", "error", "-c", code], cwd=ROOT,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and run.stderr == "", run.stderr
    books = list(pelarune.iter_prices_file(recorded("1.197931750")))
    assert len(run.stdout.splitlines()) == sum(len(book.runners) for book in books) > 900
