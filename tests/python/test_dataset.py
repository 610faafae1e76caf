"""write_dataset and python -m pelarune_tables: a Parquet file per input holding prices_table's
rows, named apart and the same on every engine; damaged and empty files, one-line mistakes and
exit statuses; Ctrl-C leaving nothing half-written, and --resume."""

import json
import os
import shutil
import signal
import subprocess
import sys

import pyarrow
import pyarrow.parquet
import pytest

import pelarune_tables
from conftest import recorded, sanitized
from pelarune_tables.__main__ import main
from test_backtest import generated_markets, interrupt, session_left, wait_for

pytestmark = pytest.mark.skipif(sanitized(), reason="worker processes under ASan")

OPTIONS = {"levels": 3, "columns": ["runner_status", "marketType"], "batch_rows": 5000}


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """Two folders holding a file of the same name (different markets), a gzip file and two
    generated markets."""
    root = tmp_path_factory.mktemp("inputs")
    for source, target in [("1.197931750", "a/1.197931750"),
                           ("1.197931751", "b/deep/1.197931750"),
                           ("BASIC-1.132153978.gz", "a/BASIC-1.132153978.gz")]:
        os.makedirs(root / os.path.dirname(target), exist_ok=True)
        shutil.copy(recorded(source), root / target)
    generated_markets(str(root / "generated"), 2, 150)
    return root


def parquet_files(out):
    """Relative name -> bytes of every file under `out` (the journal aside)."""
    found = {}
    for folder, _, names in os.walk(out):
        for name in names:
            path = os.path.join(folder, name)
            if name != ".pelarune_tables.run":
                with open(path, "rb") as data:
                    found[os.path.relpath(path, out)] = data.read()
    return found


@pytest.fixture(scope="module")
def reference(inputs, tmp_path_factory):
    out = tmp_path_factory.mktemp("reference") / "out"
    result = pelarune_tables.write_dataset(inputs, out, engine="serial", **OPTIONS)
    assert result.ok and not result.failed and not result.empty
    return result, parquet_files(out)


def test_each_file_holds_its_rows_under_its_relative_path(inputs, reference):
    result, files = reference
    sources = {"a/1.197931750": "1.197931750", "b/deep/1.197931750": "1.197931751",
               "a/BASIC-1.132153978.gz": "BASIC-1.132153978.gz",
               "generated/1.300000000.json": None, "generated/1.300000001.json": None}
    assert sorted(files) == sorted(name + ".parquet" for name in sources)
    rows = 0
    for name, source in sources.items():
        path = str(inputs / name)
        written = pyarrow.parquet.read_table(result.written[path])
        expected = pelarune_tables.prices_table(path, **OPTIONS).to_pyarrow()
        assert written.equals(expected), name
        assert written.schema.field("market_id").type == pyarrow.dictionary(
            pyarrow.int32(), pyarrow.string())
        if source is not None:  # the same rows as the recorded file itself
            assert written.equals(pelarune_tables.prices_table(recorded(source),
                                                               **OPTIONS).to_pyarrow())
        rows += written.num_rows
    assert rows == result.rows > 20000


@pytest.mark.parametrize("engine", ["process", "dask"])
def test_same_files_on_every_engine(inputs, reference, tmp_path, engine):
    result = pelarune_tables.write_dataset(inputs, tmp_path / "out", engine=engine, workers=2,
                                           progress=False, **OPTIONS)
    assert result.ok and result.rows == reference[0].rows
    assert parquet_files(tmp_path / "out") == reference[1]


@pytest.fixture
def mixed(tmp_path):
    """A good file, a damaged one (a broken line after good ones) and an empty one."""
    folder = tmp_path / "in"
    folder.mkdir()
    shutil.copy(recorded("1.197931750"), folder / "good")
    with open(recorded("1.197931750"), "rb") as source:
        lines = source.read().splitlines(keepends=True)
    (folder / "damaged").write_bytes(b"".join(lines[:20]) + b'{"op":"mcm","mc":[\n')
    (folder / "empty").write_bytes(b"")
    return folder


def test_damaged_and_empty_files_are_reported_with_status_1(mixed, tmp_path, capsys):
    out = tmp_path / "out"
    assert main([str(mixed), "--out", str(out), "--engine", "serial", "--quiet"]) == 1
    err = capsys.readouterr().err.splitlines()
    assert err[0].startswith(f"failed: {mixed / 'damaged'}: ValueError: ") and len(err) == 2
    assert err[1] == f"no market: {mixed / 'empty'}"
    # Nothing of the damaged file; the empty one's output has no rows.
    assert sorted(os.listdir(out)) == [".pelarune_tables.run", "empty.parquet", "good.parquet"]
    assert pyarrow.parquet.read_table(out / "empty.parquet").num_rows == 0
    assert main([str(mixed), "--out", str(out), "--engine", "serial", "--quiet",
                 "--allow-failures"]) == 0


@pytest.mark.parametrize("arguments, message", [
    (["--levels", "2", "--format", "last_price_traded"], "levels applies to the full ladder"),
    (["--columns", "runner_status,nope"], "unknown column 'nope'"),
    (["--scheduler", "tcp://localhost:1"], "a scheduler is for the dask engine"),
    (["--levels", "0"], "argument --levels: invalid positive integer value: '0'"),
    (["missing"], "no such file or folder: missing"),
])
def test_mistakes_are_one_line_before_any_file_is_read(mixed, tmp_path, capsys, monkeypatch,
                                                       arguments, message):
    monkeypatch.chdir(tmp_path)
    out = tmp_path / "out"
    with pytest.raises(SystemExit) as stop:
        main([str(mixed), *arguments, "--out", str(out), "--engine", "serial"])
    err = capsys.readouterr().err
    assert stop.value.code == 2 and err.count("\n") == 1 and message in err, err
    assert not out.exists()


def test_an_output_that_would_be_a_folder_is_refused(tmp_path):
    (tmp_path / "x.parquet").mkdir()
    shutil.copy(recorded("1.197931750"), tmp_path / "x")
    shutil.copy(recorded("1.197931750"), tmp_path / "x.parquet" / "y")
    with pytest.raises(pelarune_tables.dataset.SetupError, match="would also be a folder"):
        pelarune_tables.write_dataset(tmp_path, tmp_path / "out", engine="serial")


@pytest.fixture(scope="module")
def many(tmp_path_factory):
    """Twelve markets of about a million full-ladder rows: a few seconds on two workers."""
    return generated_markets(str(tmp_path_factory.mktemp("many")), 12, 3000)


def start(arguments):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(os.path.abspath(__file__)), os.environ.get("PYTHONPATH", "")]))
    return subprocess.Popen([sys.executable, "-m", "pelarune_tables", *arguments], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)


def journal(out):
    try:
        with open(out / ".pelarune_tables.run") as lines:
            return [json.loads(line) for line in lines]
    except FileNotFoundError:
        return []


@pytest.mark.parametrize("engine, signals, signum", [
    ("serial", 2, signal.SIGINT), ("process", 1, signal.SIGINT), ("process", 2, signal.SIGINT),
    ("process", 1, signal.SIGTERM)])
def test_interrupted_run_keeps_whole_files_and_resumes(many, tmp_path, engine, signals, signum):
    out = tmp_path / "out"
    run = start([many, "--out", str(out), "--engine", engine, "--workers", "2"])
    wait_for(lambda: any("done" in line for line in journal(out)))
    if signum == signal.SIGINT:
        _, err, seconds = interrupt(run, signals, pause=0.05)
    else:  # the parent alone, as kill, systemd or a batch scheduler send it
        os.kill(run.pid, signum)
        _, err = run.communicate(timeout=60)
        seconds = 0
    assert run.returncode == 128 + signum and seconds < 15 and "Traceback" not in err, err
    assert err.splitlines()[-1].startswith(
        "interrupted: " if signum == signal.SIGINT else f"{signum.name}: ")
    assert session_left(run) == []
    done = {path for line in journal(out) for path in line.get("done", [])}
    assert journal(out)[-1] == {"complete": False} and 0 < len(done) < 12
    # No temporary file left behind, and every file there whole; a file a worker stopped at
    # once renamed in before the run heard of it is whole but not recorded.
    names = set(os.listdir(out)) - {".pelarune_tables.run"}
    assert not [name for name in names if name.startswith(".")]
    assert {os.path.basename(path) + ".parquet" for path in done} <= names
    assert len(names) - len(done) <= (2 if signals == 2 else 0)  # one a worker
    for name in names:
        pyarrow.parquet.read_metadata(out / name)

    run = start([many, "--out", str(out), "--resume", "--engine", engine])
    stdout, err = run.communicate(timeout=120)
    assert run.returncode == 0, err
    assert f"{12 - len(done)} written" in stdout and f"{len(done)} done before" in stdout
    reference = tmp_path / "reference"
    pelarune_tables.write_dataset(many, reference, engine="serial")
    assert parquet_files(out) == parquet_files(reference) and len(parquet_files(out)) == 12


def test_a_table_alone_imports_neither_the_runner_nor_pyarrow():
    code = ("import sys, pelarune_tables; pelarune_tables.prices_table; "
            "print(sorted({'pyarrow', 'multiprocessing', 'pelarune_runs'} & set(sys.modules))); "
            "pelarune_tables.write_dataset; print('pelarune_runs' in sys.modules)")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True)
    assert run.stdout == "[]\nTrue\n"


# Started in every worker (by Python's site module, from PYTHONPATH): writing the file named
# in PELARUNE_TEST_KILL kills the worker, as the OOM killer or a native crash would.
KILLER = """
import os, signal
if os.environ.get("PELARUNE_TEST_KILL"):
    import pelarune_tables.dataset as dataset
    write_file = dataset.write_file
    def killing(item, options):
        if item[0] == os.environ["PELARUNE_TEST_KILL"]:
            os.kill(os.getpid(), signal.SIGKILL)
        return write_file(item, options)
    dataset.write_file = killing
"""


def test_a_file_that_kills_its_worker_fails_alone_and_resume_goes_past_it(
        inputs, reference, tmp_path, monkeypatch):
    (tmp_path / "site").mkdir()
    (tmp_path / "site" / "sitecustomize.py").write_text(KILLER)
    killer = str(inputs / "a" / "1.197931750")
    monkeypatch.setenv("PELARUNE_TEST_KILL", killer)
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(
        [str(tmp_path / "site"), os.environ.get("PYTHONPATH", "")]))
    out = tmp_path / "out"
    result = pelarune_tables.write_dataset(inputs, out, engine="process", workers=2,
                                           progress=False, **OPTIONS)
    assert (result.failed, result.complete) == ([(killer, "worker died: SIGKILL")], True)
    # The others, some of them in the pool the death broke, are written as ever.
    expected = {name: data for name, data in reference[1].items()
                if name != "a/1.197931750.parquet"}
    assert parquet_files(out) == expected and len(expected) == 4
    assert journal(out)[-1] == {"complete": True}

    with pytest.raises(pelarune_tables.dataset.SetupError,
                       match="inplay_only was false, now true; run again without resume"):
        pelarune_tables.write_dataset(inputs, out, resume=True, inplay_only=True, **OPTIONS)
    # The killer is reported again, not written again, though it would not kill now.
    monkeypatch.setenv("PELARUNE_TEST_KILL", "")
    resumed = pelarune_tables.write_dataset(inputs, out, engine="serial", resume=True,
                                            progress=False, **OPTIONS)
    assert (resumed.written, resumed.skipped, resumed.failed, resumed.ok) == (
        {}, 5, [(killer, "worker died: SIGKILL")], False)
    assert parquet_files(out) == expected
