"""A flumine strategy over many market files: whole events packed into chunks, each chunk run in
a fresh FlumineSimulation serially, on a process pool or on Dask, and every order gathered as a
row, and written as each chunk finishes."""

from __future__ import annotations

import os
import time
import warnings
from typing import Any

from pelarune_flumine.checks import check_factory, check_listener_kwargs
from pelarune_flumine.ledger import Ledger, add_previous
from pelarune_flumine.planning import batches
from pelarune_flumine.rows import FailedFile, OrderRow, RowWriter, is_parquet
from pelarune_flumine.rows import read as read_rows
from pelarune_flumine.simulation import Settings, StrategyFactory, run_batch
from pelarune_flumine.summary import BacktestResult, Tally
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
    ledger: Ledger | None = None
    writer: RowWriter | None = None
    with Interrupts(grace, say) as interrupts, Runner(engine, workers, scheduler,
                                                      interrupts) as runner:
        try:
            if record is not None and out is not None:
                writer = RowWriter(out, previous.size, previous.drops)
                record.start(resume, identity, recorded=previous.identity is not None)
            with progress_bar(len(todo), "file", progress) as bar:
                bar.set_description("replaying")
                ledger = Ledger(todo, previous, writer, record, bar)
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
        add_previous(totals, previous.facts or {}, set(ledger.replayed_again()))
    rows = sorted(ledger.rows, key=lambda row: row.market_id) if out is None else None
    return BacktestResult(rows, totals, left_out=[entry.path for entry in ledger.left_out],
                          empty=ledger.empty(), seconds=time.monotonic() - started,
                          complete=complete, skipped=len(paths) - len(todo) - ledger.redone,
                          signal=interrupts.signal, tally=tally, source=out)


def _one_by_one(paths: list[str]) -> list[list[str]]:
    return [[path] for path in paths]
