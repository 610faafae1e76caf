"""A batch of files as a worker runs it: each file loaded once, for both its markets and its
replay; the batch planned into chunks of whole events, each chunk in one FlumineSimulation;
the orders as rows, the books and strategy errors of each file, and a file that fails taken
out of its chunk without taking the other files' orders with it."""

from __future__ import annotations

import dataclasses
import functools
import gc
import logging
import traceback
from collections import Counter
from collections.abc import Callable, Iterator
from typing import Any

from pelarune_flumine.planning import File, LeftOut, Scan, plan
from pelarune_flumine.rows import FailedFile, OrderRow, rows_of, wire

StrategyFactory = Callable[[list[Any]], Any]  # streams -> BaseStrategy | list[BaseStrategy]

# The strategy methods flumine calls for a market; an error out of any of them is counted.
# flumine passes over those of the first four unless config.raise_errors; it calls
# process_closed_market unguarded (3.3.2), so an error there always ends the simulation.
_COUNTED = ("process_new_market", "check_market_book", "process_market_book", "process_orders",
            "process_closed_market")


@dataclasses.dataclass(frozen=True)
class Settings:
    """What every chunk needs besides its files; pickled to the workers."""

    strategy_factory: StrategyFactory
    listener_kwargs: dict[str, Any]
    stream_class: Any
    middleware: bool
    client_kwargs: dict[str, Any]
    event_processing: bool
    raise_errors: bool
    log_level: int | None  # None: logging as the worker has it
    chunk_size: int


@dataclasses.dataclass
class ChunkResult:
    """What chunks gave, by file and market, so that the parent can take out an event that
    turns out to have files in another batch."""

    paths: list[str]  # every file of the chunks, failed ones included
    rows: list[tuple[Any, ...]]  # wire(OrderRow)
    replayed: list[str]
    books: dict[str, int]  # by file
    # flumine's commission, market by market as it clears them, shared among the strategies
    # by their winnings in the market
    commission: dict[str, dict[str, float]]
    failed: list[FailedFile]
    # (path, strategy name) -> strategy errors counted in the file's markets
    errors: dict[tuple[str, str], int]

    @classmethod
    def merged(cls, results: list[ChunkResult]) -> ChunkResult:
        merged = cls([], [], [], {}, {}, [], {})
        for result in results:
            merged.paths += result.paths
            merged.rows += result.rows
            merged.replayed += result.replayed
            merged.books.update(result.books)
            merged.commission.update(result.commission)
            merged.failed += result.failed
            merged.errors.update(result.errors)
        return merged

    def without(self, paths: set[str], markets: set[str]) -> ChunkResult:
        """The result without those files and markets."""
        return ChunkResult(
            [path for path in self.paths if path not in paths],
            [row for row in self.rows if row[0] not in markets],  # wire: market_id first
            [path for path in self.replayed if path not in paths],
            {path: books for path, books in self.books.items() if path not in paths},
            {market: shares for market, shares in self.commission.items()
             if market not in markets},
            [failed for failed in self.failed if failed.path not in paths],
            {key: count for key, count in self.errors.items() if key[0] not in paths})


@dataclasses.dataclass
class BatchResult:
    scans: list[Scan]  # in the batch's order
    left_out: list[LeftOut]
    result: ChunkResult


class FileFailed(Exception):
    def __init__(self, path: str, error: str, trace: str | None = None) -> None:
        super().__init__(path, error)
        self.failed = FailedFile(path, error, trace)


class EmptyEvent(Exception):
    """flumine's event loop takes a first book from each stream of an event and lets
    StopIteration out of the whole run when a file yields none (under the listener's filters):
    the chunk goes on without the files that yielded none, so an event none of whose files
    yields a book gives no orders."""

    def __init__(self, paths: list[str]) -> None:
        super().__init__(paths)
        self.paths = paths


class _Books(list[Any]):
    """A stream's list of books that marks the book flumine is handling as it iterates it, so
    that an error is charged to that book's file (a CLOSED book's too, which flumine handles
    before any middleware sees the market)."""

    tracker: Tracker

    def __iter__(self) -> Iterator[Any]:
        for book in list.__iter__(self):
            self.tracker.market_id = book.market_id
            yield book


class Tracker:
    """Which file each market comes from, the book being handled, the books of each file and
    the strategy errors in each file's markets."""

    def __init__(self) -> None:
        self.files: dict[str, str] = {}
        self.market_id: str | None = None
        self.books: Counter[str] = Counter()  # by file
        self.empty: set[str] = set()  # files whose replay yielded no book
        self.errors: Counter[tuple[str, str]] = Counter()

    def track(self, stream: Any, path: str) -> None:
        """Counts the stream's books and turns an error out of its replay into FileFailed."""
        create = stream.create_generator

        def create_generator() -> Callable[[], Iterator[Any]]:
            generator = create()

            def books() -> Iterator[Any]:
                self.empty.add(path)
                try:
                    for market_books in generator():
                        self.empty.discard(path)
                        self.books[path] += len(market_books)
                        for book in market_books:
                            self.files.setdefault(book.market_id, path)
                        tracked = _Books(market_books)
                        tracked.tracker = self
                        yield tracked
                except Exception as error:
                    raise FileFailed(path, f"{type(error).__name__}: {error}") from error
            return books

        stream.create_generator = create_generator

    def count_errors(self, strategy: Any) -> None:
        """Wraps the strategy's market methods to count what they raise, by the market's
        file, before flumine sees it."""
        for name in _COUNTED:
            method = getattr(strategy, name, None)
            if method is not None:
                setattr(strategy, name, self._counting(method, strategy))

    def _counting(self, method: Callable[..., Any], strategy: Any) -> Callable[..., Any]:
        @functools.wraps(method)
        def counted(market: Any, *args: Any) -> Any:
            try:
                return method(market, *args)
            except Exception:
                self.market_id = market.market_id
                self.errors[(self.culprit() or "", strategy.name)] += 1
                raise
        return counted

    def culprit(self) -> str | None:
        return self.files.get(self.market_id or "")


def _simulate(files: list[File], settings: Settings, tracker: Tracker, loaded: dict[str, Any]
              ) -> tuple[list[Any], dict[str, dict[str, float]]]:
    from flumine import FlumineSimulation, clients, config

    from pelarune_flumine import SimulatedMiddleware

    config.raise_errors = settings.raise_errors  # a worker process starts with the default
    framework = FlumineSimulation()
    if settings.middleware:
        framework.add_market_middleware(SimulatedMiddleware())
    client = clients.SimulatedClient(**settings.client_kwargs)
    framework.add_client(client)
    streams = []
    for path, event in files:
        # A loaded file replays once: a chunk run again after a failure reads the others anew.
        source = loaded.pop(path, path)
        if settings.event_processing:
            stream = settings.stream_class(source, listener_kwargs=settings.listener_kwargs,
                                           event_processing=True, event_group=event)
            # flumine's event path logs it; flumine 3.3.2's own historical stream lacks it.
            stream.market_filter = getattr(stream, "market_filter", None)
        else:
            stream = settings.stream_class(source, listener_kwargs=settings.listener_kwargs)
        tracker.track(stream, path)
        streams.append(stream)
    strategies = settings.strategy_factory(streams)
    for strategy in strategies if isinstance(strategies, (list, tuple)) else [strategies]:
        tracker.count_errors(strategy)
        framework.add_strategy(strategy)
    try:
        framework.run()
    except FileFailed:
        raise
    except StopIteration:
        if not settings.event_processing or not tracker.empty:
            raise
        raise EmptyEvent(sorted(tracker.empty)) from None
    except Exception as error:  # a strategy's, re-raised by flumine
        culprit = tracker.culprit()
        if culprit is None:
            raise
        raise FileFailed(culprit, f"{type(error).__name__}: {error}",
                         traceback.format_exc()) from error
    rows = rows_of(framework)
    return [wire(row) for row in rows], _commission(framework, client, rows)


def _commission(framework: Any, client: Any, rows: list[OrderRow]
                ) -> dict[str, dict[str, float]]:
    """flumine charges a market's commission on its net winnings (Market.cleared); a strategy
    pays the share of it that its winnings in the market are of all the winners'. By market,
    then strategy."""
    profits: dict[str, dict[str, float]] = {}
    for row in rows:
        market = profits.setdefault(row.market_id, {})
        market[row.strategy] = market.get(row.strategy, 0.0) + row.profit
    shares: dict[str, dict[str, float]] = {}
    for market in framework.markets:
        charged = market.cleared(client)["commission"]
        winners = {name: profit for name, profit in profits.get(market.market_id, {}).items()
                   if profit > 0}
        for name, profit in winners.items():
            market_shares = shares.setdefault(market.market_id, {})
            market_shares[name] = market_shares.get(name, 0.0) + \
                charged * profit / sum(winners.values())
    return shares


def run_batch(paths: list[str], settings: Settings) -> BatchResult:
    """Loads each file once, plans the batch's chunks from what the files hold and replays
    them, the streams taking the loaded files when they are pelarune_flumine's. Reading each
    file once rather than scanning it first in the parent's tasks takes 1.13x to 1.40x less CPU
    time over .bz2 files with a strategy that does little, 1.03x to 1.06x with the order-placing
    one (bench_backtest.py --bz2, the builds taking turns)."""
    from pelarune_flumine.stream import BetfairHistoricalStream, load

    if settings.log_level is not None:
        root = logging.getLogger()
        root.setLevel(settings.log_level)
        if not root.handlers and settings.log_level <= logging.CRITICAL:
            logging.basicConfig(format="%(levelname)s %(name)s: %(message)s")
    loaded: dict[str, Any] = {}
    scans = []
    for path in paths:
        try:
            file = load(path)
        except Exception as error:  # noqa: BLE001  # unreadable, damaged or truncated
            scans.append(Scan(path, [], None, f"{type(error).__name__}: {error}"))
            continue
        markets: list[tuple[str, str | None]] = file.markets
        events = [event for _, event in markets if event is not None]
        scans.append(Scan(path, [market for market, _ in markets],
                          events[0] if events else None))
        # Another stream class reads the path itself.
        if settings.stream_class is BetfairHistoricalStream:
            loaded[path] = file
    chunks, left_out = plan([scan for scan in scans if scan.markets], settings.chunk_size)
    results = [run_chunk(chunk, settings, loaded) for chunk in chunks]
    return BatchResult(scans, left_out, ChunkResult.merged(results))


def run_chunk(files: list[File], settings: Settings, loaded: dict[str, Any]) -> ChunkResult:
    """The chunk's files in one simulation; a file that fails is reported and the chunk
    replayed without it, so that it takes no other file's orders with it."""
    paths = [path for path, _ in files]
    failed = []
    quiet_paths: list[str] = []  # files that yielded no book, in an event
    errors: Counter[tuple[str, str]] = Counter()  # those of the files that failed
    while True:
        tracker = Tracker()
        try:
            rows, commission = _simulate(files, settings, tracker, loaded)
        except FileFailed as error:
            failed.append(error.failed)
            errors.update({key: count for key, count in tracker.errors.items()
                           if key[0] == error.failed.path})
            files = [file for file in files if file.path != error.failed.path]
            continue
        except EmptyEvent as empty:
            quiet_paths.extend(empty.paths)
            files = [file for file in files if file.path not in empty.paths]
            continue
        finally:
            # flumine's objects point back at the framework: without a collection here the
            # cycles of every chunk a worker ran pile up until the collector's oldest
            # generation runs (see test_worker_memory_stays_flat).
            gc.collect()
        errors.update(tracker.errors)
        return ChunkResult(paths, rows, [file.path for file in files] + quiet_paths,
                           dict(tracker.books), commission, failed, dict(errors))
