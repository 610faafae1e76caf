"""run_backtest: the same orders on every engine and worker count, failures confined to their
file, whole events in a chunk with duplicated markets replayed once, the command line's
outputs, and memory bounded by the chunk."""

import bz2
import dataclasses
import json
import logging
import os
import re
import subprocess
import sys

import pytest
from flumine import config
from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream as FlumineStream

import backtest_strategies
from conftest import recorded, sanitized
from pelarune_flumine import run_backtest
from pelarune_flumine.backtest import _plan

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
        paths = [str(tmp_path / "notes.txt"), str(tmp_path / "partial.bz2"), *generated]
        # One chunk holds them all: the failing file must not end the others' replay.
        result = run_backtest(paths, backtest_strategies.placer, engine="serial",
                              chunk_size=10)
        assert sorted((f.path, f.error.split(":")[0]) for f in result.failed) == [
            (paths[0], "ValueError"), (paths[1], "ValueError")]
        assert list(result) == [row for row in expected if row.market_id.startswith("1.3")]
        assert result.files == 4 and f"{paths[0]}: ValueError" in result.summary

    def test_strategy_errors_are_passed_over_as_flumine_does(self, generated, expected):
        result = run_backtest(generated, backtest_strategies.raiser, engine="serial")
        assert result.failed == []
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

    def test_events_stay_whole_in_chunks(self):
        scans = [("a1", ["1.1"], "A"), ("b1", ["1.2"], "B"), ("a2", ["1.3"], "A"),
                 ("n", [], None), ("b2", ["1.4"], "B"), ("c", ["1.5", "1.6"], "C"),
                 ("b3", ["1.7"], "B")]
        chunks, left_out = _plan(scans, 3)
        assert [[path for path, _ in chunk] for chunk in chunks] == \
            [["a1", "a2"], ["b1", "b2", "b3"], ["n", "c"]]
        assert left_out == []


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
    assert run.stdout.splitlines()[0] == before_off.summary
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


def test_chunks_bound_memory(tmp_path):
    folder = generated_markets(str(tmp_path / "markets"), 16, 1500)
    paths = sorted(os.path.join(folder, name) for name in os.listdir(folder))
    code = ("import logging, resource, sys, warnings; logging.disable(logging.CRITICAL); "
            "warnings.simplefilter('ignore'); import backtest_strategies, pelarune_flumine; "
            "r = pelarune_flumine.run_backtest(sys.argv[1:], backtest_strategies.placer, "
            "engine='serial', chunk_size=4); assert r.books > 1000 * r.files, r.summary; "
            "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)")
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
    assert run.stdout.startswith("2 files replayed, 0 failed; ")
    assert "OrderRow(market_id='1.197931750'" in run.stdout
