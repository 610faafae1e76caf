"""flumine backtests on pelarune_flumine's stream give the calls, orders and P&L that flumine's own
stream gives, with and without pelarune_flumine's middleware."""

import ast
import json
import logging
import os
import random
import subprocess
import sys
import warnings

import pytest

from flumine import BaseStrategy, FlumineSimulation, clients
from flumine.markets.middleware import RunnerAnalytics as FlumineRunnerAnalytics
from flumine.markets.middleware import SimulatedMiddleware as FlumineMiddleware
from flumine.order.order import OrderStatus
from flumine.order.ordertype import LimitOrder
from flumine.order.trade import Trade
from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream as FlumineStream
from flumine.streams.betfairhistoricalstream import FlumineMarketStream

import pelarune
import pelarune_flumine
from pelarune_flumine import guard
from conftest import change, definition, event_level_file, mcm, rc, recorded

STAKE = 2.0


@pytest.fixture(autouse=True)
def quiet_flumine():
    logging.disable(logging.CRITICAL)  # flumine logs every order and market
    yield
    logging.disable(logging.NOTSET)


def tick_up(price):
    step = 0.01 if price < 2 else 0.02 if price < 3 else 0.05 if price < 4 else 0.1
    return round(price + step, 2)


if FlumineStream is not None:
    class Placer(BaseStrategy):
        """Backs each active runner passively at its best lay price while iterating the
        runners, so that exposure limits, matching ties and bet delays depend on runner order;
        moves an order still waiting after two seconds one tick up."""

        def start(self, flumine):
            self.calls, self.orders, self.events, self.tries = [], [], [], {}

        def check_market_book(self, market, market_book):
            return market_book.status == "OPEN"

        def process_market_book(self, market, market_book):
            self.calls.append((market.market_id, market_book.publish_time_epoch,
                               tuple(r.selection_id for r in market_book.runners),
                               round(market.seconds_to_start, 6)))
            # A runner no definition lists is "ACTIVE" on ours, None on flumine's stream.
            definition = market_book.market_definition
            listed = {(r.selection_id, r.handicap) for r in definition.runners} \
                if definition else set()
            for runner in market_book.runners:
                if (runner.selection_id, runner.handicap) not in listed:
                    continue
                lays = runner.ex.available_to_lay
                # The basic recordings carry last traded prices only.
                price = lays[0]["price"] if lays else runner.last_price_traded
                key = (market.market_id, runner.selection_id, runner.handicap)
                tries = (*key, market_book.inplay)
                if runner.status != "ACTIVE" or price is None or price > 50 \
                        or self.tries.get(tries, 0) >= 3 \
                        or self.get_runner_context(*key).live_trade_count:
                    continue
                self.tries[tries] = self.tries.get(tries, 0) + 1
                trade = Trade(market.market_id, runner.selection_id, runner.handicap, self)
                order = trade.create_order(side="BACK", order_type=LimitOrder(price, STAKE))
                market.place_order(order)
                self.orders.append(order)

        def process_orders(self, market, orders):
            for order in orders:
                if order.status == OrderStatus.EXECUTABLE and order.elapsed_seconds \
                        and order.elapsed_seconds > 2 and order.size_remaining:
                    self.events.append((self.orders.index(order),
                                        round(order.elapsed_seconds, 6)))
                    market.replace_order(order, tick_up(order.order_type.price))


def backtest(path, stream_class, middleware=False, event_group=None, **listener_kwargs):
    """The Placer over a file, or over several files as one event when event_group is given."""
    framework = FlumineSimulation()
    if middleware:
        framework.add_market_middleware(pelarune_flumine.SimulatedMiddleware())
    framework.add_client(clients.SimulatedClient())
    paths = path if isinstance(path, list) else [path]
    event = dict(event_processing=True, event_group=event_group) if event_group else {}
    streams = [stream_class(p, listener_kwargs=listener_kwargs, **event) for p in paths]
    for stream in streams:
        # flumine 3.3 logs each stream's market_filter when it muxes an event; its own stream
        # has none (ours has it, None).
        stream.market_filter = getattr(stream, "market_filter", None)
    strategy = Placer(streams=streams,
                      max_order_exposure=STAKE, max_selection_exposure=10 * STAKE,
                      max_market_exposure=14 * STAKE, max_live_trade_count=2)
    framework.add_strategy(strategy)
    framework.run()
    orders = [(o.selection_id, o.side, o.order_type.price, o.order_type.size, o.status.value,
               o.size_matched, o.average_price_matched, o.profit,
               o.responses.date_time_placed.replace(tzinfo=None)
               if o.responses.date_time_placed else None)
              for o in strategy.orders]
    pnl = round(sum(o.profit for o in strategy.orders), 2)
    return {"calls": strategy.calls, "orders": orders, "events": strategy.events, "pnl": pnl}


def trading_market(tmp_path, name, passive=False, image=False, seed=3):
    """A market's life with the shapes the recordings lack: runners listed out of selection-id
    order and first named by runner changes, heartbeats with no change, an "img" that relists
    the runners in another order, in-play with a bet delay (and the PASSIVE delay model)."""
    rng = random.Random(seed)
    start = 1_600_000_000_000
    ids = [30, 10, 20]
    base = {i: rng.choice([2.0, 3.5, 4.5]) for i in [30, 10, 20, 5, 40]}
    traded = {i: {} for i in base}

    streamed = set(ids)

    def market_definition(runners, in_play=False, status="OPEN", winner=None):
        extra = {"betDelayModels": ["PASSIVE"]} if passive else {}
        return definition(
            [{"id": i, "sortPriority": n + 1, "status": "ACTIVE" if winner is None else
              "WINNER" if i == winner else "LOSER"} for n, i in enumerate(runners)],
            status=status, inPlay=in_play, betDelay=1 if in_play else 0,
            marketTime="2020-09-13T12:31:40.000Z", suspendTime="2020-09-13T12:31:40.000Z",
            bspMarket=False, turnInPlayEnabled=True, persistenceEnabled=True,
            marketBaseRate=5, eventId="30000", eventTypeId="7", numberOfWinners=1,
            bettingType="ODDS", marketType="WIN", bspReconciled=False, complete=True,
            crossMatching=True, runnersVoidable=False,
            # pelarune counts the active runners it has met, listed or not.
            numberOfActiveRunners=len(streamed),
            regulators=["MR_INT"], discountAllowed=True, timezone="GMT", version=1, **extra)

    def prices(i, full=False):
        # Prices stay in a narrow band, so that resting orders meet later trades.
        b = round(base[i] + rng.choice([0, 0.1]), 1)
        body = {"atb": [[b, rng.choice([5, 20, 0 if not full else 7])]],
                "atl": [[round(b + 0.1, 1), rng.choice([5, 30])]], "ltp": b}
        if rng.random() < 0.6:
            price = round(b + rng.choice([0.1, 0.2]), 1)
            traded[i][price] = round(traded[i].get(price, 0) + rng.choice([2, 10, 40]), 2)
            body["trd"] = [[p, v] for p, v in sorted(traded[i].items())] if full \
                else [[price, traded[i][price]]]
        streamed.add(i)
        return rc(i, **body)

    lines = [mcm(start, change(img=True, marketDefinition=market_definition(ids),
                               rc=[prices(i, True) for i in ids]))]
    in_play = False
    for n in range(1, 160):
        pt = start + n * 700
        if n == 20:
            # A runner no definition names; a definition without it in the same record
            # counts it among the active runners, as pelarune does.
            changes = [prices(5, True)]
            body = change(marketDefinition=market_definition(ids), rc=changes)
        elif n == 45:
            ids = ids + [5]
            body = change(marketDefinition=market_definition(ids))
        elif n == 60:
            changes = [prices(40, True), prices(10)]
            body = change(marketDefinition=market_definition(ids), rc=changes)
        elif n == 80 and image:
            ids = [40, 20, 5, 10, 30]
            body = change(img=True, marketDefinition=market_definition(ids, in_play),
                          rc=[prices(i, True) for i in ids])
        elif n == 100:
            in_play = True
            body = change(marketDefinition=market_definition(ids, True))
        elif n % 9 == 0:
            lines.append({"op": "mcm", "pt": pt, "clk": str(n), "ct": "HEARTBEAT", "mc": []})
            continue
        else:
            body = change(tv=n * 10.0, rc=[prices(rng.choice(ids)) for _ in range(2)])
        lines.append(mcm(pt, body))
    end = start + 160 * 700
    lines.append(mcm(end, change(marketDefinition=market_definition(ids, in_play, "SUSPENDED"))))
    lines.append(mcm(end + 500, change(marketDefinition=market_definition(
        ids, in_play, "CLOSED", winner=ids[1]))))
    path = tmp_path / name
    path.write_text("".join(json.dumps(line) + "\n" for line in lines))
    return str(path)


@pytest.fixture(params=["BASIC-1.132153978.gz", "1.197931750", "event", "passive", "image"])
def market_file(request, tmp_path):
    if request.param == "event":
        return event_level_file(tmp_path)
    if request.param == "passive":
        return trading_market(tmp_path, "1.900", passive=True)
    if request.param == "image":
        return trading_market(tmp_path, "1.901", image=True)
    return recorded(request.param)


class TestSameBacktest:
    def test_orders_fills_and_pnl(self, market_file):
        expected = backtest(market_file, FlumineStream)
        assert len(expected["calls"]) > 50 and len(expected["orders"]) > 5
        assert backtest(market_file, pelarune_flumine.BetfairHistoricalStream) == expected
        assert backtest(market_file, pelarune_flumine.BetfairHistoricalStream,
                        middleware=True) == expected

    # Each filter passes some of the market's 144 books: before the off, in play, or neither.
    @pytest.mark.parametrize("listener_kwargs, calls", [
        ({"inplay": True}, 54), ({"inplay": False}, 90), ({"seconds_to_start": 250}, 78),
        ({"max_inplay_seconds": 20}, 116), ({"event_type_ids": ["7", "4339"]}, 144),
        ({"event_type_ids": [1]}, 0)])
    def test_listener_filters(self, tmp_path, listener_kwargs, calls):
        path = trading_market(tmp_path, "1.902", passive=True)
        expected = backtest(path, FlumineStream, **listener_kwargs)
        assert len(expected["calls"]) == calls
        assert backtest(path, pelarune_flumine.BetfairHistoricalStream, middleware=True,
                        **listener_kwargs) == expected

    def test_event_processing_across_two_files(self):
        """The WIN and PLACE files of one race, muxed by publish time as flumine muxes an
        event's streams."""
        paths = [recorded("1.197931750"), recorded("1.197931751")]
        expected = backtest(paths, FlumineStream, event_group="30000000")
        assert {call[0] for call in expected["calls"]} == {"1.197931750", "1.197931751"}
        assert len(expected["orders"]) > 5
        for middleware in (False, True):
            assert backtest(paths, pelarune_flumine.BetfairHistoricalStream, middleware,
                            event_group="30000000") == expected


def test_two_strategies_one_file_each_on_its_own_stream():
    """A framework running one strategy on flumine's stream and one on ours over the same file
    keeps the two streams apart: flumine reuses a stream only when its hash matches."""

    class Seen(BaseStrategy):
        def start(self, flumine):
            self.books = []

        def check_market_book(self, market, market_book):
            return True

        def process_market_book(self, market, market_book):
            self.books.append(type(market_book))

    path = recorded("1.197931750")
    framework = FlumineSimulation()
    framework.add_client(clients.SimulatedClient())
    theirs = Seen(streams=[FlumineStream(path)])
    ours = Seen(streams=[pelarune_flumine.BetfairHistoricalStream(path)])
    framework.add_strategy(theirs)
    framework.add_strategy(ours)
    framework.run()
    assert len(theirs.books) == len(ours.books) == 165
    assert set(ours.books) == {pelarune.MarketBook}
    assert pelarune.MarketBook not in theirs.books


def test_one_simulated_middleware_runs():
    framework = FlumineSimulation()
    ours = pelarune_flumine.SimulatedMiddleware()
    framework.add_market_middleware(ours)
    framework.add_client(clients.SimulatedClient())
    assert [m for m in framework._market_middleware if isinstance(m, FlumineMiddleware)] == [ours]


class TestRefused:
    @pytest.mark.parametrize("listener_kwargs", [
        {"lightweight": True}, {"calculate_market_tv": True}, {"cumulative_runner_tv": True}])
    def test_listener_keys_whose_results_books_cannot_carry(self, listener_kwargs):
        with pytest.raises(ValueError, match=next(iter(listener_kwargs))):
            pelarune_flumine.BetfairHistoricalStream("any", listener_kwargs=listener_kwargs)


class TestGuard:
    def test_restated_flumine_code_is_the_code_checked(self):
        # Fails the day the installed flumine (or its betfairlightweight) changes code that
        # pelarune_flumine restates: compare the change with the native code, then update
        # guard's digests.
        for checked in (guard.STREAM, guard.MIDDLEWARE):
            assert guard.installed(checked) == checked
        assert guard.restates_installed("stream") and guard.restates_installed("middleware")

    @pytest.mark.parametrize("installed", ["stream changed", "middleware changed",
                                           "unreadable"])
    def test_other_flumine_code_gives_flumine_results_with_one_warning(
            self, tmp_path, monkeypatch, installed):
        """A flumine whose restated code changed (here its stream drops every third record, or
        its analytics see half of each trade), or whose source cannot be read, runs on
        flumine's own classes: flumine's orders, one warning a path, naming what changed."""
        path = trading_market(tmp_path, "1.900", passive=True)
        unchanged = backtest(path, FlumineStream)
        process = FlumineMarketStream._process
        calculate = FlumineRunnerAnalytics._calculate_traded

        def _process(self, data, publish_time):
            self.records = getattr(self, "records", 0) + 1
            return process(self, data, publish_time) if self.records % 3 else False

        def _calculate_traded(self, traded_volume):
            return {price: size / 2 for price, size in calculate(self, traded_volume).items()}

        def getsource(_):
            raise OSError("could not get source code")

        if installed == "stream changed":
            monkeypatch.setattr(FlumineMarketStream, "_process", _process)
            names = {"stream": ["FlumineMarketStream._process"]}
        elif installed == "middleware changed":
            monkeypatch.setattr(FlumineRunnerAnalytics, "_calculate_traded", _calculate_traded)
            names = {"middleware": ["RunnerAnalytics._calculate_traded"]}
        else:
            monkeypatch.setattr(guard.inspect, "getsource", getsource)
            names = {kind: [f"{module}.{name}" for module, functions in checked.items()
                            for name in functions]
                     for kind, checked in [("stream", guard.STREAM),
                                           ("middleware", guard.MIDDLEWARE)]}
        monkeypatch.setattr(guard, "_decided", {})
        expected = backtest(path, FlumineStream)
        assert (expected != unchanged) == (installed != "unreadable")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            for _ in range(2):
                assert backtest(path, pelarune_flumine.BetfairHistoricalStream,
                                middleware=True) == expected
            loaded = pelarune_flumine.stream.load(path)
            books = next(pelarune_flumine.BetfairHistoricalStream(loaded).create_generator()())
        assert (type(books[0]) is pelarune.MarketBook) == ("stream" not in names)
        messages = {str(w.message).split(":")[0]: str(w.message) for w in caught
                    if w.category is RuntimeWarning}
        assert len(messages) == sum(w.category is RuntimeWarning for w in caught) == len(names)
        for kind, changed in names.items():
            assert all(name in messages[f"pelarune_flumine's {kind}"] for name in changed)


def readme_example_orders(on_flumine_stream):
    """The README's flumine example run as a user runs it, from the repository's root: the
    orders it placed, optionally with the import switched back to flumine's own stream."""
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    with open(os.path.join(root, "README.md"), encoding="utf-8") as readme:
        blocks = [part.split("```", 1)[0] for part in readme.read().split("```python\n")[1:]]
    (code,) = [block for block in blocks if "import BetfairHistoricalStream" in block]
    if on_flumine_stream:
        code = code.replace(
            "from pelarune_flumine import BetfairHistoricalStream, SimulatedMiddleware",
            "from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream\n"
            "from pelarune_flumine import SimulatedMiddleware")
        assert "from flumine.streams" in code
    code += ("orders = framework.markets.markets['1.197931750'].blotter\n"
             "print(sorted((o.selection_id, o.order_type.price, o.size_matched) "
             "for o in orders))\n")
    run = subprocess.run([sys.executable, "-c", code], cwd=root, capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0 and run.stderr == "", run.stderr
    return ast.literal_eval(run.stdout)


def test_readme_example_places_the_same_orders_on_both_streams():
    orders = readme_example_orders(False)
    assert len(orders) > 10
    assert readme_example_orders(True) == orders
