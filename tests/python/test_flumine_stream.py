"""pelarune_flumine's stream hands out, record by record, the lists of books flumine's own stream
hands out: the same markets, runners in the same order and the same values, under every listener
filter, over recorded, event-level and generated files."""

import bz2
import json
import os
import random
import subprocess

import pytest

from flumine.markets.middleware import SimulatedMiddleware as FlumineMiddleware
from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream as FlumineStream

import pelarune
import pelarune_flumine
from conftest import (MiddlewareMarket, change, definition, event_level_file, mcm, rc,
                      recorded)



def ladder(prices):
    return [(p["price"], p["size"]) for p in prices]


def listed(book):
    definition = book.market_definition
    return {(r.selection_id, r.handicap) for r in definition.runners} if definition else set()


def normalise(lists):
    """Each yielded list as plain values both streams give alike. Where betfairlightweight has
    None (the status of a runner no definition lists, counts before any definition), ours keep
    their documented types, so those are left out."""
    out = []
    for books in lists:
        out.append([(
            b.market_id, b.publish_time_epoch, b.streaming_unique_id, b.status, b.inplay,
            b.total_matched,
            b.number_of_active_runners if b.market_definition is not None else None,
            [(r.selection_id, r.handicap,
              r.status if (r.selection_id, r.handicap) in listed(b) else None,
              r.last_price_traded, r.total_matched, ladder(r.ex.available_to_back),
              ladder(r.ex.available_to_lay), ladder(r.ex.traded_volume))
             for r in b.runners]) for b in books])
    return out


def replay(stream_class, path, **listener_kwargs):
    stream = stream_class(path, listener_kwargs=listener_kwargs)
    stream.stream_id = 7
    return list(stream.create_generator()())


def assert_same_stream(path, minimum=1, **listener_kwargs):
    expected = normalise(replay(FlumineStream, path, **listener_kwargs))
    ours = replay(pelarune_flumine.BetfairHistoricalStream, path, **listener_kwargs)
    assert len(expected) >= minimum
    assert normalise(ours) == expected
    return ours


@pytest.fixture
def event_file(tmp_path):
    return event_level_file(tmp_path)


FILTERS = [{}, {"seconds_to_start": 600, "inplay": False}, {"inplay": True},
           {"max_inplay_seconds": 5}, {"event_type_ids": ["4339"]}, {"event_type_ids": [7]}]


class TestRecorded:
    @pytest.mark.parametrize("listener_kwargs", FILTERS)
    @pytest.mark.parametrize("name", ["BASIC-1.132153978.gz", "1.197931750"])
    def test_recordings(self, name, listener_kwargs):
        minimum = 0 if listener_kwargs.get("event_type_ids") == [7] else 1
        if name.startswith("BASIC") and listener_kwargs.get("event_type_ids") == ["4339"]:
            minimum = 0  # a horse race
        assert_same_stream(recorded(name), minimum, **listener_kwargs)

    @pytest.mark.parametrize("listener_kwargs", FILTERS)
    def test_event_file_replays_every_market(self, event_file, listener_kwargs):
        books = assert_same_stream(event_file, 0, **listener_kwargs)
        if not listener_kwargs:
            assert len(books) == 332
            assert {b.market_id for books_ in books for b in books_} == {"1.197931750",
                                                                        "1.197931751"}
        assert pelarune_flumine.stream.markets_of(event_file) == [("1.197931750", "31389771"),
                                                                  ("1.197931751", "31389771")]

    def test_books_are_pelarune_objects_and_export(self, event_file):
        lists = replay(pelarune_flumine.BetfairHistoricalStream, event_file)
        books = [book for books in lists for book in books]
        assert len(books) == 663
        assert {type(book) for book in books} == {pelarune.MarketBook}
        assert {type(r) for book in books for r in book.runners} == {pelarune.Runner}
        assert all(book.to_dict()["marketId"] == book.market_id for book in books)

    @pytest.mark.parametrize("name", ["BASIC-1.132153978.gz", "1.197931750", "1.197931751"])
    def test_publish_times_are_iter_prices_files(self, name):
        ours = [b for books in replay(pelarune_flumine.BetfairHistoricalStream, recorded(name))
                for b in books]
        theirs = list(pelarune.iter_prices_file(recorded(name)))
        assert len(ours) == len(theirs) > 100
        assert [b.publish_time for b in ours] == [b.publish_time for b in theirs]
        assert all(b.publish_time.tzinfo is None for b in ours)

    def test_bz2_is_read_once_from_a_pipe(self, tmp_path):
        source = tmp_path / "source.bz2"
        with open(recorded("1.197931750"), "rb") as file:
            source.write_bytes(bz2.compress(file.read()))
        path = tmp_path / "1.197931750.bz2"
        os.mkfifo(path)
        # Another process: the load holds the interpreter lock while it reads.
        writer = subprocess.Popen(["cp", str(source), str(path)])
        lists = replay(pelarune_flumine.BetfairHistoricalStream, str(path))
        assert writer.wait(timeout=30) == 0
        assert len(lists) == 166


def test_unchanged_objects_are_the_last_handed_out(tmp_path):
    # Books filtered out in between are never built: what did not change since the last book
    # handed out is that book's object.
    path = write(tmp_path, [
        mcm(1, change(marketDefinition=definition([1, 2], inPlay=False),
                      rc=[rc(1, atb=[[2.0, 5]]), rc(2, atb=[[3.0, 5]])])),
        mcm(2, change(marketDefinition=definition([1, 2], inPlay=True))),
        mcm(3, change(rc=[rc(2, atb=[[3.0, 6]])])),
        mcm(4, change(marketDefinition=definition([1, 2], inPlay=False)))])
    lists = replay(pelarune_flumine.BetfairHistoricalStream, path, inplay=False)
    assert [books[0].publish_time_epoch for books in lists] == [1, 4]
    first, last = lists[0][0], lists[1][0]
    assert last.runners[0].ex.available_to_back is first.runners[0].ex.available_to_back
    assert last.runners[1].ex.available_to_back is not first.runners[1].ex.available_to_back


def write(tmp_path, lines, name="1.5"):
    path = tmp_path / name
    path.write_text("".join((ln if isinstance(ln, str) else json.dumps(ln)) + "\n"
                            for ln in lines))
    return str(path)


def market(market_id="1.5", runners=(1, 2), **keys):
    """A definition with every key betfairlightweight requires."""
    full = dict(marketTime="1970-01-01T00:10:00.000Z", eventTypeId="7", eventId="30000",
                betDelay=0, bettingType="ODDS", bspMarket=False, bspReconciled=False,
                complete=True, crossMatching=True, discountAllowed=True, inPlay=False,
                marketBaseRate=5, numberOfActiveRunners=len(runners), numberOfWinners=1,
                persistenceEnabled=True, regulators=["MR_INT"], runnersVoidable=False,
                timezone="GMT", turnInPlayEnabled=True, version=1)
    full.update(keys)
    return definition([{"id": r, "sortPriority": n + 1, "status": "ACTIVE"}
                       for n, r in enumerate(runners)], **full)


# Legal records whose meaning a replay can get wrong, each against flumine's own stream.
ODD_CASES = {
    "same publish time repeated": [
        mcm(1, change(marketDefinition=market(), rc=[rc(1, atb=[[2.0, 5]])])),
        mcm(2, change(rc=[rc(1, atb=[[2.0, 5]])])), mcm(2, change(rc=[rc(1, atb=[[2.0, 5]])])),
        mcm(2, change(tv=0))],
    "definition reorders runners, every ladder renewed without img": [
        mcm(1, change(marketDefinition=market([1, 2]), rc=[rc(1, atb=[[2.0, 5]]),
                                                           rc(2, atb=[[3.0, 5]])])),
        mcm(2, change(marketDefinition=market([2, 1]), rc=[rc(2, atb=[[3.0, 6]]),
                                                           rc(1, atb=[[2.0, 6]])]))],
    "img mid-file resets runners, order and total": [
        mcm(1, change(marketDefinition=market([1, 2]), tv=50, rc=[rc(1, ltp=2.0)])),
        mcm(2, change(img=True, marketDefinition=market([3, 2]), rc=[rc(2, ltp=3.0)])),
        mcm(3, change(tv=60))],
    "empty traded list": [
        mcm(1, change(marketDefinition=market(), rc=[rc(1, trd=[[2.0, 5], [2.2, 1]])])),
        mcm(2, change(rc=[rc(1, trd=[])])), mcm(3, change(rc=[rc(1, trd=[[2.4, 3]])]))],
    "best offers only": [
        mcm(1, change(marketDefinition=market(), rc=[
            rc(1, batb=[[0, 2.0, 5], [1, 1.9, 3]], batl=[[0, 2.1, 4]]),
            rc(2, bdatb=[[0, 3.0, 5]], batb=[[0, 2.9, 1]])])),
        mcm(2, change(rc=[rc(1, batb=[[0, 1.9, 3], [1, 0, 0]]), rc(2, atb=[[3.1, 2]])])),
        mcm(3, change(rc=[rc(2, atb=[[3.1, 0]])]))],
    "change without market id": [
        mcm(1, change(marketDefinition=market(), rc=[rc(1, ltp=2.0)])),
        mcm(2, change(None, rc=[rc(1, ltp=5.0)])),
        mcm(3, change(rc=[rc(2, ltp=3.0)]), change(None, tv=9))],
    "runner dropped from a later definition": [
        mcm(1, change(marketDefinition=market([1, 2, 3], numberOfActiveRunners=3))),
        mcm(2, change(marketDefinition=market([1, 2], numberOfActiveRunners=2)))],
    "heartbeats and runners first met in runner changes": [
        mcm(1, change(marketDefinition=market([7, 2]))), mcm(2),
        mcm(3, change(rc=[rc(9, ltp=2.0), rc(4, ltp=3.0)])), mcm(4)],
    "several markets, one closing early": [
        mcm(1, change("1.5", marketDefinition=market()), change("1.6", marketDefinition=market(
            [4, 5], eventTypeId="4339"))),
        mcm(2, change("1.6", marketDefinition=market([4, 5], status="CLOSED", eventTypeId="4339"))),
        mcm(3, change("1.5", rc=[rc(1, ltp=2.0)])), mcm(4, change("1.6", tv=5)),
        mcm(5, change("1.7", marketDefinition=market([8])), change("1.5", tv=1))],
}


@pytest.mark.parametrize("listener_kwargs", [{}, {"seconds_to_start": 599.998}, {"inplay": False},
                                             {"event_type_ids": ["7"]}])
@pytest.mark.parametrize("case", list(ODD_CASES))
def test_odd_records(tmp_path, case, listener_kwargs):
    assert_same_stream(write(tmp_path, ODD_CASES[case]), 1, **listener_kwargs)


def test_max_inplay_seconds_restarts_after_an_img(tmp_path):
    lines = [mcm(1, change(marketDefinition=market(inPlay=True)))]
    lines += [mcm(1000 * n, change(rc=[rc(1, ltp=2.0 + n / 100)])) for n in range(1, 8)]
    lines += [mcm(8000, change(img=True, marketDefinition=market(inPlay=True)))]
    lines += [mcm(8000 + 1000 * n, change(rc=[rc(1, ltp=3.0)])) for n in range(1, 4)]
    assert len(assert_same_stream(write(tmp_path, lines), max_inplay_seconds=2)) == 6


def test_line_market_fields(tmp_path):
    """A line market's ladder type and units, as flumine's stream shows them on the book and its
    definition, through a change of units and a definition that gives none; pelarune's own
    books keep None."""
    line = dict(bettingType="LINE", priceLadderDefinition={"type": "LINE_RANGE"},
                lineMinUnit=0.5, lineMaxUnit=200.5, lineInterval=1)
    path = write(tmp_path, [
        mcm(1, change(marketDefinition=market(**line), rc=[rc(1, atb=[[10.5, 5]])])),
        mcm(2, change(rc=[rc(1, atl=[[11.5, 2]])])),
        mcm(3, change(marketDefinition=market(**{**line, "lineMaxUnit": 150}))),
        mcm(4, change(marketDefinition=market(priceLadderDefinition={"type": "CLASSIC"}))),
        mcm(5, change(marketDefinition=market()))])

    def fields(lists):
        out = []
        for books in lists:
            b = books[0]
            d = b.market_definition
            ladders = [x.type if x else None for x in (b.price_ladder_definition,
                                                       d.price_ladder_definition)]
            out.append((*ladders, d.line_min_unit, d.line_max_unit, d.line_interval))
        return out

    expected = fields(replay(FlumineStream, path))
    assert fields(replay(pelarune_flumine.BetfairHistoricalStream, path)) == expected
    assert expected == [("LINE_RANGE", "LINE_RANGE", 0.5, 200.5, 1)] * 2 + [
        ("LINE_RANGE", "LINE_RANGE", 0.5, 150, 1), ("CLASSIC", "CLASSIC", None, None, None),
        (None, None, None, None, None)]
    books = list(pelarune.iter_prices_file(path))
    assert len(books) == 5 and all(
        b.price_ladder_definition is None and b.market_definition.line_max_unit is None
        for b in books)


# Where flumine's own stream raises, ours goes on; these say how.
class TestWhereFlumineRaises:
    def test_first_record_without_definition_is_replayed_unfiltered(self, tmp_path):
        path = write(tmp_path, [mcm(1, change(rc=[rc(1, ltp=2.0)])),
                                mcm(2, change(marketDefinition=market([1])))])
        lists = replay(pelarune_flumine.BetfairHistoricalStream, path, seconds_to_start=1000)
        assert [[(b.publish_time_epoch, b.market_definition is None) for b in books]
                for books in lists] == [[(1, True)], [(2, False)]]

    def test_img_without_definition_keeps_the_definition(self, tmp_path):
        path = write(tmp_path, [mcm(1, change(marketDefinition=market([1, 2]), tv=5)),
                                mcm(2, change(img=True, rc=[rc(3, ltp=2.0)]))])
        last = replay(pelarune_flumine.BetfairHistoricalStream, path)[-1][0]
        assert [r.selection_id for r in last.runners] == [3]
        assert last.market_definition is not None and last.total_matched == 0

    def test_line_without_market_changes_is_skipped(self, tmp_path):
        path = write(tmp_path, [mcm(1, change(marketDefinition=market())),
                                {"op": "mcm", "pt": 2, "ct": "HEARTBEAT"}])
        assert len(replay(pelarune_flumine.BetfairHistoricalStream, path)) == 1


def random_stream(rng):
    """Several markets over a few minutes around their start: definitions that reorder, drop
    and add runners, go in play and suspend; images; ladders with removals; best offers;
    heartbeats; records sharing a publish time; changes without an id. The first market is a
    horse race (event type 7), so that every event type filter passes some of its books."""
    ids = {f"1.{n}": [rng.randint(1, 9) for _ in range(3)] for n in range(rng.randint(1, 3))}
    ids = {m: list(dict.fromkeys(r)) for m, r in ids.items()}
    types = {m: "7" if m == "1.0" else rng.choice(["7", "4339"]) for m in ids}
    in_play = {m: False for m in ids}
    # A stream lasts about four minutes: the start falls inside it, and 100 seconds before it.
    start = rng.randint(110, 200) * 1000
    start_time = f"1970-01-01T00:{start // 60_000:02}:{start // 1000 % 60:02}.000Z"

    def md(m):
        return market(m, ids[m], eventTypeId=types[m], inPlay=in_play[m], marketTime=start_time,
                      status=rng.choice(["OPEN", "OPEN", "OPEN", "SUSPENDED"]),
                      numberOfActiveRunners=len(ids[m]))

    def runner(i, full=False):
        keys = {}
        for key in ("atb", "atl", "trd"):
            if full or rng.random() < 0.4:
                # Traded sizes with pennies, whose differences the middleware rounds.
                sizes = [0, 2, 5.5, round(rng.uniform(0, 60), 2)]
                keys[key] = [[rng.choice([1.5, 2.0, 2.5, 3.0]), rng.choice(sizes)]
                             for _ in range(rng.randint(0, 3))]
        if rng.random() < 0.1:
            keys["batb"] = [[rng.randint(0, 2), rng.choice([1.8, 2.2]), rng.choice([0, 4])]]
        if rng.random() < 0.3:
            keys["ltp"] = rng.choice([2.0, 2.5])
        return rc(i, **keys)

    lines = [mcm(1, *[change(m, marketDefinition=md(m)) for m in ids])]
    pt = 1
    for _ in range(rng.randint(10, 60)):
        pt += rng.choice([0, 500, 20_000])
        if rng.random() < 0.08:
            lines.append(mcm(pt))
            continue
        changes = []
        for m in rng.sample(list(ids), rng.randint(1, len(ids))):
            roll = rng.random()
            if roll < 0.15:
                if rng.random() < 0.5:
                    rng.shuffle(ids[m])
                if rng.random() < 0.3 and len(ids[m]) > 1:
                    ids[m].pop()
                if pt > start and rng.random() < 0.6:
                    in_play[m] = True
                changes.append(change(m, marketDefinition=md(m)))
            elif roll < 0.2:
                changes.append(change(m, img=True, marketDefinition=md(m),
                                      rc=[runner(i, True) for i in ids[m]]))
            else:
                changes.append(change(m, tv=rng.choice([0, 10.5]), rc=[
                    runner(rng.choice(ids[m] + [11])) for _ in range(rng.randint(1, 3))]))
            if rng.random() < 0.05:
                changes.append(change(None, tv=1))
        lines.append(mcm(pt, *changes))
    return lines


def random_filters(rng):
    return {key: value for key, value in [
        ("inplay", rng.choice([None, True, False])),
        ("seconds_to_start", rng.choice([None, 100, 250])),
        ("max_inplay_seconds", rng.choice([None, 30])),
        ("event_type_ids", rng.choice([None, ["7"], ["4339", 7]]))] if value is not None}


def test_random_streams_and_filters(tmp_path):
    compared = []
    for seed in range(40):
        rng = random.Random(seed)
        path = write(tmp_path, random_stream(rng), f"1.{seed}")
        lists = assert_same_stream(path, 0, **random_filters(rng))
        compared.append((len(lists), sum(len(books) for books in lists)))
    lists, books = map(sum, zip(*compared))
    assert lists > 700 and books > 1000
    assert sum(1 for _, books in compared if books) >= 36  # most filters pass some books


def analytics_after_each_book(middleware, lists):
    """Each listed runner's analytics after each book: recent trades (values and order), the
    price-to-size map, and whose runner it holds."""
    markets = {}
    trace = []
    for books in lists:
        for book in books:
            market = markets.setdefault(book.market_id, MiddlewareMarket(book.market_id))
            market.market_book = book
            middleware(market)
            listed_keys = listed(book)
            trace.append((book.market_id, [
                (key, list(a.traded.items()), list(a._p_v.items()),
                 a.runner.selection_id, type(a.runner) is pelarune.Runner)
                for key, a in middleware.markets[book.market_id].items()
                if key in listed_keys]))
    return trace


def assert_same_analytics(path, **listener_kwargs):
    """Our middleware on our stream leaves every analytics as flumine's middleware leaves it on
    flumine's stream; the runners they hold differ only in their class."""
    expected = analytics_after_each_book(FlumineMiddleware(),
                                         replay(FlumineStream, path, **listener_kwargs))
    ours = analytics_after_each_book(pelarune_flumine.SimulatedMiddleware(), replay(
        pelarune_flumine.BetfairHistoricalStream, path, **listener_kwargs))
    assert all(ours_runner for _, entries in ours for *_, ours_runner in entries)
    strip = [(m, [entry[:-1] for entry in entries]) for m, entries in expected]
    assert [(m, [entry[:-1] for entry in entries]) for m, entries in ours] == strip
    return sum(len(traded) for _, entries in expected for _, traded, *_ in entries)


class TestMiddleware:
    @pytest.mark.parametrize("name", ["BASIC-1.132153978.gz", "1.197931750", "1.197931751"])
    def test_recorded(self, name):
        # The basic recording has no traded ladders.
        assert assert_same_analytics(recorded(name)) >= (0 if name.startswith("BASIC") else 100)

    def test_event_level_file_filtered(self, event_file):
        assert assert_same_analytics(event_file, seconds_to_start=600, inplay=False) > 50

    @pytest.mark.parametrize("case", list(ODD_CASES))
    def test_odd_records(self, tmp_path, case):
        assert_same_analytics(write(tmp_path, ODD_CASES[case]))

    def test_random_streams(self, tmp_path):
        traded = 0
        for seed in range(40):
            rng = random.Random(seed)
            path = write(tmp_path, random_stream(rng), f"1.{seed}")
            traded += assert_same_analytics(path, **random_filters(rng))
        assert traded > 200

    @pytest.mark.parametrize("ours_first", [True, False])
    def test_books_of_both_streams_in_turn(self, ours_first):
        """One market fed by both streams, as when two strategies replay one file: each book
        updates the analytics as flumine's middleware does, whichever stream it came from and
        whichever made the analytics."""
        path = recorded("BASIC-1.132153978.gz")  # most runners unchanged from book to book
        streams = [replay(FlumineStream, path),
                   replay(pelarune_flumine.BetfairHistoricalStream, path)]
        lists = [books for pair in zip(*streams[::-1] if ours_first else streams)
                 for books in pair]
        expected = analytics_after_each_book(FlumineMiddleware(), lists)
        assert analytics_after_each_book(pelarune_flumine.SimulatedMiddleware(), lists) == \
            expected
        assert len(expected) == 960
