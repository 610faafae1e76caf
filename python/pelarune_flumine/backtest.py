"""A flumine strategy over many market files: whole events packed into chunks, each chunk run in
a fresh FlumineSimulation serially, on a process pool or on Dask, and every order gathered as a
row, and written as each chunk finishes."""

from __future__ import annotations

import os
import time
import warnings
from typing import Any

from pelarune_flumine.checks import check_factory, check_listener_kwargs
from pelarune_flumine.planning import LeftOut, Scan, batches
from pelarune_flumine.rows import FailedFile, OrderRow, RowWriter, is_parquet, unwire
from pelarune_flumine.rows import read as read_rows
from pelarune_flumine.simulation import (
    BatchResult,
    ChunkResult,
    Settings,
    StrategyFactory,
    run_batch,
)
from pelarune_flumine.summary import BacktestResult, Tally, Totals
from pelarune_runs.checks import SetupError, check_engine, check_output, check_paths
from pelarune_runs.engines import GRACE, Interrupts, Runner, say
from pelarune_runs.journal import Previous, Record, difference
from pelarune_runs.paths import Paths, expand
from pelarune_runs.progress import progress_bar

__all__ = ["BacktestResult", "FailedFile", "OrderRow", "SetupError", "run_backtest"]

# Files per task: flumine's own multiprocessing recipe takes about eight markets per process,
# which bounds a worker's memory by the chunk, not by the job.
CHUNK_SIZE = 8
# The run's own files beside its output: the journal, and the output while it is sorted.
_OWN = (".run", ".partial")
OUTPUTS = {"csv": "", "parquet": "pyarrow"}


def run_backtest(
    files: Paths,
    strategy_factory: StrategyFactory,
    *,
    listener_kwargs: dict[str, Any] | None = None,
    engine: str = "process",
    workers: int | None = None,
    scheduler: str | None = None,
    chunk_size: int = CHUNK_SIZE,
    event_processing: bool = False,
    middleware: bool = True,
    client_kwargs: dict[str, Any] | None = None,
    stream_class: Any = None,
    progress: bool | None = None,
    out: str | None = None,
    resume: bool = False,
    grace: float = GRACE,
    log_level: int | None = None,
) -> BacktestResult:
    """Runs the strategies `strategy_factory(streams)` returns over every market of `files`
    (paths, or folders standing for every file under them) and returns every order.

    The files go to the workers in batches of about `chunk_size`, by folder; a worker reads
    each file once. Files of one event go into one chunk (an event whose files two batches
    hold is replayed again, whole, on its own); each chunk runs in a fresh FlumineSimulation
    with a SimulatedClient(**client_kwargs), pelarune_flumine's SimulatedMiddleware (unless
    `middleware` is false) and one stream per file (`stream_class`,
    pelarune_flumine.BetfairHistoricalStream by default, with
    `listener_kwargs`; with `event_processing`, grouped by event as flumine groups them).
    `engine` "serial" runs the chunks here, "process" on `workers` processes, "dask" on a
    LocalCluster of `workers` processes or on the cluster whose scheduler is at `scheduler`.
    The factory must be importable by name where the chunks run (a module-level function).

    With `out`, the orders are written there (CSV, or Parquet for a .parquet name) as each
    chunk finishes, and the files done are recorded beside it (`out` + ".run"); `resume`
    skips the files a previous run recorded. A first Ctrl-C (or SIGTERM, or SIGHUP) stops new
    chunks and waits up to `grace` seconds for the running ones, a second stops them at once;
    either way the result holds what finished and is marked incomplete, with the signal. A
    file whose replay ends its worker process is reported failed ("worker died: SIGKILL").
    Mistakes in the call raise SetupError before any file is read. `log_level` sets the level
    of the root logger in each worker (flumine's log), None leaves it as configured there.
    """
    from flumine import config

    from pelarune_flumine import BetfairHistoricalStream

    started = time.monotonic()
    stream_class = stream_class or BetfairHistoricalStream
    workers = workers if workers is not None else os.cpu_count() or 1
    check_engine(engine, workers, scheduler, chunk_size)
    check_listener_kwargs(listener_kwargs or {}, stream_class)
    check_factory(strategy_factory, engine)
    if out is not None:
        check_output(out, "out", OUTPUTS, beside=_OWN)
    elif resume:
        raise SetupError("resume needs an output file to resume")
    given = [files] if isinstance(files, (str, os.PathLike)) else list(files)
    check_paths([os.fspath(path) for path in given])
    paths, empty_folders = expand(given, [out + suffix for suffix in ("", *_OWN)]
                                  if out is not None else ())
    for folder in empty_folders:
        warnings.warn(f"{folder} holds no files", stacklevel=2)
    if not paths:
        warnings.warn("no files to replay", stacklevel=2)

    # What defines the run: a resumed run with another is refused.
    identity = {"factory": f"{getattr(strategy_factory, '__module__', None)}:"
                           f"{getattr(strategy_factory, '__qualname__', strategy_factory)}",
                "listener kwargs": listener_kwargs or {}, "client kwargs": client_kwargs or {},
                "event processing": event_processing, "middleware": middleware}
    record = Record(out, is_parquet(out)) if out is not None else None
    previous = Previous(set(), None, False, {}, [])
    if record is not None and resume:
        previous = record.read()
        if previous.done and out is not None and not os.path.exists(out):
            raise SetupError(f"cannot resume: {out} is gone; run again without resume")
        changed = difference(previous.identity, identity) if previous.identity else None
        if changed:
            raise SetupError(f"cannot resume {out}: {changed}; run again without resume")
    todo = [path for path in paths if path not in previous.done]
    settings = Settings(strategy_factory, dict(listener_kwargs or {}), stream_class,
                        middleware, dict(client_kwargs or {}), event_processing,
                        bool(config.raise_errors), log_level, chunk_size)

    complete = False
    ledger: _Ledger | None = None
    writer: RowWriter | None = None
    with Interrupts(grace, say) as interrupts, Runner(engine, workers, scheduler,
                                                      interrupts) as runner:
        try:
            if record is not None and out is not None:
                writer = RowWriter(out, previous.size, previous.drops)
                record.start(resume, identity, recorded=previous.identity is not None)
            with progress_bar(len(todo), "file", progress) as bar:
                bar.set_description("replaying")
                ledger = _Ledger(todo, previous, writer, record, bar)
                complete = runner.map(run_batch, batches(todo, chunk_size), ledger.batch_done,
                                      settings, split=_one_by_one, died=ledger.died)
                if complete and ledger.split:
                    again = ledger.again()
                    bar.total += sum(map(len, again))
                    complete = runner.map(run_batch, again, ledger.again_done, settings,
                                          split=_one_by_one, died=ledger.died)
        finally:
            if writer is not None:
                writer.close()
            if record is not None:
                record.finish(complete)
    assert ledger is not None
    for left_out in ledger.left_out:
        warnings.warn(left_out.warning(), stacklevel=2)
    totals, tally = ledger.totals(), ledger.tally
    if out is not None and previous.size is not None:
        # Resumed: the summary and the chart are of the whole run, the orders read back.
        tally = Tally.of(read_rows(out))
        _add_previous(totals, previous.facts or {}, set(ledger.replayed_again()))
    rows = sorted(ledger.rows, key=lambda row: row.market_id) if out is None else None
    return BacktestResult(rows, totals, left_out=[entry.path for entry in ledger.left_out],
                          empty=ledger.empty(), seconds=time.monotonic() - started,
                          complete=complete, skipped=len(paths) - len(todo) - ledger.redone,
                          signal=interrupts.signal, tally=tally, source=out)


def _facts(result: ChunkResult, scans: dict[str, Scan], paths: list[str]
           ) -> dict[str, Any]:
    """What a resumed run needs of each file done to summarize the whole run: its books, its
    markets' commission and its strategy errors (the orders are in the output)."""
    facts: dict[str, Any] = {}
    for path in paths:
        markets = scans[path].markets if path in scans else []
        facts[path] = {
            "books": result.books.get(path, 0),
            "commission": {market: result.commission[market] for market in markets
                           if market in result.commission},
            "errors": {strategy: count for (culprit, strategy), count in result.errors.items()
                       if culprit == path}}
    return facts


def _add_previous(totals: Totals, facts: dict[str, Any], again: set[str]) -> None:
    """Adds what the resumed run reported of the files it did, but those done again."""
    commission: dict[str, dict[str, float]] = {}
    for path, fact in facts.items():
        if path in again:
            continue
        if "failed" in fact:
            totals.failed.append(FailedFile(path, fact["failed"]))
            continue
        totals.books += fact["books"]
        commission.update(fact["commission"])
        for strategy, count in fact["errors"].items():
            totals.errors[(path, strategy)] = count
    for shares in commission.values():
        for name, share in shares.items():
            totals.commission[name] = totals.commission.get(name, 0.0) + share


def _one_by_one(paths: list[str]) -> list[list[str]]:
    return [[path] for path in paths]


class _Ledger:
    """What the batches report, kept as they finish: rows written and files recorded. An event
    found in two batches (or in a batch and the files a resumed run did) is taken out of what
    was kept, to be replayed again, whole, in a batch of its own."""

    def __init__(self, todo: list[str], previous: Previous, writer: RowWriter | None,
                 record: Record | None, bar: Any) -> None:
        self.order = {path: i for i, path in enumerate(todo)}
        self.writer, self.record, self.bar = writer, record, bar
        self.scans: dict[str, Scan] = {}
        # event, or ("market", id) -> the batches holding its files; -1: the previous run
        self.owners: dict[Any, set[int]] = {}
        for path, (event, markets) in previous.events.items():
            self.scans[path] = Scan(path, markets, event)
            for key in [event, *(("market", market) for market in markets)]:
                self.owners.setdefault(key, set()).add(-1)
        self.previous = set(previous.events)
        self.split: set[str] = set()
        self.results: list[ChunkResult] = []
        self.rows: list[OrderRow] = []  # without a writer; with one, they are written
        self.tally = Tally()
        self.left_out: list[LeftOut] = []
        self.died_in: list[FailedFile] = []  # files whose replay ended the worker
        self.batches = 0
        self.redone = 0  # files the previous run did, done again

    def _paths_of(self, events: set[str]) -> set[str]:
        return {path for path, scan in self.scans.items() if scan.event in events}

    def _markets_of(self, events: set[str]) -> list[str]:
        return sorted({market for scan in self.scans.values() if scan.event in events
                       for market in scan.markets})

    def _linked(self, events: set[str]) -> set[str]:
        """The events and those of every file that holds one of their markets: an event's
        market in another event's file (an event-level file) makes them one to replay."""
        while True:
            markets = set(self._markets_of(events))
            more = {scan.event for scan in self.scans.values() if scan.event is not None
                    and not markets.isdisjoint(scan.markets)}
            if more <= events:
                return events
            events = events | more

    def batch_done(self, paths: list[str], batch: BatchResult) -> None:
        number = self.batches
        self.batches += 1
        events = {scan.event for scan in batch.scans if scan.event is not None}
        markets = {market for scan in batch.scans for market in scan.markets}
        for scan in batch.scans:
            self.scans[scan.path] = scan
        for key in events | {("market", market) for market in markets}:
            self.owners.setdefault(key, set()).add(number)
        shared = {event for event in events if len(self.owners[event]) > 1}
        markets = {market for market in markets if len(self.owners[("market", market)]) > 1}
        if markets:
            shared |= {scan.event for scan in self.scans.values()
                       if scan.event is not None and not markets.isdisjoint(scan.markets)}
        newly = self._linked(shared) - self.split if shared - self.split else set()
        if newly:
            self.split |= newly
            gone, split_markets = self._paths_of(newly), self._markets_of(newly)
            self.results = [result.without(gone, set(split_markets)) for result in self.results]
            self.rows = [row for row in self.rows if row.market_id not in split_markets]
            self.tally.drop(split_markets)
            self.left_out = [entry for entry in self.left_out if entry.path not in gone]
            if self.writer is not None and self.record is not None:
                self.record.undo(sorted(gone - set(paths)), self.writer.drop(split_markets))
        gone = self._paths_of(self.split & events)
        self._keep([path for path in paths if path not in gone],
                   [entry for entry in batch.left_out if entry.path not in gone],
                   batch.result.without(gone, set(self._markets_of(self.split & events))))

    def again_done(self, paths: list[str], batch: BatchResult) -> None:
        """An event replayed whole: all it gives is kept."""
        self.redone += len(self.previous & set(paths))
        self._keep(paths, batch.left_out, batch.result)

    def _keep(self, paths: list[str], left_out: list[LeftOut], result: ChunkResult) -> None:
        new = list(map(unwire, result.rows))
        result.rows = []
        self.results.append(result)
        self.tally.add(new)
        self.left_out += left_out
        if self.record is not None and self.writer is not None:
            failed = {failed.path for failed in result.failed}
            done = [path for path in paths
                    if path in set(result.paths) - failed | {entry.path for entry in left_out}]
            self.record.chunk(done, self.writer.write(new),
                              [(path, event, scan.markets) for path in done
                               if (event := (scan := self.scans[path]).event)],
                              _facts(result, self.scans, done))
        else:
            self.rows += new
        self.bar.set_postfix({"orders": self.tally.orders,
                              "failed": sum(len(result.failed) for result in self.results)},
                             refresh=False)
        self.bar.update(len(paths))

    def died(self, paths: list[str], how: str) -> None:
        """A file whose replay ended its worker, alone: reported, and recorded as done, so that
        a resumed run goes past it."""
        self.died_in += [FailedFile(path, f"worker died: {how}") for path in paths]
        if self.record is not None and self.writer is not None:
            self.record.chunk(paths, self.writer.write([]), (),
                              {path: {"failed": f"worker died: {how}"} for path in paths})
        self.bar.update(len(paths))

    def replayed_again(self) -> set[str]:
        """The files of the events replayed again whole, the resumed run's among them."""
        return self._paths_of(self.split)

    def again(self) -> list[list[str]]:
        """The files of each split event (with the events it shares markets with), a batch of
        their own."""
        left = set(self.split)
        again = []
        while left:
            linked = self._linked({min(left)})
            left -= linked
            again.append(sorted(self._paths_of(linked), key=self._by_order))
        return again

    def _by_order(self, path: str) -> int:
        return self.order.get(path, -1)

    def totals(self) -> Totals:
        totals = Totals()
        unread = [FailedFile(scan.path, scan.error) for scan in self.scans.values()
                  if scan.error is not None]
        for result in self.results:
            totals.files += len(result.replayed)
            totals.books += sum(result.books.values())
            for shares in result.commission.values():
                for name, share in shares.items():
                    totals.commission[name] = totals.commission.get(name, 0.0) + share
            totals.failed += result.failed
            for key, count in result.errors.items():
                totals.errors[key] = totals.errors.get(key, 0) + count
        totals.failed = sorted(unread + self.died_in,
                               key=lambda failed: self._by_order(failed.path)) + totals.failed
        return totals

    def empty(self) -> list[str]:
        """Files that hold no market, in path order."""
        return sorted((scan.path for scan in self.scans.values()
                       if scan.error is None and not scan.markets), key=self._by_order)
