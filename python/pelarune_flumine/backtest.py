"""A flumine strategy over many market files: whole events packed into chunks, each chunk run in
a fresh FlumineSimulation serially, on a process pool or on Dask, and every order gathered as a
row.
"""

from __future__ import annotations

import csv
import dataclasses
import datetime
import gc
import multiprocessing
import os
import sys
import traceback
import warnings
from concurrent.futures import Future, ProcessPoolExecutor, as_completed
from typing import Any, Callable, Iterable, Iterator, Optional, Sequence, TypeVar, Union, overload

__all__ = ["BacktestResult", "FailedFile", "OrderRow", "run_backtest"]

StrategyFactory = Callable[[list[Any]], Any]  # streams -> BaseStrategy | list[BaseStrategy]
T = TypeVar("T")
R = TypeVar("R")

# Files per task: flumine's own multiprocessing recipe takes about eight markets per process,
# which bounds a worker's memory by the chunk, not by the job.
CHUNK_SIZE = 8
# Files per scanning task: a scan is one read of the file, too little to pay a round trip alone.
_SCAN_BATCH = 32
_INSTALL_DASK = "Dask is not installed: pip install 'dask[distributed]'"


@dataclasses.dataclass(frozen=True)
class OrderRow:
    """One order of one market, as flumine's blotter holds it when the market's replay ends.
    Times are aware UTC datetimes."""

    market_id: str
    market_start: Optional[datetime.datetime]  # the definition's marketTime
    event_id: Optional[str]
    event_name: Optional[str]
    selection_id: int
    handicap: float
    strategy: str
    side: str
    order_type: str
    price: Optional[float]
    size: Optional[float]  # the liability of an order on close
    size_matched: float
    average_price_matched: Optional[float]
    status: Optional[str]
    profit: float
    placed: Optional[datetime.datetime]
    completed: Optional[datetime.datetime]
    notes: str  # flumine's notes_str: the notes' values joined by commas


@dataclasses.dataclass(frozen=True)
class FailedFile:
    """A file left out: it could not be read or replayed, or (with flumine's
    config.raise_errors) the strategy raised while it was replayed."""

    path: str
    error: str
    traceback: Optional[str] = None


class BacktestResult(Sequence[OrderRow]):
    """Every order of every market, sorted by market and then in the order the strategy created
    them, with the files that failed and a summary."""

    def __init__(self, rows: list[OrderRow], failed: list[FailedFile], files: int, books: int,
                 left_out: list[str]) -> None:
        self.rows = rows
        self.failed = failed
        self.files = files  # replayed
        self.books = books
        self.left_out = left_out  # files whose markets were all replayed from another file

    @overload
    def __getitem__(self, index: int) -> OrderRow: ...

    @overload
    def __getitem__(self, index: slice) -> list[OrderRow]: ...

    def __getitem__(self, index: Union[int, slice]) -> Union[OrderRow, list[OrderRow]]:
        return self.rows[index]

    def __len__(self) -> int:
        return len(self.rows)

    @property
    def profit(self) -> float:
        return round(sum(row.profit for row in self.rows), 2)

    @property
    def summary(self) -> str:
        text = (f"{self.files} files replayed, {len(self.failed)} failed"
                f"{f', {len(self.left_out)} left out as duplicates' if self.left_out else ''}; "
                f"{self.books:,} books, {len(self.rows):,} orders, P&L {self.profit:,.2f}")
        return "\n".join([text] + [f"  {failed.path}: {failed.error}" for failed in self.failed])

    def to_pandas(self) -> Any:
        try:
            import pandas
        except ImportError:
            raise ImportError("to_pandas needs pandas: pip install pandas") from None
        columns = [field.name for field in dataclasses.fields(OrderRow)]
        return pandas.DataFrame([dataclasses.astuple(row) for row in self.rows], columns=columns)

    def write(self, path: str) -> None:
        """Writes the rows as CSV, or as Parquet when the path ends in .parquet."""
        columns = [field.name for field in dataclasses.fields(OrderRow)]
        if path.endswith(".parquet"):
            try:
                import pyarrow
                import pyarrow.parquet
            except ImportError:
                raise ImportError("Parquet needs pyarrow: pip install pyarrow") from None
            table = pyarrow.Table.from_pylist([dataclasses.asdict(row) for row in self.rows])
            if not self.rows:
                table = pyarrow.table({name: [] for name in columns})
            pyarrow.parquet.write_table(table, path)
            return
        with open(path, "w", newline="", encoding="utf-8") as out:
            writer = csv.writer(out)
            writer.writerow(columns)
            for row in self.rows:
                writer.writerow(["" if value is None else value.isoformat()
                                 if isinstance(value, datetime.datetime) else value
                                 for value in dataclasses.astuple(row)])


def _markets_of(path: str) -> tuple[list[str], Optional[str]]:
    """The markets a file holds, in the order first named, and their event (the first
    definition's eventId; the exchange writes one file per market or per event). Raises when
    the file cannot be read."""
    from pelarune_flumine.stream import markets_of

    markets = markets_of(path)
    events = [event for _, event in markets if event is not None]
    return [market for market, _ in markets], events[0] if events else None


def _scan(paths: list[str]) -> list[tuple[str, list[str], Optional[str], Optional[str]]]:
    """(path, markets, event, error) of each file."""
    scanned = []
    for path in paths:
        try:
            markets, event = _markets_of(path)
        except Exception as error:  # unreadable, damaged or truncated
            scanned.append((path, [], None, f"{type(error).__name__}: {error}"))
        else:
            scanned.append((path, markets, event, None))
    return scanned


_File = tuple[str, Optional[str]]  # path, event


def _plan(scanned: Sequence[tuple[str, list[str], Optional[str]]], chunk_size: int
          ) -> tuple[list[list[_File]], list[str]]:
    """Chunks of whole events, and the files left out because every market they hold is
    replayed from another file. Event-level files are kept first, so a market that also has
    its own file is replayed within its event; a warning names each file left out."""
    covered: dict[str, str] = {}
    kept: set[str] = set()
    left_out = []
    for path, markets, _ in sorted(scanned, key=lambda scan: len(scan[1]) < 2):  # stable
        if markets and all(market in covered for market in markets):
            left_out.append(path)
            warnings.warn(f"{path} left out: {', '.join(markets)} replayed from "
                          f"{covered[markets[0]]}", stacklevel=3)
            continue
        kept.add(path)
        for market in markets:
            covered.setdefault(market, path)
    events: dict[Any, list[_File]] = {}
    for path, _, event in scanned:
        if path in kept:
            # A file without an event (no definition, or not a stream file) is a unit alone.
            events.setdefault(event if event is not None else (path,), []).append((path, event))
    chunks: list[list[_File]] = []
    for unit in events.values():
        if chunks and len(chunks[-1]) + len(unit) <= chunk_size:
            chunks[-1].extend(unit)
        else:
            chunks.append(list(unit))
    return chunks, left_out


@dataclasses.dataclass(frozen=True)
class _Settings:
    """What every task needs besides its files; pickled to the workers."""

    strategy_factory: StrategyFactory
    listener_kwargs: dict[str, Any]
    stream_class: Any
    middleware: bool
    client_kwargs: dict[str, Any]
    event_processing: bool
    raise_errors: bool


_TIMES = ("market_start", "placed", "completed")
_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
_MICROSECOND = datetime.timedelta(microseconds=1)


def _wire(row: OrderRow) -> tuple[Any, ...]:
    """A row as plain values. flumine's simulation swaps datetime.datetime for its own class
    while it runs, process-wide, and pickle refuses a datetime then: a Dask worker's event loop
    pickles one chunk's rows while the next chunk runs."""
    fields = dataclasses.asdict(row)
    for name in _TIMES:
        if fields[name] is not None:
            fields[name] = (fields[name] - _EPOCH) // _MICROSECOND
    return tuple(fields.values())


def _unwire(values: tuple[Any, ...]) -> OrderRow:
    row = OrderRow(*values)
    times = {name: _EPOCH + getattr(row, name) * _MICROSECOND
             for name in _TIMES if getattr(row, name) is not None}
    return dataclasses.replace(row, **times)


@dataclasses.dataclass
class _ChunkResult:
    rows: list[tuple[Any, ...]]  # _wire(OrderRow)
    files: int
    books: int
    failed: list[FailedFile]


class _FileFailed(Exception):
    def __init__(self, path: str, error: str, trace: Optional[str] = None) -> None:
        super().__init__(path, error)
        self.failed = FailedFile(path, error, trace)


class _Tracker:
    """Which file each market comes from, and the market flumine is processing: a strategy
    error raised out of framework.run() is charged to that market's file. A middleware, since
    flumine calls middlewares for each book before the strategies."""

    def __init__(self) -> None:
        self.files: dict[str, str] = {}
        self.last_path: Optional[str] = None
        self.market_id: Optional[str] = None
        self.books = 0

    def __call__(self, market: Any) -> None:
        self.market_id = market.market_id

    add_market = __call__

    def remove_market(self, market: Any) -> None:
        return

    def track(self, stream: Any) -> None:
        """Counts the stream's books and turns an error out of its replay into _FileFailed."""
        create = stream.create_generator
        path = stream.file_path

        def create_generator() -> Callable[[], Iterator[Any]]:
            generator = create()

            def books() -> Iterator[Any]:
                try:
                    for market_books in generator():
                        self.last_path = path
                        self.books += len(market_books)
                        for book in market_books:
                            if book.market_id not in self.files:
                                self.files[book.market_id] = path
                        yield market_books
                except Exception as error:
                    raise _FileFailed(path, f"{type(error).__name__}: {error}") from error
            return books

        stream.create_generator = create_generator

    def culprit(self) -> Optional[str]:
        return self.files.get(self.market_id or "", self.last_path)


# flumine's simulation swaps datetime.datetime for a subclass; rows hold the real class.
_DATETIME = datetime.datetime


def _utc(moment: Any) -> Optional[datetime.datetime]:
    if not isinstance(moment, _DATETIME):
        return None
    if moment.tzinfo is not None:
        moment = moment.astimezone(datetime.timezone.utc)
    # pelarune's times are naive UTC.
    return _DATETIME(*moment.timetuple()[:6], moment.microsecond, datetime.timezone.utc)


def _rows(framework: Any) -> list[OrderRow]:
    rows = []
    for market in framework.markets:
        definition = market.market_book.market_definition if market.market_book else None
        for order in market.blotter:
            order_type = order.order_type
            price = getattr(order_type, "price", None)
            size = getattr(order_type, "size", getattr(order_type, "liability", None))
            average = order.average_price_matched
            rows.append(OrderRow(
                market_id=market.market_id,
                market_start=_utc(definition.market_time if definition else None),
                event_id=definition.event_id if definition else None,
                event_name=definition.event_name if definition else None,
                selection_id=order.selection_id,
                handicap=float(order.handicap),
                strategy=order.trade.strategy.name,
                side=order.side,
                order_type=order_type.ORDER_TYPE.value,
                # Floats throughout, as pelarune gives them: the same CSV from either stream.
                price=float(price) if price is not None else None,
                size=float(size) if size is not None else None,
                size_matched=float(order.size_matched),
                average_price_matched=float(average) if average is not None else None,
                status=order.status.value if order.status else None,
                profit=float(order.profit),
                placed=_utc(order.responses.date_time_placed),
                completed=_utc(order.date_time_execution_complete),
                notes=order.notes_str,
            ))
    return rows


def _simulate(files: list[_File], settings: _Settings) -> tuple[list[OrderRow], int]:
    from flumine import FlumineSimulation, clients, config

    from pelarune_flumine import SimulatedMiddleware

    config.raise_errors = settings.raise_errors  # a worker process starts with the default
    framework = FlumineSimulation()
    tracker = _Tracker()
    if settings.raise_errors:
        framework.add_market_middleware(tracker)
    if settings.middleware:
        framework.add_market_middleware(SimulatedMiddleware())
    framework.add_client(clients.SimulatedClient(**settings.client_kwargs))
    streams = []
    for path, event in files:
        if settings.event_processing:
            stream = settings.stream_class(path, listener_kwargs=settings.listener_kwargs,
                                           event_processing=True, event_group=event)
            # flumine's event path logs it; flumine 3.3.2's own historical stream lacks it.
            stream.market_filter = getattr(stream, "market_filter", None)
        else:
            stream = settings.stream_class(path, listener_kwargs=settings.listener_kwargs)
        tracker.track(stream)
        streams.append(stream)
    strategies = settings.strategy_factory(streams)
    for strategy in strategies if isinstance(strategies, (list, tuple)) else [strategies]:
        framework.add_strategy(strategy)
    try:
        framework.run()
    except _FileFailed:
        raise
    except Exception as error:  # a strategy's, re-raised by flumine under raise_errors
        path = tracker.culprit()
        if path is None:
            raise
        raise _FileFailed(path, f"{type(error).__name__}: {error}",
                          traceback.format_exc()) from error
    return _rows(framework), tracker.books


def _run_chunk(files: list[_File], settings: _Settings) -> _ChunkResult:
    """The chunk's files in one simulation; a file that fails is reported and the chunk
    replayed without it, so that it takes no other file's orders with it."""
    failed = []
    while True:
        try:
            rows, books = _simulate(files, settings)
        except _FileFailed as error:
            failed.append(error.failed)
            files = [file for file in files if file[0] != error.failed.path]
            continue
        finally:
            # flumine's objects point back at the framework: without a collection here the
            # cycles of every chunk a worker ran pile up until the collector's oldest
            # generation runs (see test_chunks_bound_memory).
            gc.collect()
        return _ChunkResult([_wire(row) for row in rows], len(files), books, failed)


def _expand(files: Union[str, os.PathLike[str], Iterable[Union[str, os.PathLike[str]]]]
            ) -> list[str]:
    """Paths as given, a folder standing for every file under it (sorted, hidden ones left
    out), as the exchange's archives unpack into folders by date and event."""
    given = [files] if isinstance(files, (str, os.PathLike)) else list(files)
    paths = []
    for entry in map(os.fspath, given):
        if not os.path.isdir(entry):
            paths.append(entry)
            continue
        found = []
        for folder, folders, names in os.walk(entry):
            folders[:] = [name for name in folders if not name.startswith(".")]
            found += [os.path.join(folder, name) for name in names if not name.startswith(".")]
        paths += sorted(found)
    return paths


class _Engine:
    """Runs a function over items, serially, on a process pool or on Dask, calling `done`
    with each result as it comes; returns the results in the items' order."""

    def __init__(self, engine: str, workers: int, scheduler: Optional[str]) -> None:
        self.engine, self.workers, self.scheduler = engine, workers, scheduler
        self.pool: Optional[ProcessPoolExecutor] = None
        self.client: Any = None
        self.cluster: Any = None

    def __enter__(self) -> "_Engine":
        if self.engine == "process":
            # spawn: the workers import the factory by name, as on a cluster, start without
            # the caller's threads, and are our children, so their CPU time counts as ours.
            self.pool = ProcessPoolExecutor(self.workers, multiprocessing.get_context("spawn"))
        elif self.engine == "dask":
            try:
                from dask.distributed import Client, LocalCluster
            except ImportError:
                raise ImportError(_INSTALL_DASK) from None
            if self.scheduler is None:
                # One single-threaded worker process per core: the replay holds the GIL.
                self.cluster = LocalCluster(n_workers=self.workers, threads_per_worker=1,
                                            processes=True, dashboard_address=None)
            self.client = Client(self.scheduler or self.cluster)
        elif self.engine != "serial":
            raise ValueError(f"engine must be 'serial', 'process' or 'dask', not {self.engine!r}")
        return self

    def __exit__(self, *exc: Any) -> None:
        if self.pool is not None:
            self.pool.shutdown(cancel_futures=True)
        if self.client is not None:
            self.client.close()
        if self.cluster is not None:
            self.cluster.close()

    def map(self, function: Callable[..., R], items: list[T], done: Callable[[T, R], None],
            *args: Any) -> list[R]:
        results: dict[int, R] = {}
        if self.pool is not None:
            futures: dict[Future[R], int] = {
                self.pool.submit(function, item, *args): i for i, item in enumerate(items)}
            for future in as_completed(futures):
                i = futures[future]
                results[i] = future.result()
                done(items[i], results[i])
            return [results[i] for i in range(len(items))]
        if self.client is not None:
            from dask.distributed import as_completed as dask_completed

            dask_futures = self.client.map(function, items, *[[arg] * len(items) for arg in args],
                                           pure=False)
            index = {future.key: i for i, future in enumerate(dask_futures)}
            for future in dask_completed(dask_futures):
                i = index[future.key]
                results[i] = future.result()
                done(items[i], results[i])
            return [results[i] for i in range(len(items))]
        results_in_order = []
        for item in items:
            result = function(item, *args)
            done(item, result)
            results_in_order.append(result)
        return results_in_order


def _bar(total: int, unit: str, progress: Optional[bool]) -> Any:
    from tqdm import tqdm

    # Shown on a terminal only, unless asked; a job's log or a test's output stays clean.
    shown = sys.stderr.isatty() if progress is None else progress
    return tqdm(total=total, unit=unit, disable=not shown, dynamic_ncols=True, file=sys.stderr)


def run_backtest(
    files: Union[str, os.PathLike[str], Iterable[Union[str, os.PathLike[str]]]],
    strategy_factory: StrategyFactory,
    *,
    listener_kwargs: Optional[dict[str, Any]] = None,
    engine: str = "process",
    workers: Optional[int] = None,
    scheduler: Optional[str] = None,
    chunk_size: int = CHUNK_SIZE,
    event_processing: bool = False,
    middleware: bool = True,
    client_kwargs: Optional[dict[str, Any]] = None,
    stream_class: Any = None,
    progress: Optional[bool] = None,
) -> BacktestResult:
    """Runs the strategies `strategy_factory(streams)` returns over every market of `files`
    (paths, or folders standing for every file under them) and returns every order.

    Files of one event go into one chunk of about `chunk_size` files; each chunk runs in a
    fresh FlumineSimulation with a SimulatedClient(**client_kwargs), pelarune_flumine's
    SimulatedMiddleware (unless `middleware` is false) and one stream per file
    (`stream_class`, pelarune_flumine.BetfairHistoricalStream by default, with
    `listener_kwargs`; with `event_processing`, grouped by event as flumine groups them).
    `engine` "serial" runs the chunks here, "process" on `workers` processes, "dask" on a
    LocalCluster of `workers` processes or on the cluster whose scheduler is at `scheduler`.
    The factory must be importable by name where the chunks run (a module-level function).
    """
    from flumine import config

    if stream_class is None:
        from pelarune_flumine import BetfairHistoricalStream

        stream_class = BetfairHistoricalStream
    settings = _Settings(strategy_factory, dict(listener_kwargs or {}), stream_class,
                         middleware, dict(client_kwargs or {}), event_processing,
                         bool(config.raise_errors))
    paths = _expand(files)
    batches = [paths[i:i + _SCAN_BATCH] for i in range(0, len(paths), _SCAN_BATCH)]
    failed: list[FailedFile] = []
    rows: list[OrderRow] = []
    books = replayed = 0
    with _Engine(engine, workers or os.cpu_count() or 1, scheduler) as runner:
        with _bar(len(paths), "file", progress) as bar:
            bar.set_description("scanning")
            scanned = [scan for batch in runner.map(_scan, batches,
                                                    lambda batch, _: bar.update(len(batch)))
                       for scan in batch]
        failed += [FailedFile(path, error) for path, _, _, error in scanned if error]
        chunks, left_out = _plan([scan[:3] for scan in scanned if not scan[3]], chunk_size)

        with _bar(sum(map(len, chunks)), "file", progress) as bar:
            bar.set_description("replaying")

            counts = {"orders": 0, "failed": len(failed)}

            def done(chunk: list[_File], result: _ChunkResult) -> None:
                nonlocal books
                books += result.books
                counts["orders"] += len(result.rows)
                counts["failed"] += len(result.failed)
                bar.set_postfix(counts, refresh=False)
                bar.update(len(chunk))

            for result in runner.map(_run_chunk, chunks, done, settings):
                rows += map(_unwire, result.rows)
                failed += result.failed
                replayed += result.files
    rows.sort(key=lambda row: row.market_id)  # stable: each market's orders in blotter order
    return BacktestResult(rows, failed, replayed, books, left_out)
