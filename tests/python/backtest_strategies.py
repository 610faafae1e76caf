"""Strategy factories for run_backtest, importable by name in worker processes (tests/python is
on their sys.path: spawned processes and Dask's local workers take the parent's)."""

import os
import signal
import time

from flumine import BaseStrategy
from flumine.order.ordertype import LimitOrder
from flumine.order.trade import Trade
from test_flumine import STAKE, Placer

# The market on which Raiser raises: a generated market of bench_backtest.generated_markets.
RAISING_MARKET = "1.300000002"


def placer(streams):
    return Placer(streams=streams, max_order_exposure=STAKE, max_selection_exposure=10 * STAKE,
                  max_market_exposure=14 * STAKE, max_live_trade_count=2)


class Quiet(Placer):
    def process_orders(self, market, orders):
        # Placer looks replacement orders up in its list and raises ValueError, which flumine
        # passes over unless config.raise_errors; the replacement is never replaced again.
        try:
            super().process_orders(market, orders)
        except ValueError:
            pass


class Raiser(Quiet):
    def process_market_book(self, market, market_book):
        super().process_market_book(market, market_book)
        if market.market_id == RAISING_MARKET and len(self.calls) % 5 == 0:
            raise RuntimeError(f"strategy fault in {market.market_id}")


def raiser(streams):
    return Raiser(streams=streams, name="Raiser", max_order_exposure=STAKE,
                  max_selection_exposure=10 * STAKE, max_market_exposure=14 * STAKE,
                  max_live_trade_count=2)


class Sleeper(Placer):
    """Placer taking PELARUNE_TEST_SLEEP seconds a book, as a heavier strategy would."""

    def process_market_book(self, market, market_book):
        time.sleep(float(os.environ.get("PELARUNE_TEST_SLEEP", "0.002")))
        super().process_market_book(market, market_book)


def sleeper(streams):
    return Sleeper(streams=streams, max_order_exposure=STAKE, max_selection_exposure=10 * STAKE,
                   max_market_exposure=14 * STAKE, max_live_trade_count=2)


class CloseRaiser(Quiet):
    def process_closed_market(self, market, market_book):
        if market.market_id == RAISING_MARKET:
            raise RuntimeError(f"closing fault in {market.market_id}")


def close_raiser(streams):
    return CloseRaiser(streams=streams, name="CloseRaiser", max_order_exposure=STAKE,
                       max_selection_exposure=10 * STAKE, max_market_exposure=14 * STAKE,
                       max_live_trade_count=2)


def _closure():
    def factory(streams):
        return placer(streams)
    return factory


closure = _closure()  # a factory the workers cannot import by name


class Idle(BaseStrategy):
    """Reads every book and does nothing: a backtest's cost without the strategy's."""

    def check_market_book(self, market, market_book):
        return True

    def process_market_book(self, market, market_book):
        pass


def idle(streams):
    return Idle(streams=streams)


class Favourite(BaseStrategy):
    """Backs the favourite at its best back price once a market, in its last minute before the
    off: a realistic strategy beside Placer's order at every book."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.backed = set()

    def check_market_book(self, market, market_book):
        return market_book.status == "OPEN" and not market_book.inplay and \
            market.market_id not in self.backed and market.seconds_to_start < 60

    def process_market_book(self, market, market_book):
        runners = [r for r in market_book.runners if r.status == "ACTIVE" and
                   r.ex.available_to_back]
        if not runners:
            return
        favourite = min(runners, key=lambda r: r.ex.available_to_back[0]["price"])
        trade = Trade(market.market_id, favourite.selection_id, favourite.handicap, self)
        market.place_order(trade.create_order(
            "BACK", LimitOrder(favourite.ex.available_to_back[0]["price"], STAKE)))
        self.backed.add(market.market_id)


def favourite(streams):
    return Favourite(streams=streams, max_order_exposure=STAKE, max_selection_exposure=STAKE,
                     max_market_exposure=STAKE)


class Killer(Quiet):
    """Kills its own process with PELARUNE_TEST_KILL's signal ("SIGKILL", "SIGABRT") in
    RAISING_MARKET, as the OOM killer or a native crash would; with PELARUNE_TEST_KILL_ONCE
    (a path), only the first time, as an outside kill hits one chunk and not its files."""

    def process_market_book(self, market, market_book):
        super().process_market_book(market, market_book)
        if market.market_id != RAISING_MARKET:
            return
        once = os.environ.get("PELARUNE_TEST_KILL_ONCE")
        if once:
            try:
                os.close(os.open(once, os.O_CREAT | os.O_EXCL))
            except FileExistsError:
                return
        os.kill(os.getpid(), getattr(signal, os.environ["PELARUNE_TEST_KILL"]))


def killer(streams):
    return Killer(streams=streams, name="Placer", max_order_exposure=STAKE,
                  max_selection_exposure=10 * STAKE, max_market_exposure=14 * STAKE,
                  max_live_trade_count=2)
