"""flumine backtests on pelarune: a drop-in historical stream and a simulated middleware.

Switch ``from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream`` to
``from pelarune_flumine import BetfairHistoricalStream``; add ``SimulatedMiddleware()`` with
``framework.add_market_middleware`` before the simulated client.
"""

import bz2
import datetime
import gzip
import importlib.metadata
import json
import operator
import re
import warnings
from typing import Any, Callable, Dict, Iterator, List, Optional, Set, Tuple

import pelarune
from flumine.clients import VenueType
from flumine.markets import middleware as _middleware
from flumine.streams.betfairhistoricalstream import HistoricListener

__all__ = ["BetfairHistoricalStream", "SimulatedMiddleware", "UnlistedRunner", "run_backtest"]


def _check_flumine_version(version: str) -> None:
    major_minor = tuple(int(part) for part in re.findall(r"\d+", version)[:2])
    if not (3, 3) <= major_minor < (4, 0):
        warnings.warn(f"pelarune_flumine is made for flumine >=3.3,<4; found flumine {version}",
                      stacklevel=3)


_check_flumine_version(importlib.metadata.version("flumine"))

_EPOCH = datetime.datetime(1970, 1, 1)
_MICROSECOND = datetime.timedelta(microseconds=1)
# Listener keys that change the books betfairlightweight builds. Our books cannot carry their
# results (dicts, recomputed volumes), so a true value is refused rather than ignored.
_UNSUPPORTED_LISTENER_KEYS = ("lightweight", "calculate_market_tv", "cumulative_runner_tv")
_MARKET_ID = re.compile(rb'"id"\s*:\s*"((?:[^"\\]|\\.)*)"')


def _read_file(path: str) -> bytes:
    # The extensions pelarune decompresses by.
    extension = path.rsplit(".", 1)[-1] if "." in path.rsplit("/", 1)[-1] else ""
    opener: Callable[..., Any] = open
    if extension in ("gz", "gzip"):
        opener = gzip.open
    elif extension == "bz2":
        opener = bz2.open
    with opener(path, "rb") as file:
        data: bytes = file.read()
    return data


def _check_one_market(path: str) -> None:
    """pelarune follows one market per file and would apply a second market's changes to the
    first; flumine on betfairlightweight replays each. Refuse such a file instead."""
    data = _read_file(path)
    first = _MARKET_ID.search(data)
    if first is None:
        return
    other = re.search(rb'"id"\s*:\s*"(?!' + re.escape(first.group(1)) + rb'")', data)
    if other is not None:
        second = _MARKET_ID.match(data, other.start())
        names = [first.group(1).decode(errors="replace"),
                 second.group(1).decode(errors="replace") if second else "?"]
        raise ValueError(f"{path} holds more than one market ({names[0]}, {names[1]}, ...); "
                         "pelarune_flumine replays one market per file")


def _key(runner: Any) -> Tuple[int, float]:
    return runner.selection_id, runner.handicap


def _unwrap(runner: Any) -> Any:
    return runner.runner if isinstance(runner, UnlistedRunner) else runner


class UnlistedRunner:
    """A runner that runner changes named before any market definition listed it.
    betfairlightweight knows no status for such a runner; pelarune gives it "ACTIVE". Every
    other attribute is the wrapped Runner's, and the wrapper is kept while the Runner is."""

    __slots__ = ("runner",)
    status = None

    def __init__(self, runner: Any) -> None:
        self.runner = runner

    def __getattr__(self, name: str) -> Any:
        return getattr(self.runner, name)


def _is_image(runners: List[Any], previous: Optional[List[Any]]) -> bool:
    """Whether an "img" change reset the market in this record. pelarune then recreates
    every runner with new ladder lists; a record without one keeps at least one runner or
    one of its lists."""
    if previous is None or len(runners) < len(previous):
        return True  # runners leave a market only through an image
    before = {_key(runner): _unwrap(runner) for runner in previous}
    for runner in runners:
        old = before.get(_key(runner))
        if old is None:
            continue
        if runner is old:
            return False
        ex, old_ex = runner.ex, old.ex
        if (ex.available_to_back is old_ex.available_to_back
                or ex.available_to_lay is old_ex.available_to_lay
                or ex.traded_volume is old_ex.traded_volume):
            return False
    return True


class _RunnerOrder:
    """betfairlightweight's runner order: each runner where its market cache first met it
    (runners of a definition in definition order, then those named only by runner changes),
    the cache starting afresh at an "img". pelarune lists runners by selection id, so each
    book's list is permuted in place. Runners first met in the same record by runner changes
    alone cannot be told apart from the books; they keep selection-id order."""

    def __init__(self) -> None:
        self.keys: List[Tuple[int, float]] = []
        self.listed: Set[Tuple[int, float]] = set()
        self.count = 0
        self.permute: Optional[Callable[[List[Any]], Any]] = None
        self.unlisted: List[int] = []  # positions, after permuting
        self.wrappers: Dict[Any, UnlistedRunner] = {}

    def update(self, runners: List[Any], definition: Any, image: bool) -> None:
        if image:
            self.keys = []
            self.listed = set()
        if definition is not None:
            self.listed.update((d.selection_id, d.handicap) for d in definition.runners)
        known = set(self.keys)
        new = [runner for runner in runners if _key(runner) not in known]
        if new and definition is not None:
            rank = {(d.selection_id, d.handicap): i for i, d in enumerate(definition.runners)}
            unranked = len(rank)
            new.sort(key=lambda runner: rank.get(_key(runner), unranked))  # stable
        self.keys.extend(_key(runner) for runner in new)
        position = {_key(runner): i for i, runner in enumerate(runners)}
        if len(self.keys) != len(runners) or not all(key in position for key in self.keys):
            # A runner went without an image we could see: start afresh from this book.
            self.keys = []
            self.update(runners, definition, False)
            return
        permutation = [position[key] for key in self.keys]
        self.count = len(runners)
        self.permute = None
        if permutation != list(range(len(permutation))):
            self.permute = operator.itemgetter(*permutation)
        self.unlisted = [i for i, key in enumerate(self.keys) if key not in self.listed]

    def apply(self, runners: List[Any]) -> None:
        if self.permute is not None:
            runners[:] = self.permute(runners)
        if self.unlisted:
            wrappers = {}
            for i in self.unlisted:
                runner = runners[i]
                wrapper = self.wrappers.get(runner)
                runners[i] = wrappers[runner] = wrapper or UnlistedRunner(runner)
            self.wrappers = wrappers


def _same_state(book: Any, previous: Any) -> bool:
    """A record without market changes leaves pelarune's book as it was, publish time
    included; betfairlightweight yields nothing for it."""
    if book.market_definition is not previous.market_definition:
        return False
    for name in ("status", "inplay", "total_matched", "bet_delay", "version", "complete",
                 "cross_matching", "bsp_reconciled", "runners_voidable", "last_match_time"):
        if getattr(book, name) != getattr(previous, name):
            return False
    return set(map(id, book.runners)) == set(id(_unwrap(r)) for r in previous.runners)


def _books(stream: "BetfairHistoricalStream") -> Iterator[List[Any]]:
    path = stream.file_path
    _check_one_market(path)
    options = stream.listener_kwargs
    event_type_ids = options.get("event_type_ids")
    if isinstance(event_type_ids, (list, tuple)):
        wanted_event_types: Optional[Set[str]] = {str(i) for i in event_type_ids}
    else:
        wanted_event_types = None
    filters = (options.get("inplay"), options.get("seconds_to_start"),
               options.get("max_inplay_seconds"), wanted_event_types)

    records = pelarune.iter_prices_file(path)
    # Records before the first change naming a market end one next() without a book.
    for _ in range(len(records)):
        try:
            first = next(records)
        except StopIteration:
            continue
        return _replay(_records(first, records), stream.stream_id, filters)
    return iter(())


def _records(first: Any, records: Iterator[Any]) -> Iterator[Any]:
    # pelarune's next() is called from this frame. Each book's publish time raises the
    # interpreter's deprecation warning for utcfromtimestamp, which finds the calling line by
    # walking the frame's line table up to the call: short here, long from the replay loop
    # (callgrind, stream alone over 6 generated markets: 2.9k instructions a book above a bare
    # loop over the books, against 8.4k with the loop calling next() itself).
    yield first
    yield from records


def _replay(books: Iterator[Any], unique_id: Optional[int],
            filters: Tuple[Any, Any, Any, Optional[Set[str]]]) -> Iterator[List[Any]]:
    inplay, seconds_to_start, max_inplay_seconds, wanted_event_types = filters
    filtering = inplay is not None or seconds_to_start is not None \
        or max_inplay_seconds is not None
    order = _RunnerOrder()
    definition: Any = False  # no book seen yet
    status = in_play = None
    market_time_us = 0
    inplay_since: Optional[int] = None
    previous: Any = None
    previous_epoch = None
    for book in books:
        epoch = book.publish_time_epoch
        if epoch == previous_epoch and _same_state(book, previous):
            continue
        runners = book.runners
        if book.market_definition is not definition:
            definition = book.market_definition
            if definition is not None:
                if wanted_event_types is not None \
                        and str(definition.event_type_id) not in wanted_event_types:
                    return  # flumine excludes the market from here on
                image = _is_image(runners, previous.runners if previous is not None else None)
                order.update(runners, definition, image)
                was_in_play: Any = None if image else in_play
                status, in_play = definition.status, definition.in_play
                if definition.market_time is not None:
                    market_time_us = (definition.market_time - _EPOCH) // _MICROSECOND
                if max_inplay_seconds is not None and in_play and not was_in_play:
                    inplay_since = epoch
            else:
                order.update(runners, None, previous is None)
        elif len(runners) != order.count:
            order.update(runners, None, False)
        previous, previous_epoch = book, epoch
        if filtering and status == "OPEN":
            # flumine's historical listener filters, in its order and arithmetic.
            if inplay:
                if not in_play:
                    continue
            elif seconds_to_start is not None:
                if (market_time_us - epoch * 1000) / 1e6 > seconds_to_start:
                    continue
            if inplay is False and in_play:
                continue
            if inplay_since is not None and max_inplay_seconds is not None \
                    and (epoch - inplay_since) / 1000 > max_inplay_seconds:
                continue
        # Only books handed out are reordered: a filtered book is never seen.
        order.apply(runners)
        book.streaming_unique_id = unique_id
        yield [book]


class BetfairHistoricalStream:
    """flumine's historical stream, replayed by pelarune: the same constructor, keywords,
    attributes and listener filters, one market per file."""

    LISTENER = HistoricListener
    MAX_LATENCY = None
    VENUE = VenueType.BETFAIR

    def __init__(
        self,
        file_path: str,
        listener_kwargs: Optional[Dict[str, Any]] = None,
        stream_id: Optional[int] = None,
        event_processing: bool = False,
        event_group: Optional[str] = None,
        event_id: Optional[str] = None,
        operation: str = "marketSubscription",
    ) -> None:
        self.file_path = file_path
        self.listener_kwargs = listener_kwargs or {}
        self.stream_id = stream_id
        self.event_processing = event_processing
        self.event_group = event_group
        self.event_id = event_id
        self.operation = operation
        # flumine's event-group path logs it; a file replays its one market, unfiltered.
        self.market_filter: Optional[Dict[str, Any]] = None
        # Built as flumine builds it, so that a misspelt key fails the same way.
        self._listener = self.LISTENER(output_queue=None, max_latency=self.MAX_LATENCY,
                                       **self.listener_kwargs)
        if operation != "marketSubscription":
            raise ValueError(f"pelarune_flumine replays market data only, not {operation!r}")
        refused = [key for key in _UNSUPPORTED_LISTENER_KEYS if self.listener_kwargs.get(key)]
        if refused:
            raise ValueError(f"listener_kwargs {', '.join(refused)} not supported by "
                             "pelarune_flumine; use flumine's BetfairHistoricalStream")

    def stop(self) -> None:
        return

    def create_generator(self) -> Callable[[], Iterator[List[Any]]]:
        # flumine assigns stream_id after construction: read it when the replay starts.
        return lambda: _books(self)

    @property
    def stream_hash(self) -> int:
        return hash((self.__class__.__name__, self.file_path, json.dumps(self.listener_kwargs),
                     self.event_processing, self.event_group, self.event_id, self.operation))


class SimulatedMiddleware(_middleware.SimulatedMiddleware):  # type: ignore[misc]
    """flumine's simulated middleware, skipping the traded-volume comparison for a runner
    whose Runner object is the one its analytics last saw (pelarune reuses a Runner while it
    is unchanged). Such a runner's recent trades still reset to {} as flumine resets them.
    bench/bench_flumine.py, middleware alone: 5.5 to 2.6 µs a book where few runners change
    per book, 7% more where all of them change in most books."""

    def __init__(self) -> None:
        super().__init__()
        # Per market: the Runner objects of the last book, and the analytics of active runners
        # whose recent trades are not empty.
        self._last_runners: Dict[str, Set[Any]] = {}
        self._traded: Dict[str, Dict[Any, Any]] = {}  # Runner -> its analytics

    def __call__(self, market: Any) -> None:
        market_id = market.market_id
        market_analytics = self.markets[market_id]
        runners = market.market_book.runners
        last = self._last_runners.get(market_id)
        current = self._last_runners[market_id] = set(runners)
        traded = self._traded.setdefault(market_id, {})
        # Every entry comes from the last book. An unchanged runner's analytics saw that very
        # object: flumine would find the same traded volume and reset its recent trades.
        if traded:
            for runner, analytics in traded.items():
                if runner in current:
                    analytics.traded = {}
            traded.clear()
        changed = current if last is None else current - last
        runner_removals = []
        # In book order, as flumine meets them; one changed runner needs no walk of the book.
        for runner in runners if len(changed) > 1 else changed:
            if runner not in changed:
                continue
            status = runner.status
            if status == "ACTIVE":
                # flumine's _process_runner, keeping the analytics at hand.
                key = (runner.selection_id, runner.handicap)
                analytics = market_analytics.get(key)
                if analytics is None:
                    analytics = market_analytics[key] = _middleware.RunnerAnalytics(runner)
                analytics(runner)
                if analytics.traded:
                    traded[runner] = analytics
            elif status == "REMOVED":
                removal = (runner.selection_id, runner.handicap, runner.adjustment_factor)
                if removal not in self._runner_removals:
                    _middleware.logger.warning(
                        "Runner %s (%s) removed from market %s", runner.selection_id,
                        runner.adjustment_factor, market_id)
                    self._runner_removals.append(removal)
                    if runner.adjustment_factor:
                        runner_removals.append(removal)
        for removal in runner_removals:
            self._process_runner_removal(market, *removal)
        market.context["simulated"] = market_analytics
        if market.blotter.active:
            self._process_simulated_orders(market, market_analytics)

    def remove_market(self, market: Any) -> None:
        super().remove_market(market)
        self._last_runners.pop(market.market_id, None)
        self._traded.pop(market.market_id, None)


from pelarune_flumine.backtest import run_backtest  # noqa: E402  (imports this module lazily)
