"""Definitions as flumine's books read them: definition times through betfairlightweight's own
reader, with and without ciso8601, and a later definition replacing the earlier one, each against
flumine's own stream book by book."""

import datetime
import json
import os
import subprocess
import sys

import pytest

from betfairlightweight import compat
from betfairlightweight.resources.baseresource import BaseResource
from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream as FlumineStream

import pelarune
import pelarune_flumine
from conftest import change, mcm, rc, recorded
from test_flumine import backtest, trading_market
from test_flumine_stream import market, replay, write

TIMES = ("market_time", "open_date", "suspend_time", "settled_time")
START = 1614609000000  # 2021-03-01T14:30:00Z

# Every form betfairlightweight's two readers treat apart, and the exchange's own (the native path).
FORMS = {
    "exchange's own": "2021-03-01T14:30:00.000Z",
    "no fraction": "2021-03-01T14:30:00Z",
    **{f"{n} fractional digits": "2021-03-01T14:30:00." + "123456789"[:n] + "Z"
       for n in range(1, 10)},
    "one-digit month and day": "2021-3-1T14:30:00.000Z",
    "day that does not exist": "2021-02-30T14:30:00.000Z",
    "offset": "2021-03-01T14:30:00.000+01:00",
    "date only": "2021-03-01",
    "garbage": "soon",
    "empty": "",
    "int": START,
    "null": None,
}


def naive(value):
    return value.replace(tzinfo=None) if isinstance(value, datetime.datetime) else value


def times_of(lists):
    return [[(b.market_id, b.publish_time_epoch,
              *(naive(getattr(b.market_definition, name)) for name in TIMES)) for b in books]
            for books in lists]


def time_file(tmp_path, key, value):
    """A definition giving `key` as `value`, then a runner change, then the exchange's own form."""
    return write(tmp_path, [
        mcm(START - 1_200_000, change(marketDefinition=market(**{key: value}),
                                      rc=[rc(1, ltp=2.0)])),
        mcm(START - 300_000, change(rc=[rc(2, ltp=3.0)])),
        mcm(START, change(marketDefinition=market(**{key: FORMS["exchange's own"]})))])


@pytest.mark.parametrize("key", ["openDate", "marketTime", "suspendTime"])
@pytest.mark.parametrize("form", list(FORMS))
def test_definition_time(tmp_path, key, form):
    path = time_file(tmp_path, key, FORMS[form])
    expected = times_of(replay(FlumineStream, path))
    assert len(expected) == 3
    assert times_of(replay(pelarune_flumine.BetfairHistoricalStream, path)) == expected


@pytest.mark.parametrize("form", list(FORMS))
def test_market_time_under_seconds_to_start(tmp_path, form):
    """flumine's filter reads the market time by the same reader; where that gives none, its
    stream raises and ours does not filter the market by seconds_to_start."""
    path = time_file(tmp_path, "marketTime", FORMS[form])
    ours = [[b.publish_time_epoch for b in books] for books in
            replay(pelarune_flumine.BetfairHistoricalStream, path, seconds_to_start=600)]
    if BaseResource.strip_datetime(FORMS[form]) is None:
        with pytest.raises(TypeError):
            replay(FlumineStream, path, seconds_to_start=600)
        assert len(ours) == 3
    else:
        assert ours == [[b.publish_time_epoch for b in books] for books in
                        replay(FlumineStream, path, seconds_to_start=600)]


def test_definition_times_with_the_other_reader():
    """The tests above, in one process with the reader this one does not use: ciso8601 hidden
    when it is imported here, which the set-up installs."""
    assert hasattr(compat, "ciso8601"), "install ciso8601 (scripts/bootstrap.sh does)"
    code = ("import sys; sys.modules['ciso8601'] = None; import pytest; "
            "from betfairlightweight import compat; assert not hasattr(compat, 'ciso8601'); "
            f"sys.exit(pytest.main(['-q', '-p', 'no:cacheprovider', {__file__!r}, "
            "'-k', '(test_definition_time and not reader) or test_market_time_under']))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            cwd=os.path.dirname(__file__), timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"{4 * len(FORMS)} passed" in result.stdout


def test_iter_prices_file_keeps_its_reader(tmp_path):
    books = pelarune.iter_prices_file(time_file(tmp_path, "openDate", FORMS["garbage"]))
    with pytest.raises(ValueError, match="soon"):
        next(books)


def test_unreadable_time_gives_flumines_calls_and_orders(tmp_path):
    path = tmp_path / "1.197931750"
    with open(recorded("1.197931750")) as source:
        lines = [json.loads(line) for line in source]
    changed = 0
    for line in lines:
        for market_change in line.get("mc", []):
            if "marketDefinition" in market_change:
                market_change["marketDefinition"]["openDate"] = "2022-04-19 13:05"
                changed += 1
    path.write_text("".join(json.dumps(line) + "\n" for line in lines))
    expected = backtest(str(path), FlumineStream, seconds_to_start=600)
    assert changed >= 3 and len(expected["orders"]) > 5
    assert backtest(str(path), pelarune_flumine.BetfairHistoricalStream, middleware=True,
                    seconds_to_start=600) == expected


class TestLaterDefinitionReplaces:
    """A key the later definition lacks reads None on flumine's books, as betfairlightweight
    makes a new definition object; pelarune's own books keep the earlier value."""

    def lines(self):
        first = market(runners=[1, 2, 3], betDelayModels=["PASSIVE"], eachWayDivisor=4, name="Race",
                       eventName="Meeting", openDate="2021-03-01T14:00:00.000Z",
                       numberOfActiveRunners=5)
        first["runners"][0]["adjustmentFactor"] = 70.0
        first["runners"][1]["adjustmentFactor"] = 30.0
        first["runners"][2].update(status="REMOVED", removalDate="2021-03-01T13:00:00.000Z")
        bare = market(runners=[1, 2, 3], numberOfActiveRunners=3)
        del bare["openDate"]
        return [mcm(1, change(marketDefinition=first, rc=[rc(1, ltp=2.0)])),
                mcm(2, change(rc=[rc(2, ltp=3.0)])),
                mcm(3, change(marketDefinition=bare)),
                mcm(4, change(rc=[rc(3, ltp=4.0)])),
                mcm(5, change(marketDefinition=market(runners=[1, 2, 3], numberOfActiveRunners=1)))]

    @staticmethod
    def seen(lists):
        out = []
        for books in lists:
            for b in books:
                d = b.market_definition
                out.append((d.bet_delay_models, d.each_way_divisor, d.name, d.event_name,
                            naive(d.open_date), d.number_of_active_runners,
                            b.number_of_active_runners,
                            [(r.selection_id, r.adjustment_factor, r.removal_date is None)
                             for r in b.runners]))
        return out

    def test_against_flumine(self, tmp_path):
        path = write(tmp_path, self.lines())
        expected = self.seen(replay(FlumineStream, path))
        assert len(expected) == 5
        assert expected[2][:6] == (None, None, None, None, None, 3)
        assert expected[2][-1] == [(1, None, True), (2, None, True), (3, None, True)]
        assert self.seen(replay(pelarune_flumine.BetfairHistoricalStream, path)) == expected

    def test_iter_prices_file_merges(self, tmp_path):
        books = list(pelarune.iter_prices_file(write(tmp_path, self.lines())))
        assert len(books) == 5
        d = books[2].market_definition
        assert (d.bet_delay_models, d.each_way_divisor, d.name) == (["PASSIVE"], 4, "Race")
        assert [r.adjustment_factor for r in books[2].runners] == [70.0, 30.0, None]

    def test_bet_delay_model_dropped_changes_orders(self, tmp_path):
        """flumine's simulated bet delay reads the latest definition's models: once a definition
        without "PASSIVE" arrives, a passive order waits for the delay."""
        path = trading_market(tmp_path, "1.902", passive=True)
        with open(path) as source:
            lines = [json.loads(line) for line in source]
        dropped = 0
        for line in lines:
            for market_change in line["mc"]:
                definition = market_change.get("marketDefinition")
                if definition and definition["inPlay"]:
                    definition.pop("betDelayModels")
                    definition["betDelay"] = 2
                    dropped += 1
        dropped_path = write(tmp_path, lines, "1.903")
        expected = backtest(dropped_path, FlumineStream)
        assert dropped >= 2
        assert expected["orders"] != backtest(path, FlumineStream)["orders"]
        assert backtest(dropped_path, pelarune_flumine.BetfairHistoricalStream) == expected
