"""flumine backtest benchmark: framework.run() and the historical stream alone, on flumine's own
stream (betfairlightweight) and on pelarune_flumine's.

The backtests run two strategies over every file of a set, one stream per file: the
order-placing strategy of tests/python/test_flumine.py, which may order at every book, and
ThreeOrders, three orders a market before the off. The streams take turns within one run, so that a busy spell of the
machine weighs on all alike, and each must give the same calls, orders and P&L. Times are
process CPU time, best of --repeat.

  flumine            flumine's BetfairHistoricalStream and its own SimulatedMiddleware
  pelarune           pelarune_flumine.BetfairHistoricalStream, flumine's middleware
  pelarune+mw        pelarune_flumine.BetfairHistoricalStream and SimulatedMiddleware
  stream alone       the stream's generator drained, with and without a seconds_to_start filter
  middleware alone   flumine's SimulatedMiddleware and ours called on each book of our stream,
                     with no orders, per file

Sets: the recordings in tests/data; --markets generated one-market files (bench/generate.py,
full ladders; their heartbeats carry an empty change list, since flumine's stream stops with
KeyError 'mc' on a heartbeat without one), racing-like: 600 seconds before the off hold about a
third of the books; and the same markets stretched to a long life before the off, where the
filter keeps about 2% of them.

Usage: bench_flumine.py [--repeat N] [--markets N] [--updates N]
"""

import argparse
import datetime
import itertools
import json
import logging
import os
import subprocess
import sys
import time
import warnings

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RECORDED = os.path.join(ROOT, "tests", "data")
DATA = os.path.join(ROOT, "bench", "data", "flumine")
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

import pelarune_flumine  # noqa: E402
import test_flumine  # noqa: E402
from conftest import MiddlewareMarket  # noqa: E402
from flumine import BaseStrategy, FlumineSimulation, clients  # noqa: E402
from flumine.order.ordertype import LimitOrder  # noqa: E402
from flumine.order.trade import Trade  # noqa: E402
from flumine.markets.middleware import SimulatedMiddleware  # noqa: E402
from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream  # noqa: E402


def generated_markets(count, updates):
    os.makedirs(DATA, exist_ok=True)
    paths = []
    for seed in range(1, count + 1):
        path = os.path.join(DATA, f"market-{seed:02d}-{updates}.json")
        if not os.path.exists(path):
            subprocess.run([sys.executable, os.path.join(ROOT, "bench", "generate.py"), "-o",
                            path + ".tmp", "--markets", "1", "--updates", str(updates),
                            "--seed", str(seed)], check=True, stderr=subprocess.DEVNULL)
            with open(path + ".tmp") as source, open(path, "w") as target:
                for line in source:
                    target.write(line.replace('"ct":"HEARTBEAT"}', '"ct":"HEARTBEAT","mc":[]}'))
            os.remove(path + ".tmp")
        paths.append(path)
    return paths


STRETCH = 100


def long_markets(paths):
    """The generated markets with their lives stretched: every publish time and the market time
    STRETCH times as far from the first record, so that the filter keeps about 2% of the books
    (the last minutes before the start, and those after it until the market turns in play), as
    in a market open for days."""
    stretched = []
    for path in paths:
        target = path.replace(".json", f"-long{STRETCH}.json")
        stretched.append(target)
        if os.path.exists(target):
            continue
        with open(path) as source:
            messages = [json.loads(line) for line in source]
        first = messages[0]["pt"]

        def later(ms):
            return first + (ms - first) * STRETCH

        for message in messages:
            message["pt"] = later(message["pt"])
            for change in message.get("mc", []):
                definition = change.get("marketDefinition")
                for key in ("marketTime", "suspendTime"):
                    if definition and key in definition:
                        when = datetime.datetime.fromisoformat(definition[key])
                        ms = later(int(when.timestamp() * 1000))
                        definition[key] = datetime.datetime.fromtimestamp(
                            ms / 1000, datetime.timezone.utc).isoformat(
                                timespec="milliseconds").replace("+00:00", "Z")
        with open(target + ".tmp", "w") as out:
            out.writelines(json.dumps(m, separators=(",", ":")) + "\n" for m in messages)
        os.rename(target + ".tmp", target)
    return stretched


def recorded_markets():
    names = ["BASIC-1.132153978.gz", "1.197931750", "1.197931751"]
    return [os.path.join(RECORDED, n) for n in names]


FILTER = {"seconds_to_start": 600, "inplay": False}


class ThreeOrders(BaseStrategy):
    """A typical pre-off strategy: backs the favourite at its best lay price, one order a book
    until it has placed three in the market."""

    def start(self, flumine):
        self.calls, self.orders, self.placed = [], [], {}

    def check_market_book(self, market, market_book):
        return market_book.status == "OPEN" and not market_book.inplay

    def process_market_book(self, market, market_book):
        self.calls.append((market.market_id, market_book.publish_time_epoch))
        if self.placed.get(market.market_id, 0) >= 3:
            return
        best = None
        for runner in market_book.runners:
            backs, lays = runner.ex.available_to_back, runner.ex.available_to_lay
            if runner.status == "ACTIVE" and backs and lays and (
                    best is None or backs[0]["price"] < best[1]):
                best = (runner, backs[0]["price"], lays[0]["price"])
        if best is None:
            return
        runner = best[0]
        trade = Trade(market.market_id, runner.selection_id, runner.handicap, self)
        order = trade.create_order(side="BACK", order_type=LimitOrder(best[2], 2.0))
        market.place_order(order)
        self.orders.append(order)
        self.placed[market.market_id] = self.placed.get(market.market_id, 0) + 1


STRATEGIES = {"placer": test_flumine.Placer, "three-orders": ThreeOrders}


def backtest(strategy_class, paths, stream_class, middleware, listener_kwargs):
    """One framework over every file; returns CPU seconds and what the strategy saw."""
    framework = FlumineSimulation()
    if middleware:
        framework.add_market_middleware(pelarune_flumine.SimulatedMiddleware())
    framework.add_client(clients.SimulatedClient())
    strategy = strategy_class(
        streams=[stream_class(path, listener_kwargs=listener_kwargs) for path in paths],
        max_order_exposure=2,
        max_selection_exposure=20, max_market_exposure=28, max_live_trade_count=2)
    framework.add_strategy(strategy)
    start = time.process_time()
    framework.run()
    seconds = time.process_time() - start
    orders = [(o.market_id, o.selection_id, o.order_type.price, o.status.value, o.size_matched,
               o.profit) for o in strategy.orders]
    return seconds, (strategy.calls, orders)


def stream_alone(paths, stream_class, listener_kwargs):
    start = time.process_time()
    books = 0
    for path in paths:
        stream = stream_class(path, listener_kwargs=listener_kwargs)
        stream.stream_id = 1
        for market_books in stream.create_generator()():
            books += len(market_books)
    return time.process_time() - start, books


def middleware_alone(books, middleware_class):
    middleware = middleware_class()
    market = MiddlewareMarket(books[0].market_id)
    start = time.process_time()
    for book in books:
        market.market_book = book
        middleware(market)
    return time.process_time() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--markets", type=int, default=20)
    parser.add_argument("--updates", type=int, default=1500)
    args = parser.parse_args()
    logging.disable(logging.CRITICAL)
    warnings.simplefilter("ignore", DeprecationWarning)  # utcfromtimestamp, on 3.12

    generated = generated_markets(args.markets, args.updates)
    sets = [("recorded", recorded_markets()), ("generated", generated),
            ("generated, long", long_markets(generated))]
    runs = [("flumine", BetfairHistoricalStream, False),
            ("pelarune", pelarune_flumine.BetfairHistoricalStream, False),
            ("pelarune+mw", pelarune_flumine.BetfairHistoricalStream, True)]
    for name, paths in sets:
        print(f"{name}: {len(paths)} files")
        for (strategy_name, strategy_class), listener_kwargs in itertools.product(
                STRATEGIES.items(), ({}, FILTER)):
            best = {}
            results = {}
            for _ in range(args.repeat):
                for label, stream_class, middleware in runs:
                    seconds, result = backtest(strategy_class, paths, stream_class, middleware,
                                               listener_kwargs)
                    best[label] = min(best.get(label, seconds), seconds)
                    results.setdefault(label, result)
                    if result != results["flumine"]:
                        sys.exit(f"{label}: calls or orders differ from flumine's on {name}")
            calls, orders = results["flumine"]
            print(f"  framework.run() {strategy_name} {listener_kwargs or 'unfiltered'}: "
                  f"{len(calls)} strategy calls, {len(orders)} orders")
            for label, _, _ in runs:
                print(f"    {label:12s} {best[label]:8.3f} s   "
                      f"{best['flumine'] / best[label]:5.1f}x")
        print("  middleware alone, µs a book:")
        for path in paths[:3]:
            stream = pelarune_flumine.BetfairHistoricalStream(path)
            stream.stream_id = 1
            books = [market_books[0] for market_books in stream.create_generator()()]
            best_middleware = {}
            for _ in range(args.repeat):
                for label, middleware_class in (("flumine", SimulatedMiddleware),
                                                ("ours", pelarune_flumine.SimulatedMiddleware)):
                    seconds = middleware_alone(books, middleware_class)
                    best_middleware[label] = min(best_middleware.get(label, seconds), seconds)
            print(f"    {os.path.basename(path):24s} " + "   ".join(
                f"{label} {seconds / len(books) * 1e6:5.2f}"
                for label, seconds in best_middleware.items()))
        for listener_kwargs in ({}, FILTER):
            best_stream = {}
            counts = {}
            for _ in range(args.repeat):
                for label, stream_class, _ in runs[:2]:
                    seconds, books = stream_alone(paths, stream_class, listener_kwargs)
                    best_stream[label] = min(best_stream.get(label, seconds), seconds)
                    counts[label] = books
            if counts["pelarune"] != counts["flumine"]:
                sys.exit(f"stream alone: {counts} books on {name}")
            print(f"  stream alone {listener_kwargs or 'unfiltered'}: {counts['flumine']} books")
            for label in best_stream:
                print(f"    {label:12s} {best_stream[label]:8.3f} s   "
                      f"{best_stream['flumine'] / best_stream[label]:5.1f}x")


if __name__ == "__main__":
    main()
