"""MarketBook.to_dict(): the lightweight dicts, their key order, and lists read at the call."""

import datetime
import json
import sys

import pytest

import pelarune
from conftest import change, definition, mcm, rc, recorded

REMOVAL = "2021-03-01T14:01:02Z"
FULL_DEFINITION = definition(
    runners=[{"id": 1, "sortPriority": 1, "name": "One", "adjustmentFactor": 40.5, "bsp": 3.5},
             {"id": 2, "sortPriority": 2, "status": "REMOVED", "hc": -1.5, "removalDate": REMOVAL}],
    openDate="2021-03-01T14:00:00Z", suspendTime="2021-03-01T14:30:00.123Z", betDelay=1,
    bettingType="ODDS", bspMarket=True, countryCode="GB", discountAllowed=True, eventId="30",
    eventName="Races", eventTypeId="7", marketBaseRate=5, marketType="WIN", name="2m Hcap",
    regulators=["MR_INT", "GB"], timezone="Europe/London", turnInPlayEnabled=True, venue="Ascot",
    version=42, raceType="Flat", eachWayDivisor=4, settledTime="2021-03-01T15:00:00Z")
LADDERS = dict(atb=[[1.9, 5], [2.0, 10]], atl=[[2.1, 3]], trd=[[2.0, 1]], tv=12, spn="NaN",
               spf=2.5, spb=[[5.0, 10], [6.0, 20]], spl=[[5.0, 10], [6.0, 20]])


def two_books(stream_file):
    """A book before any definition, then one with every kind of value."""
    return list(pelarune.iter_prices_file(stream_file(
        mcm(1000, change(rc=[rc(1, ltp=2.0)])),
        mcm(2000, change(marketDefinition=FULL_DEFINITION, tv=123.5, lastMatchTime=1614609000000,
                         rc=[rc(1, **LADDERS)])))))


def levels(*pairs):
    return [{"price": float(p), "size": float(s)} for p, s in pairs]


class TestLayout:
    def test_full_book(self, stream_file):
        book = two_books(stream_file)[1]
        no_sp = {"nearPrice": None, "farPrice": None, "actualSP": None, "backStakeTaken": [],
                 "layLiabilityTaken": []}
        # Serialised, the comparison sees key order, and 1 against 1.0 against True.
        assert json.dumps(book.to_dict()) == json.dumps({
            "marketId": "1.234", "status": "OPEN", "betDelay": 1, "bspReconciled": False,
            "complete": True, "crossMatching": True, "inplay": False, "numberOfActiveRunners": 1,
            "numberOfRunners": 2, "numberOfWinners": 1, "runnersVoidable": False,
            "totalMatched": 123.5, "version": 42, "lastMatchTime": 1614609000000,
            "publishTime": 2000,
            "runners": [
                {"selectionId": 1, "handicap": 0.0, "status": "ACTIVE", "adjustmentFactor": 40.5,
                 "lastPriceTraded": 2.0, "totalMatched": 12.0, "removalDate": None,
                 "ex": {"availableToBack": levels((2.0, 10), (1.9, 5)),
                        "availableToLay": levels((2.1, 3)), "tradedVolume": levels((2.0, 1))},
                 "sp": {"nearPrice": "NaN", "farPrice": 2.5, "actualSP": 3.5,
                        "backStakeTaken": levels((5.0, 10), (6.0, 20)),
                        "layLiabilityTaken": levels((6.0, 20), (5.0, 10))}},
                {"selectionId": 2, "handicap": -1.5, "status": "REMOVED", "adjustmentFactor": None,
                 "lastPriceTraded": None, "totalMatched": 0.0, "removalDate": REMOVAL,
                 "ex": {"availableToBack": [], "availableToLay": [], "tradedVolume": []},
                 "sp": no_sp},
            ],
            "marketDefinition": {
                "betDelay": 1, "bettingType": "ODDS", "bspMarket": True, "bspReconciled": False,
                "complete": True, "countryCode": "GB", "crossMatching": True,
                "discountAllowed": True, "eventId": "30", "eventName": "Races",
                "eventTypeId": "7", "inPlay": False, "marketBaseRate": 5.0,
                "marketTime": "2021-03-01T14:30:00.000Z", "marketType": "WIN", "name": "2m Hcap",
                "numberOfActiveRunners": 1, "numberOfWinners": 1,
                "openDate": "2021-03-01T14:00:00Z", "persistenceEnabled": True,
                "regulators": ["MR_INT", "GB"],
                "runners": [
                    {"id": 1, "sortPriority": 1, "status": "ACTIVE", "adjustmentFactor": 40.5,
                     "name": "One", "bsp": 3.5},
                    {"id": 2, "sortPriority": 2, "status": "REMOVED", "hc": -1.5,
                     "removalDate": REMOVAL},
                ],
                "runnersVoidable": False, "status": "OPEN",
                "suspendTime": "2021-03-01T14:30:00.123Z", "timezone": "Europe/London",
                "turnInPlayEnabled": True, "venue": "Ascot", "version": 42,
            },
        })
        # The texts above are the stream's; the definition object holds them parsed.
        assert book.market_definition.market_time == datetime.datetime(2021, 3, 1, 14, 30)
        # betfairutil's example books list the definition's keys in this same order.
        exported = book.to_dict()["marketDefinition"]
        assert list(exported) == sorted(exported)

    def test_book_before_any_definition(self, stream_file):
        result = two_books(stream_file)[0].to_dict()
        assert "marketDefinition" not in result and len(result) == 16
        assert result["lastMatchTime"] is None and result["publishTime"] == 1000

    @pytest.mark.parametrize("entry, hc", [
        ({}, None), ({"hc": 0.0}, None), ({"hc": -0.0}, None), ({"hc": -1.5}, -1.5),
        ({"hc": 0.004}, 0.004),  # handicap key 0, but the handicap itself is not 0.0
    ])
    def test_hc_written_only_when_not_zero(self, stream_file, entry, hc):
        (book,) = pelarune.iter_prices_file(stream_file(mcm(1, change(
            marketDefinition=definition(runners=[{"id": 7, "sortPriority": 1, **entry}])))))
        (runner,) = book.to_dict()["marketDefinition"]["runners"]
        assert list(runner) == ["id", "sortPriority", "status"] + (["hc"] if hc else [])
        assert runner.get("hc") == hc


class TestFreshObjects:
    def test_two_calls_equal_but_share_nothing_but_status(self, stream_file):
        book = two_books(stream_file)[1]
        statuses = [runner.status for runner in book.runners]
        counts = [sys.getrefcount(status) for status in statuses]
        first, second = book.to_dict(), book.to_dict()
        assert first == second and first is not second

        def containers(value):
            if isinstance(value, dict):
                yield value
                value = list(value.values())
            if isinstance(value, list):
                yield value
                for item in value:
                    yield from containers(item)

        assert not {id(c) for c in containers(first)} & {id(c) for c in containers(second)}
        assert all(exported["status"] is status
                   for exported, status in zip(first["runners"], statuses, strict=True))
        del first, second
        assert [sys.getrefcount(status) for status in statuses] == counts


class TestListsReadAtTheCall:
    """The objects' lists are ordinary Python lists: to_dict reads what they hold now."""

    @pytest.mark.parametrize("target, bad, expected", [
        (lambda b: b.runners, 1, "'int' object cannot be converted to 'Runner'"),
        (lambda b: b.runners[0].ex.available_to_back, "x",
         "'str' object cannot be converted to 'PriceSize'"),
        (lambda b: b.runners[1].ex.traded_volume, None,
         "'NoneType' object cannot be converted to 'PriceSize'"),
        (lambda b: b.market_definition.runners, 1.5,
         "'float' object cannot be converted to 'MarketDefinitionRunner'"),
    ])
    def test_foreign_element_fails_then_repaired_list_works(self, stream_file, target, bad,
                                                            expected):
        book = two_books(stream_file)[1]
        before = book.to_dict()
        held = [book.runners, *book.runners, book.market_definition, target(book)]
        counts = [sys.getrefcount(obj) for obj in held]
        target(book).append(bad)
        with pytest.raises(TypeError) as error:
            book.to_dict()
        assert str(error.value) == expected
        book.streaming_unique_id = 7  # the book's shared access was released
        target(book).pop()
        assert [sys.getrefcount(obj) for obj in held] == counts
        assert book.to_dict() == before

    def test_cleared_and_reordered_lists(self, stream_file):
        book = two_books(stream_file)[1]
        book.runners.reverse()
        assert [r["selectionId"] for r in book.to_dict()["runners"]] == [2, 1]
        book.runners.clear()
        book.market_definition.runners.clear()
        result = book.to_dict()
        assert result["runners"] == [] and result["marketDefinition"]["runners"] == []
        assert result["numberOfRunners"] == 2  # the stored count, not the list's length


def check_against_objects(book, result):
    """The dict shows what the objects hold, ladder by ladder."""
    def pairs(price_sizes):
        return [{"price": p.price, "size": p.size} for p in price_sizes]

    assert result["publishTime"] == book.publish_time_epoch
    for runner, exported in zip(book.runners, result["runners"], strict=True):
        ex, sp = runner.ex, runner.sp
        assert exported["ex"] == {"availableToBack": pairs(ex.available_to_back),
                                  "availableToLay": pairs(ex.available_to_lay),
                                  "tradedVolume": pairs(ex.traded_volume)}
        assert exported["sp"] == {"nearPrice": sp.near_price, "farPrice": sp.far_price,
                                  "actualSP": sp.actual_sp,
                                  "backStakeTaken": pairs(sp.back_stake_taken),
                                  "layLiabilityTaken": pairs(sp.lay_liability_taken)}
    if book.market_definition is None:
        assert "marketDefinition" not in result
        return
    assert [(r["id"], r["sortPriority"], r["status"], r.get("hc", 0.0), r.get("bsp"))
            for r in result["marketDefinition"]["runners"]] == [
        (r.selection_id, r.sort_priority, r.status, r.handicap, r.bsp)
        for r in book.market_definition.runners]


@pytest.mark.parametrize("name", ["BASIC-1.132153978", "BASIC-1.132153978.gz", "1.197931750"])
def test_recorded_replay(name):
    count = 0
    for book in pelarune.iter_prices_file(recorded(name)):
        result = book.to_dict()
        check_against_objects(book, result)
        assert json.loads(json.dumps(result)) == result
        count += 1
    assert count == (166 if name == "1.197931750" else 480)
