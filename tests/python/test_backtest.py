"""run_backtest: the same orders on every engine and worker count, failures confined to their
file and counted, whole events in a chunk with duplicated markets replayed once, the command
line's outputs, exit statuses and one-line mistakes, Ctrl-C, --resume, and a worker's memory
bounded by the chunk."""

import bz2
import collections
import contextlib
import ctypes
import dataclasses
import datetime
import gzip
import json
import logging
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import time

import psutil
import pytest
from flumine import config
from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream as FlumineStream

import backtest_strategies
import pelarune_flumine.backtest
import pelarune_flumine.ledger
import pelarune_flumine.rows
from conftest import recorded, sanitized
from pelarune_flumine import run_backtest
from pelarune_flumine.__main__ import main
from pelarune_flumine.planning import Scan, plan
from pelarune_flumine.rows import OrderRow, RowWriter
from pelarune_flumine.rows import read as read_rows
from pelarune_flumine.rows import write as write_rows

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "bench"))
from bench_backtest import generated_markets  # noqa: E402

pytestmark = pytest.mark.skipif(sanitized(), reason="worker processes under ASan")


@pytest.fixture(autouse=True)
def quiet_flumine():
    logging.disable(logging.CRITICAL)
    yield
    logging.disable(logging.NOTSET)


@pytest.fixture(scope="module")
def generated(tmp_path_factory):
    """Four generated markets, each with its own id (1.300000000 to 3) and event."""
    folder = str(tmp_path_factory.mktemp("generated"))
    generated_markets(folder, 4, 150)
    return sorted(os.path.join(folder, name) for name in os.listdir(folder))


@pytest.fixture(scope="module")
def files(generated):
    return generated + [recorded("1.197931750"), recorded("BASIC-1.132153978.gz")]


@pytest.fixture(scope="module")
def expected(files):
    result = run_backtest(files, backtest_strategies.placer, engine="serial")
    # Every market places orders, so a market lost or replayed twice shows.
    assert len({row.market_id for row in result}) == 6 and len(result) > 100
    assert (result.files, result.failed, result.left_out) == (6, [], [])
    # One strategy pays all of flumine's commission, charged market by market on winnings.
    assert result.by_strategy()["Placer"][2:4] == (
        result.profit, round(result.profit - result.commission, 2)) and result.commission > 0
    return result


@pytest.fixture(scope="module")
def cluster():
    from dask.distributed import LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster:
        yield cluster.scheduler_address


@pytest.mark.parametrize("engine, workers, chunk_size", [
    ("serial", 1, 1), ("process", 2, 8), ("process", 1, 2), ("dask", 2, 3)])
def test_same_orders_on_every_engine(files, expected, cluster, engine, workers, chunk_size):
    result = run_backtest(files, backtest_strategies.placer, engine=engine, workers=workers,
                          chunk_size=chunk_size, scheduler=cluster if engine == "dask" else None)
    assert list(result) == list(expected)
    assert result.books == expected.books > 1000


def without(rows, market_id):
    return [row for row in rows if row.market_id != market_id]


class TestFailures:
    def test_unreadable_files_take_no_orders_with_them(self, tmp_path, generated, expected):
        # Not UTF-8, so unreadable; a note in UTF-8 replays with no book, its lines passed over.
        (tmp_path / "notes.txt").write_bytes("sha256 checksums, r\xe9sum\xe9\n".encode("latin-1"))
        with open(generated[0], "rb") as source:
            (tmp_path / "partial.bz2").write_bytes(bz2.compress(source.read())[:-9])
        (tmp_path / "empty.json").write_text("")
        (tmp_path / "settings.json").write_text('{"op": "status", "status": "SUCCESS"}\n')
        paths = [str(tmp_path / name) for name in ("notes.txt", "partial.bz2", "empty.json",
                                                  "settings.json")] + generated
        # One chunk holds them all: the failing file must not end the others' replay.
        result = run_backtest(paths, backtest_strategies.placer, engine="serial",
                              chunk_size=10)
        assert sorted((f.path, f.error.split(":")[0]) for f in result.failed) == [
            (paths[0], "ValueError"), (paths[1], "ValueError")]
        assert result.empty == paths[2:4] and not result.ok
        assert list(result) == [row for row in expected if row.market_id.startswith("1.3")]
        assert result.files == 4 and f"{paths[0]}: ValueError" in result.summary
        assert f"{paths[3]}: no market" in result.summary

    @pytest.mark.parametrize("case, status", [
        ("ok", 0), ("failed", 1), ("allowed", 0), ("no files", 1)])
    def test_exit_status(self, tmp_path, generated, recwarn, case, status):
        (tmp_path / "empty.json").write_text("")
        files = {"ok": generated[:1], "no files": [str(tmp_path / "folder")]}.get(
            case, [generated[0], str(tmp_path / "empty.json")])
        (tmp_path / "folder").mkdir()
        argv = ["backtest", "backtest_strategies:placer", *files, "--engine", "serial"]
        assert main(argv + (["--allow-failures"] if case == "allowed" else [])) == status
        if case == "no files":
            assert "holds no files" in str(recwarn.pop(UserWarning).message)

    def test_strategy_errors_are_passed_over_as_flumine_does_and_counted(self, generated,
                                                                         expected):
        result = run_backtest(generated, backtest_strategies.raiser, engine="serial")
        assert result.failed == []
        assert result.errors_by_file == {(generated[2], "Raiser"): 17}  # as flumine logs them
        assert "Raiser" in result.summary and result.ok
        assert [dataclasses.replace(row, strategy="Placer") for row in result] == \
            [row for row in expected if row.market_id.startswith("1.3")]

    def test_raised_strategy_errors_name_the_file(self, generated, expected, monkeypatch):
        monkeypatch.setattr(config, "raise_errors", True)
        # A worker process starts with flumine's default; the setting must reach it.
        result = run_backtest(generated, backtest_strategies.raiser, engine="process",
                              workers=1, chunk_size=4)
        (failed,) = result.failed
        assert failed.path == generated[2]
        assert failed.error == "RuntimeError: strategy fault in 1.300000002"
        assert "in process_market_book" in failed.traceback
        assert [row.market_id for row in result] == \
            [row.market_id for row in expected if row.market_id in ("1.300000000",
                                                                   "1.300000001",
                                                                   "1.300000003")]


def event_file(path, sources, event_id):
    """The markets of `sources` one after the other in one file, all of event `event_id`."""
    with open(path, "w") as out:
        for source in sources:
            with open(source) as lines:
                out.write(re.sub(r'"eventId":"\d+"', f'"eventId":"{event_id}"', lines.read()))
    return str(path)


class TestEvents:
    def test_event_level_file_replaces_its_markets_own_files(self, tmp_path, generated):
        # flumine's stream replays every market of a file; ours follows one market per file.
        whole = event_file(tmp_path / "event.json", generated[:2], 777)
        third = event_file(tmp_path / "third.json", generated[2:3], 777)
        paths = [generated[0], whole, third, generated[3]]
        with pytest.warns(UserWarning, match=f"{generated[0]} left out: 1.300000000 replayed "
                                             f"from {whole}"):
            result = run_backtest(paths, backtest_strategies.placer, engine="process",
                                  workers=2, chunk_size=2, event_processing=True,
                                  stream_class=FlumineStream, middleware=False)
        alone = run_backtest(generated, backtest_strategies.placer, engine="serial",
                             stream_class=FlumineStream, middleware=False)
        assert result.left_out == [generated[0]] and result.files == 3
        assert [dataclasses.replace(row, event_id=None) for row in result] == \
            [dataclasses.replace(row, event_id=None) for row in alone]
        assert len({row.market_id for row in result}) == 4

    def test_event_without_books_gives_no_orders_and_no_error(self, tmp_path, generated,
                                                              expected):
        # flumine's event loop lets StopIteration out when a file of an event yields no book.
        quiet = [event_file(tmp_path / f"{i}.json", [path], 777) for i, path in
                 enumerate(generated[:2])]
        for path in quiet:
            with open(path) as source:
                text = re.sub(r'"eventTypeId":"\d+"', '"eventTypeId":"1"', source.read())
            with open(path, "w") as target:
                target.write(text)
        # The event's third file gives books: it keeps its orders.
        loud = event_file(tmp_path / "2.json", generated[2:3], 777)
        result = run_backtest([*quiet, loud, generated[3]], backtest_strategies.placer,
                              engine="serial", event_processing=True,
                              listener_kwargs={"event_type_ids": ["7", "4339"]})
        assert (result.failed, result.files) == ([], 4)
        assert [dataclasses.replace(row, event_id=None) for row in result] == [
            dataclasses.replace(row, event_id=None) for row in expected
            if row.market_id in ("1.300000002", "1.300000003")]

    def test_closed_market_error_is_blamed_on_its_file(self, tmp_path, generated, expected):
        # flumine handles a CLOSED book before the market is the current one; the event's
        # files interleave, so the last file read is often another.
        paths = [event_file(tmp_path / f"{i}.json", [path], 777) for i, path in
                 enumerate(generated[1:4])]
        result = run_backtest(paths, backtest_strategies.close_raiser, engine="serial",
                              event_processing=True)
        (failed,) = result.failed
        assert (failed.path, failed.error) == (
            paths[1], "RuntimeError: closing fault in 1.300000002")
        assert result.errors_by_file == {(paths[1], "CloseRaiser"): 1}
        assert {row.market_id for row in result} == {"1.300000001", "1.300000003"}

    def test_faster_form_of_a_market_is_replayed(self, tmp_path, generated, expected):
        with open(generated[0], "rb") as source:
            data = source.read()
        (tmp_path / "1.300000000.bz2").write_bytes(bz2.compress(data))
        (tmp_path / "1.300000000.gz").write_bytes(gzip.compress(data))
        with pytest.warns(UserWarning) as warned:
            result = run_backtest(tmp_path, backtest_strategies.placer, engine="serial")
        assert [str(warning.message) for warning in warned] == [
            f"{tmp_path}/1.300000000.bz2 left out: 1.300000000 replayed from "
            f"{tmp_path}/1.300000000.gz"]
        assert list(result) == [row for row in expected if row.market_id == "1.300000000"]

    def test_events_stay_whole_in_chunks(self):
        scans = [Scan(*scan) for scan in [
            ("a1", ["1.1"], "A"), ("b1", ["1.2"], "B"), ("a2", ["1.3"], "A"), ("n", [], None),
            ("b2", ["1.4"], "B"), ("c", ["1.5", "1.6"], "C"), ("b3", ["1.7"], "B")]]
        chunks, left_out = plan(scans, 3)
        assert [[path for path, _ in chunk] for chunk in chunks] == \
            [["a1", "a2"], ["b1", "b2", "b3"], ["n", "c"]]
        assert left_out == []


class TestOneLoadPerFile:
    def test_each_file_is_opened_once(self, tmp_path, generated, expected):
        for path in generated:
            with open(path, "rb") as source:
                (tmp_path / (os.path.basename(path) + ".bz2")).write_bytes(
                    bz2.compress(source.read()))
        with opens_in(tmp_path) as opened:  # the folder's own open by os.walk is ""
            result = run_backtest(tmp_path, backtest_strategies.placer, engine="process",
                                  workers=2, chunk_size=2)
            counts = opened()
        assert list(result) == [row for row in expected if row.market_id.startswith("1.3")]
        assert counts == {"": 1} | {f"{os.path.basename(path)}.bz2": 1 for path in generated}

    @pytest.mark.parametrize("form", ["csv", "parquet"])
    def test_event_split_across_batches_is_replayed_whole(self, tmp_path, generated,
                                                          monkeypatch, form):
        # Event 777's files sit in two folders, so in two batches of two files.
        for folder, sources in (("a", generated[0::2]), ("b", generated[1::2])):
            (tmp_path / "data" / folder).mkdir(parents=True)
            event_file(tmp_path / "data" / folder / "0.json", sources[:1], 777)
            event_file(tmp_path / "data" / folder / "1.json", sources[1:],
                       {"a": 101, "b": 102}[folder])
        data, split, whole = tmp_path / "data", str(tmp_path / f"split.{form}"), \
            str(tmp_path / f"whole.{form}")
        kwargs = dict(engine="serial", event_processing=True)
        reference = run_backtest(data, backtest_strategies.placer, chunk_size=4, out=whole,
                                 **kwargs)
        result = run_backtest(data, backtest_strategies.placer, chunk_size=2, out=split,
                              **kwargs)
        assert list(result) == list(reference) and len({row.market_id for row in result}) == 4
        assert (result.files, result.books) == (4, reference.books)
        assert same_file(split, whole)

        # A run stopped after the first batch: the resumed run finds the event's other file.
        keep = pelarune_flumine.ledger.Ledger._keep

        def stop_after_one(ledger, *args):
            keep(ledger, *args)
            raise InterruptedError

        with monkeypatch.context() as patch:
            patch.setattr(pelarune_flumine.ledger.Ledger, "_keep", stop_after_one)
            with pytest.raises(InterruptedError):
                run_backtest(data, backtest_strategies.placer, chunk_size=2, out=split,
                             **kwargs)
        resumed = run_backtest(data, backtest_strategies.placer, chunk_size=2, out=split,
                               resume=True, **kwargs)
        assert (resumed.files, resumed.skipped) == (3, 1)
        assert same_file(split, whole)


def same_file(path, expected):
    if path.endswith(".parquet"):
        import pyarrow.parquet

        return pyarrow.parquet.read_table(path).equals(pyarrow.parquet.read_table(expected))
    with open(path) as written, open(expected) as reference:
        return written.read() == reference.read()


@contextlib.contextmanager
def opens_in(folder):
    """The opens of each file in `folder` while the block runs, by any process (inotify)."""
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.inotify_init1(os.O_NONBLOCK)
    assert fd >= 0 and libc.inotify_add_watch(fd, str(folder).encode(), 0x20) >= 0  # IN_OPEN
    counts = collections.Counter()

    def read():
        while True:
            try:
                data = os.read(fd, 65536)
            except BlockingIOError:
                return dict(counts)
            offset = 0
            while offset < len(data):
                _, _, _, length = struct.unpack_from("iIII", data, offset)
                name = data[offset + 16:offset + 16 + length].rstrip(b"\0").decode()
                counts[name] += 1
                offset += 16 + length
    try:
        yield read
    finally:
        os.close(fd)


def without_time(summary):
    return [line for line in summary.splitlines() if not line.startswith("time ")]


@pytest.mark.parametrize("arguments, message", [
    (["nosuchmodule:f"], "cannot import nosuchmodule (ModuleNotFoundError"),
    (["backtest_strategies:nothing"], "backtest_strategies has no nothing"),
    (["backtest_strategies.py:placer"], "name the module, not its file"),
    (["backtest_strategies:closure"], "cannot be sent to the process workers"),
    (["--listener-kwargs", '{"secnds_to_start": 600}'], "did you mean 'seconds_to_start'"),
    (["--listener-kwargs", '{"lightweight": true}'], "lightweight not supported"),
    (["--listener-kwargs", "[600]"], "invalid JSON object value"),
    (["--listener-kwargs", '{"seconds_to_start": "600"}'], "must be a number of seconds"),
    (["--listener-kwargs", '{"inplay": "yes"}'], "inplay must be true, false or null"),
    (["--listener-kwargs", '{"event_type_ids": 7}'], "event_type_ids must be a list"),
    (["--out", "nosuchdir/orders.csv"], "no folder"),
    # A folder that takes no new file, even for root.
    (["--out", "/proc/orders.csv"], "cannot write to /proc"),
    (["--out", "orders.xlsx"], "xlsx is not one of .csv, .parquet"),
    (["--chart", "pnl.jpg2"], "jpg2 is not one of"),
    (["--scheduler", "tcp://127.0.0.1:1"], "a scheduler is for the dask engine"),
    (["--engine", "dask", "--scheduler", "tcp://127.0.0.1:1"], "cannot connect"),
    (["--workers", "0"], "invalid positive integer value: '0'"),
    (["--workers", "-1"], "invalid positive integer value: '-1'"),
    (["--resume"], "resume needs an output file"),
    (["nosuchfolder"], "no such file or folder"),
])
def test_mistakes_are_one_line_before_any_file_is_read(tmp_path, generated, capsys,
                                                       monkeypatch, arguments, message):
    monkeypatch.chdir(tmp_path)
    factory = [] if ":" in arguments[0] else ["backtest_strategies:placer"]
    paths = [] if arguments[0] == "nosuchfolder" else [str(tmp_path / "markets")]
    os.makedirs(tmp_path / "markets")
    (tmp_path / "markets" / "1.json").write_text("")

    def run_batch(paths, settings):
        raise AssertionError("a file was read")

    monkeypatch.setattr(pelarune_flumine.backtest, "run_batch", run_batch)
    with pytest.raises(SystemExit) as exit:
        main(["backtest", *factory, *arguments, *paths])
    out, err = capsys.readouterr()
    assert (exit.value.code, out) == (2, "")
    assert err.count("\n") == 1 and message in err and "error: " in err, err
    assert os.listdir(tmp_path) == ["markets"]


def test_a_run_stays_one_run(tmp_path, generated, capsys, recwarn):
    """Its own files and a strategy module beside the data are not data; a resume of another
    definition, or an output that cannot be written (a folder in place of the journal, which
    stops root too), is one line before any file is read."""
    folder = tmp_path / "markets"
    os.makedirs(folder / "__pycache__")
    for path in generated[:2]:
        os.symlink(path, folder / os.path.basename(path))
    (folder / "mystrategy.py").write_text("")
    (folder / "__pycache__" / "mystrategy.cpython-312.pyc").write_bytes(b"\0")
    out = str(folder / "orders.csv")
    command = ["backtest", "backtest_strategies:placer", str(folder), "--engine", "serial",
               "--out", out]
    for again in ([], [], ["--resume"]):
        assert main(command + again) == 0
        output, err = capsys.readouterr()
        assert "2 replayed, 0 failed, 0 without markets" in output or "2 done before" in output
    # Python shows a warning once a place: once here, once a run of the command line.
    assert [str(warning.message) for warning in recwarn] == [
        f"passed over, not market data: {folder}{os.sep}__pycache__, "
        f"{folder}{os.sep}mystrategy.py"]
    for arguments, message in [
            (["backtest_strategies:raiser"], 'factory was "backtest_strategies:placer", now '
                                             '"backtest_strategies:raiser"'),
            (["--listener-kwargs", '{"inplay": false}'],
             'listener kwargs was {}, now {"inplay": false}'),
            (["--commission", "0.02"], 'client kwargs was {}, now {"commission_base": 0.02}')]:
        changed = [*command[:1], *arguments[:1], *command[2:], *arguments[1:]] \
            if ":" in arguments[0] else [*command, *arguments]
        with pytest.raises(SystemExit) as exit:
            main([*changed, "--resume"])
        output, err = capsys.readouterr()
        assert (exit.value.code, output, err.count("\n")) == (2, "", 1) and message in err, err
    os.remove(out + ".run")
    os.mkdir(out + ".run")
    with pytest.raises(SystemExit) as exit:
        main(command)
    output, err = capsys.readouterr()
    assert (exit.value.code, err.count("\n")) == (2, 1) and "orders.csv.run is not a file" in err


def test_command_line_writes_orders_and_chart(tmp_path, files, expected):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(os.path.abspath(__file__)), os.environ.get("PYTHONPATH", "")]))
    command = [sys.executable, "-W", "ignore", "-m", "pelarune_flumine", "backtest",
               "backtest_strategies:placer", *files, "--engine", "serial",
               "--listener-kwargs", json.dumps({"inplay": False})]
    run = subprocess.run([*command, "--out", str(tmp_path / "orders.csv"),
                          "--chart", str(tmp_path / "pnl.png")],
                         env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    before_off = run_backtest(files, backtest_strategies.placer, engine="serial",
                              listener_kwargs={"inplay": False})
    assert 0 < len(before_off) < len(expected)
    assert without_time(run.stdout)[:-2] == without_time(before_off.summary)
    frame = before_off.to_pandas()
    with open(tmp_path / "orders.csv") as csv:
        lines = csv.read().splitlines()
    assert lines[0] == ",".join(frame.columns) and len(lines) == len(frame) + 1
    assert (tmp_path / "pnl.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    run = subprocess.run([*command, "--out", str(tmp_path / "orders.parquet")],
                         env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    import pandas

    pandas.testing.assert_frame_equal(pandas.read_parquet(tmp_path / "orders.parquet"), frame)
    # Without orders, the columns keep their types.
    write_rows([], str(tmp_path / "none.parquet"))
    assert pandas.read_parquet(tmp_path / "none.parquet").dtypes.equals(frame.dtypes)


def test_worker_memory_stays_flat(tmp_path):
    # One worker process runs every chunk; its peak must not grow with the files it ran.
    folder = generated_markets(str(tmp_path / "markets"), 16, 1500)
    paths = sorted(os.path.join(folder, name) for name in os.listdir(folder))
    code = ("import logging, resource, sys, warnings; logging.disable(logging.CRITICAL); "
            "warnings.simplefilter('ignore'); import backtest_strategies, pelarune_flumine; "
            "r = pelarune_flumine.run_backtest(sys.argv[1:], backtest_strategies.placer, "
            "engine='process', workers=1, chunk_size=4); "
            "assert r.books > 1000 * r.files, r.summary; "
            "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(os.path.abspath(__file__)), os.environ.get("PYTHONPATH", "")]))
    peak_kb = []
    for count in (8, 16):
        run = subprocess.run([sys.executable, "-c", code, *paths[:count]], env=env,
                             capture_output=True, text=True, timeout=120)
        assert run.returncode == 0, run.stderr
        peak_kb.append(int(run.stdout))
    assert abs(peak_kb[1] - peak_kb[0]) < 3 * 1024, peak_kb


def test_readme_example_runs(tmp_path):
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as readme:
        blocks = [part.split("```", 1)[0] for part in readme.read().split("```python\n")[1:]]
    (code,) = [block for block in blocks if "run_backtest(" in block]
    # As a script, as users run it: the workers import its factory from the main module.
    (tmp_path / "mystrategies.py").write_text(code)
    run = subprocess.run([sys.executable, "-W", "ignore", str(tmp_path / "mystrategies.py")],
                         cwd=ROOT, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("files           2 replayed, 0 failed, 0 without markets\n")
    assert "OrderRow(market_id='1.197931750'" in run.stdout


def test_resume_after_a_crash_drops_the_unrecorded_rows(tmp_path, generated):
    out = str(tmp_path / "orders.csv")
    whole = run_backtest(generated, backtest_strategies.placer, engine="serial",
                         chunk_size=2, out=out)
    with open(out, "rb") as written:
        expected = written.read()
    with open(out + ".run") as record:
        run, first = record.readline(), record.readline()
    # As a crash leaves it: the first chunk recorded, then rows of a chunk cut off mid-line
    # (serial chunks here finish in market order, so the file begins with the first's rows).
    with open(out + ".run", "w") as record:
        record.write(run + first)
    with open(out, "r+b") as written:
        written.truncate(json.loads(first)["size"])
        written.seek(0, os.SEEK_END)
        written.write(b"1.300000009,2022-04-18T13:00:00+00:00,400")
    resumed = run_backtest(generated, backtest_strategies.placer, engine="serial",
                           chunk_size=2, out=out, resume=True)
    assert (resumed.files, resumed.skipped) == (2, 2)
    with open(out, "rb") as written:
        assert written.read() == expected
    # Of the whole run, but for the files' line (2 replayed, 2 done before).
    assert without_time(resumed.summary)[1:] == without_time(whole.summary)[1:]
    assert list(resumed) == list(whole) and len(whole) > 100


@pytest.mark.parametrize("form", ["csv", "parquet"])
@pytest.mark.parametrize("fan", [256, 2])
def test_the_written_orders_are_merged_by_market_and_read_back(tmp_path, monkeypatch, fan,
                                                               form):
    """Chunks written sorted, merged at the end (at once, or in groups first) with the rows of
    a dropped market taken out, whatever a strategy's notes hold; read back as they were, and
    kept by a resumed writer. No rows: a file of the columns alone."""
    monkeypatch.setattr(pelarune_flumine.rows, "_FAN", fan)
    start = datetime.datetime(2022, 4, 18, 13, tzinfo=datetime.UTC)

    def row(market, number, notes=""):
        return OrderRow(market, start if number % 2 else None, None if number else "1",
                        "Event, \"quoted\"", number, 0.0, "S", "BACK", "LIMIT",
                        2.5 if number else None, 2.0, 1.5, None, "EXECUTION_COMPLETE",
                        -1.25 + number, start, None, notes)

    chunks = [[row("1.3", 0), row("1.1", 1, 'two\nlines, "quoted"'), row("1.3", 2)],
              [row("1.2", 3), row("1.1", 4, "\r\n")], [row("1.2", 5), row("1.0", 6)]]
    path = str(tmp_path / f"orders.{form}")
    writer = RowWriter(path)
    writer.write(chunks[0])
    writer.write(chunks[1])
    writer.drop(["1.2"])  # its rows so far: replayed again, in the last chunk
    writer.write(chunks[2])
    writer.close()
    expected = [row("1.0", 6), row("1.1", 1, 'two\nlines, "quoted"'), row("1.1", 4, "\r\n"),
                row("1.2", 5), row("1.3", 0), row("1.3", 2)]
    assert list(read_rows(path)) == expected
    write_rows(expected, str(tmp_path / f"expected.{form}"))
    assert same_file(path, str(tmp_path / f"expected.{form}"))

    writer = RowWriter(path, keep=os.path.getsize(path) if form == "csv" else len(expected))
    writer.write([row("1.4", 8), row("1.05", 7)])
    writer.close()
    expected[1:1] = [row("1.05", 7)]
    write_rows([*expected, row("1.4", 8)], str(tmp_path / f"expected.{form}"))
    assert same_file(path, str(tmp_path / f"expected.{form}")) and len(expected) == 7

    writer = RowWriter(path)
    writer.write([])
    writer.close()
    write_rows([], str(tmp_path / f"expected.{form}"))
    assert same_file(path, str(tmp_path / f"expected.{form}"))


@pytest.mark.parametrize("engine, how, once", [
    ("process", "SIGKILL", True), ("process", "SIGABRT", False), ("dask", "SIGKILL", False)])
def test_a_dying_worker_fails_its_file_not_the_run(tmp_path, generated, expected, monkeypatch,
                                                   engine, how, once):
    import dask

    monkeypatch.setenv("PELARUNE_TEST_KILL", how)
    if once:  # as the OOM killer would: the file is not at fault
        monkeypatch.setenv("PELARUNE_TEST_KILL_ONCE", str(tmp_path / "killed"))
    out = str(tmp_path / "orders.csv")
    # One batch of the four files, so the innocent three die with the killer first.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        result = run_backtest(generated, backtest_strategies.killer, engine=engine, workers=2,
                              out=out)
    (killer,) = [path for path in generated if backtest_strategies.RAISING_MARKET in path]
    generated_rows = [row for row in expected if row.market_id.startswith("1.3")]
    if once:
        assert (list(result), result.failed, result.ok) == (generated_rows, [], True)
    else:
        died = "SIGABRT" if how == "SIGABRT" else "KilledWorker"
        assert [(failed.path, failed.error) for failed in result.failed] == [
            (killer, f"worker died: {died}")]
        assert list(result) == without(generated_rows, backtest_strategies.RAISING_MARKET)
    lines = record(tmp_path)
    assert lines[-1] == {"complete": True}
    assert {path for line in lines for path in line.get("done", [])} == set(generated)
    resumed = run_backtest(generated, backtest_strategies.killer, engine="serial", out=out,
                           resume=True)
    assert (resumed.files, resumed.skipped, resumed.complete) == (0, 4, True)


@pytest.fixture(scope="module")
def many(tmp_path_factory):
    folder = str(tmp_path_factory.mktemp("many"))
    return generated_markets(folder, 16, 150)


def start(arguments, tmp_path, sleep, warnings="ignore"):
    """The command line in a session of its own, as a terminal runs it: a signal to its
    group reaches every process it started."""
    env = dict(os.environ, PELARUNE_TEST_SLEEP=str(sleep), PYTHONPATH=os.pathsep.join(
        [os.path.dirname(os.path.abspath(__file__)), os.environ.get("PYTHONPATH", "")]))
    return subprocess.Popen(
        [sys.executable, "-W", warnings, "-m", "pelarune_flumine", "backtest",
         "backtest_strategies:sleeper", *arguments, "--out", str(tmp_path / "orders.csv")],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        start_new_session=True)


def wait_for(condition, seconds=90):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)


def _maps(pid):
    try:
        with open(f"/proc/{pid}/maps") as maps:
            return maps.read()
    except OSError:
        return ""


def record(tmp_path):
    try:
        with open(tmp_path / "orders.csv.run") as lines:
            return [json.loads(line) for line in lines]
    except FileNotFoundError:
        return []


def session_left(run):
    """The run's processes still alive 5 s after it exited (the resource tracker takes a
    moment to see that its last user is gone)."""
    deadline = time.monotonic() + 5
    while (left := session_processes(run)) and time.monotonic() < deadline:
        time.sleep(0.1)
    return left


def session_processes(run):
    left = []
    for pid in psutil.pids():
        try:
            if os.getsid(pid) == run.pid and psutil.Process(pid).status() != "zombie":
                left.append(pid)
        except (OSError, psutil.Error):
            continue
    return left


def interrupt(run, signals, pause=0.5):
    for i in range(signals):
        time.sleep(pause if i else 0)
        os.killpg(run.pid, signal.SIGINT)
    started = time.monotonic()
    out, err = run.communicate(timeout=60)
    return out, err, time.monotonic() - started


class TestInterrupts:
    def test_once_keeps_what_finished_and_resume_finishes(self, many, tmp_path, monkeypatch):
        run = start([many, "--chunk-size", "1", "--workers", "2"], tmp_path, 0.002)
        wait_for(lambda: any("done" in line for line in record(tmp_path)))
        out, err, seconds = interrupt(run, 1)
        assert run.returncode == 130 and seconds < 15, err
        assert err.splitlines()[0].startswith("interrupted: finishing the running chunks")
        assert err.splitlines()[-1].startswith("interrupted: ") and "incomplete" in out
        assert session_left(run) == []
        lines = record(tmp_path)
        done = {path for line in lines for path in line.get("done", [])}
        assert 0 < len(done) < 16 and lines[-1] == {"complete": False}
        with open(tmp_path / "orders.csv") as csv:
            written = {line.split(",")[0] for line in csv.read().splitlines()[1:]}
        assert written == {os.path.basename(path)[:-5] for path in done}

        monkeypatch.setenv("PELARUNE_TEST_SLEEP", "0")
        reference = run_backtest(many, backtest_strategies.sleeper, engine="serial")
        run = start([many, "--resume"], tmp_path, 0)
        out, err = run.communicate(timeout=120)
        assert run.returncode == 0, err
        assert f"{16 - len(done)} replayed" in out and f"{len(done)} done before" in out
        reference.write(str(tmp_path / "reference.csv"))
        with open(tmp_path / "orders.csv") as csv, open(tmp_path / "reference.csv") as expected:
            assert csv.read() == expected.read()
        assert record(tmp_path)[-1] == {"complete": True}

    def test_while_importing_is_one_line(self, many, tmp_path):
        run = start([many], tmp_path, 0)
        # Flumine is being imported once its requests have loaded _ssl, which nothing before
        # the command's own handling loads; a fixed delay could land in the interpreter's start
        # on a loaded machine, where no program can make Ctrl-C one line.
        wait_for(lambda: "/_ssl." in _maps(run.pid), 30)
        out, err, seconds = interrupt(run, 1)
        assert run.returncode == 130 and "Traceback" not in err, err
        assert err.splitlines()[-1].startswith("interrupted"), err

    @pytest.mark.parametrize("engine, wait", [
        ("process", "running"), ("process", "starting"), ("dask", "running")])
    def test_twice_stops_at_once(self, many, tmp_path, engine, wait):
        # A chunk takes 7 s: a run that waited for one would show.
        run = start([many, "--engine", engine, "--workers", "2"], tmp_path, 0.05)
        # The record is started with the engine, before the scan; then the workers start,
        # scan, and take chunks.
        wait_for(lambda: os.path.exists(tmp_path / "orders.csv.run"))
        if wait == "running":
            time.sleep(3)
        out, err, seconds = interrupt(run, 2)
        assert run.returncode == 130 and seconds < 10, (seconds, err)
        assert "Traceback" not in err and session_left(run) == []
        assert record(tmp_path)[-1] == {"complete": False}


@pytest.mark.parametrize("engine, signum", [
    ("process", signal.SIGTERM), ("process", signal.SIGHUP), ("process", signal.SIGKILL),
    ("dask", signal.SIGTERM), ("dask", signal.SIGKILL)])
def test_a_signal_to_the_parent_leaves_no_process(many, tmp_path, engine, signum):
    # Dask's default dashboard port taken: a local cluster takes another, without a word.
    taken = socket.socket()
    with contextlib.suppress(OSError):
        taken.bind(("", 8787))
        taken.listen()
    run = start([many, "--engine", engine, "--workers", "2", "--chunk-size", "1"], tmp_path,
                0.002, warnings="default")
    try:
        wait_for(lambda: any("done" in line for line in record(tmp_path)), 60)
        os.kill(run.pid, signum)  # the parent alone, as kill, systemd or a scheduler send it
        out, err = run.communicate(timeout=60)
        assert session_left(run) == []
        if signum == signal.SIGKILL:
            assert run.returncode == -signal.SIGKILL
            return
        assert run.returncode == 128 + signum and len(err.splitlines()) == 2, err
        assert err.startswith(("terminated: finishing", "hung up: finishing")), err
        lines = record(tmp_path)
        done = {path for line in lines for path in line.get("done", [])}
        assert 0 < len(done) < 16 and lines[-1] == {"complete": False}
        with open(tmp_path / "orders.csv") as csv:
            written = [line.split(",")[0] for line in csv.read().splitlines()[1:]]
        assert written == sorted(written)
        assert set(written) == {os.path.basename(path)[:-5] for path in done}
    finally:
        taken.close()
        with contextlib.suppress(ProcessLookupError):
            os.killpg(run.pid, signal.SIGKILL)
        run.communicate()
