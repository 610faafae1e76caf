"""What each class shows: attribute names and values, constants, and shared versus new objects."""

import datetime
import sys

import pytest

import pelarune
from conftest import change, definition, mcm, rc

SURFACE = {
    pelarune.MarketBook: "bet_delay bet_delay_models bsp_reconciled complete cross_matching "
    "elapsed_time inplay is_market_data_delayed key_line_description last_match_time "
    "market_definition market_id number_of_active_runners number_of_runners number_of_winners "
    "price_ladder_definition publish_time publish_time_epoch runners runners_voidable status "
    "streaming_snap streaming_unique_id streaming_update suspend_reason total_available "
    "total_matched version",
    pelarune.MarketDefinition: "bet_delay bet_delay_models betting_type bsp_market "
    "bsp_reconciled complete country_code cross_matching discount_allowed each_way_divisor "
    "event_id event_name event_type_id in_play key_line_definitions line_interval line_max_unit "
    "line_min_unit market_base_rate market_time market_type name number_of_active_runners "
    "number_of_winners open_date persistence_enabled price_ladder_definition race_type "
    "regulators runners runners_voidable settled_time status suspend_reason suspend_time "
    "timezone turn_in_play_enabled venue version",
    pelarune.MarketDefinitionRunner: "adjustment_factor bsp handicap name removal_date "
    "selection_id sort_priority status",
    pelarune.Runner: "adjustment_factor bet_delay_models ex handicap last_price_traded matches "
    "matches_by_strategy orders removal_date selection_id sp status suspend_reason total_matched",
    pelarune.ExchangePrices: "available_to_back available_to_lay traded_volume",
    pelarune.StartingPrices: "actual_sp back_stake_taken far_price lay_liability_taken near_price",
    pelarune.PriceSize: "price size",
}
CONSTANT_NONE = {
    pelarune.MarketBook: "bet_delay_models elapsed_time is_market_data_delayed "
    "key_line_description price_ladder_definition suspend_reason total_available streaming_update",
    pelarune.MarketDefinition: "key_line_definitions line_interval line_max_unit line_min_unit "
    " price_ladder_definition suspend_reason",
    pelarune.Runner: "matches_by_strategy bet_delay_models suspend_reason",
}
T = "2021-03-01T14:30:00.000Z"

FULL_DEFINITION = definition(
    runners=[{"id": 1, "sortPriority": 1, "adjustmentFactor": 40.5, "name": "One", "hc": -1.5,
              "removalDate": T, "bsp": 3.5}, {"id": 2, "sortPriority": 2}],
    eventId="e1", eventTypeId="7", eventName="Race", marketType="WIN", countryCode="GB",
    venue="Ascot", raceType="Flat", name="1m Hcap", timezone="Europe/London",
    bettingType="ODDS", regulators=["MR_INT", "GBR"], settledTime="2021-03-01T14:35:00.5Z",
    bspMarket=True, persistenceEnabled=False, eachWayDivisor=4, turnInPlayEnabled=True,
    discountAllowed=True, marketBaseRate=5, betDelay=1, numberOfWinners=2, bspReconciled=True,
    complete=False, crossMatching=False, inPlay=True, runnersVoidable=True, version=77,
)


@pytest.fixture
def book(stream_file):
    path = stream_file(
        mcm(1614609000000, change(marketDefinition=FULL_DEFINITION, tv=1234.5, lastMatchTime=99)),
        mcm(1614609001000, change(rc=[rc(
            1, hc=-1.5, ltp=3.25, tv=10, adjustmentFactor=40.5, spn=3.1, spf="NaN", removalDate=T,
            atb=[[3.2, 5], [3.0, 7]], atl=[[3.4, 2]], trd=[[3.25, 10]],
            spb=[[5.0, 10], [6.0, 20]], spl=[[5.0, 1], [6.0, 2]])])),
    )
    return list(pelarune.iter_prices_file(path))[-1]


def levels(price_sizes):
    return [(p.price, p.size) for p in price_sizes]


class TestValues:
    def test_attribute_names(self):
        for cls, names in SURFACE.items():
            public = {n for n in dir(cls) if not n.startswith("_")} - {"to_dict"}
            assert public == set(names.split())

    def test_book(self, book):
        assert (book.market_id, book.publish_time_epoch, book.status) == (
            "1.234", 1614609001000, "OPEN")
        assert (book.total_matched, book.last_match_time, book.version) == (1234.5, 99, 77)
        assert (book.number_of_runners, book.number_of_active_runners) == (2, 2)
        assert (book.bet_delay, book.number_of_winners) == (1, 2)
        flags = (book.inplay, book.runners_voidable, book.bsp_reconciled, book.complete,
                 book.cross_matching, book.streaming_snap)
        assert flags == (True, True, True, False, False, True)
        assert type(book.total_matched) is float and type(book.version) is int
        for cls, names in CONSTANT_NONE.items():
            obj = {pelarune.MarketBook: book, pelarune.Runner: book.runners[0],
                   pelarune.MarketDefinition: book.market_definition}[cls]
            assert all(getattr(obj, n) is None for n in names.split())

    def test_definition(self, book):
        md = book.market_definition
        texts = (md.event_id, md.event_type_id, md.event_name, md.market_type, md.country_code,
                 md.venue, md.race_type, md.name, md.timezone, md.betting_type, md.status)
        assert texts == ("e1", "7", "Race", "WIN", "GB", "Ascot", "Flat", "1m Hcap",
                         "Europe/London", "ODDS", "OPEN")
        assert md.regulators == ["MR_INT", "GBR"]
        assert (md.each_way_divisor, md.market_base_rate, md.version) == (4.0, 5.0, 77)
        assert type(md.each_way_divisor) is float and type(md.market_base_rate) is float
        assert md.settled_time == datetime.datetime(2021, 3, 1, 14, 35, 0, 500000)
        assert md.suspend_time is None
        flags = (md.bsp_market, md.persistence_enabled, md.turn_in_play_enabled,
                 md.discount_allowed, md.in_play, md.complete)
        assert flags == (True, False, True, True, True, False)
        assert (md.bet_delay, md.number_of_winners, md.number_of_active_runners) == (1, 2, 2)

    def test_bet_delay_models(self, stream_file):
        # Read as the regulators are, but None until a definition first carries the key.
        path = stream_file(
            mcm(1, change(marketDefinition=definition(runners=[1]))),
            mcm(2, change(marketDefinition=definition(betDelayModels=["PASSIVE", 3, "DYNAMIC"]))),
            mcm(3, change(marketDefinition=definition())),
            mcm(4, change(marketDefinition=definition(betDelayModels="PASSIVE"))),
            mcm(5, change(marketDefinition=definition(betDelayModels=[]))),
        )
        books = list(pelarune.iter_prices_file(path))
        assert len(books) == 5
        models = [b.market_definition.bet_delay_models for b in books]
        assert models == [None, ["PASSIVE", "DYNAMIC"], ["PASSIVE", "DYNAMIC"],
                          ["PASSIVE", "DYNAMIC"], []]
        md = books[1].market_definition
        assert md.bet_delay_models is not md.bet_delay_models
        assert books[1].bet_delay_models is None and books[1].runners[0].bet_delay_models is None
        assert "betDelayModels" not in books[1].to_dict()["marketDefinition"]

    def test_definition_runners(self, book):
        first, second = book.market_definition.runners
        assert (first.selection_id, first.sort_priority, first.status, first.handicap,
                first.adjustment_factor, first.name, first.bsp) == (
            1, 1, "ACTIVE", -1.5, 40.5, "One", 3.5)
        assert first.removal_date == T  # text, not a datetime
        assert (second.handicap, second.adjustment_factor, second.removal_date, second.name,
                second.bsp) == (0.0, None, None, None, None)

    def test_runner_and_prices(self, book):
        runner = book.runners[0]
        assert (runner.selection_id, runner.handicap, runner.last_price_traded,
                runner.total_matched, runner.adjustment_factor) == (1, -1.5, 3.25, 10.0, 40.5)
        assert (runner.status, runner.removal_date, runner.orders, runner.matches) == (
            "ACTIVE", T, [], [])
        assert levels(runner.ex.available_to_back) == [(3.2, 5), (3.0, 7)]
        assert levels(runner.ex.available_to_lay) == [(3.4, 2)]
        assert levels(runner.ex.traded_volume) == [(3.25, 10)]
        sp = runner.sp
        # "spl" is what backers staked (lowest first), "spb" the lay liability (highest first).
        assert levels(sp.back_stake_taken) == [(5.0, 1), (6.0, 2)]
        assert levels(sp.lay_liability_taken) == [(6.0, 20), (5.0, 10)]
        assert (sp.near_price, sp.far_price, sp.actual_sp) == (3.1, "NaN", 3.5)

    def test_runner_without_data(self, book):
        runner = book.runners[1]
        assert (runner.adjustment_factor, runner.last_price_traded, runner.removal_date,
                runner.total_matched) == (None, None, None, 0.0)
        ex, sp = runner.ex, runner.sp
        assert ex.available_to_back == ex.available_to_lay == ex.traded_volume == []
        assert sp.back_stake_taken == sp.lay_liability_taken == []
        assert sp.near_price is sp.far_price is sp.actual_sp is None


class TestIdentityPerRead:
    def test_shared_reads(self, book):
        runner, md = book.runners[0], book.market_definition
        for obj, name in [(book, "runners"), (book, "publish_time"), (book, "market_definition"),
                          (md, "runners"), (md, "settled_time"), (runner, "ex"),
                          (runner, "status"), (runner.ex, "available_to_back"),
                          (runner.ex, "available_to_lay"), (runner.ex, "traded_volume")]:
            assert getattr(obj, name) is getattr(obj, name), name

    def test_new_reads(self, book):
        runner, md = book.runners[0], book.market_definition
        assert runner.sp is not runner.sp
        assert repr(runner.sp.back_stake_taken) == repr(runner.sp.back_stake_taken)
        for obj, name in [(runner, "orders"), (runner, "matches"), (runner, "removal_date"),
                          (md, "regulators"), (runner.sp, "back_stake_taken"),
                          (runner.sp, "near_price"), (book, "market_id")]:
            assert getattr(obj, name) is not getattr(obj, name), name


    def test_made_ints_and_strs_equal_the_interpreters(self, stream_file):
        # Size edges of ints and strs, through the getters that make them, end to end.
        ints = [0, 1, 256, 257, 2**30 - 1, 2**30, 2**60, 2**63 - 1, -5, -6, -2**40]
        texts = ["", "a", "ab", "abcd", "abcdefgh", "b" * 17, "\u00e9", "a\u00e9", "x" * 100]
        cases = [(n, texts[i % len(texts)]) for i, n in enumerate(ints + ints)]
        path = stream_file(*(mcm(1 + i, change(img=True, marketDefinition=definition(
            runners=[number], version=number, venue=text))) for i, (number, text) in
            enumerate(cases)))
        books = list(pelarune.iter_prices_file(path))
        assert len(books) == len(cases)
        for book, (number, text) in zip(books, cases):
            md = book.market_definition
            assert len(book.runners) == 1
            for value in (md.version, md.runners[0].selection_id, book.runners[0].selection_id):
                assert type(value) is int and value == number and hash(value) == hash(number)
                assert sys.getsizeof(value) == sys.getsizeof(number) and str(value) == str(number)
            venue = md.venue
            assert type(venue) is str and venue == text and hash(venue) == hash(text)
            assert sys.getsizeof(venue) == sys.getsizeof(text) and venue.isascii() == text.isascii()


class TestDescriptors:
    def test_docstrings(self):
        assert pelarune.MarketBook.to_dict.__text_signature__ == "($self)"
        assert pelarune.MarketBook.to_dict.__doc__ == (
            "Convert to a dict matching betfairutil lightweight format (for testing)")
        assert pelarune.MarketBook.publish_time_epoch.__doc__ == (
            "publish_time in epoch milliseconds (int, for flumine compatibility)")
        assert pelarune.MarketBook.streaming_unique_id.__doc__ == (
            "Streaming unique ID (set by stream for flumine compatibility)")
        assert pelarune.MarketBook.market_id.__doc__ is None

    def test_members_and_getters(self):
        # The interpreter reads these fields itself; every other attribute has a getter.
        members = {
            pelarune.MarketBook: "bet_delay bsp_reconciled complete cross_matching inplay "
            "market_definition number_of_active_runners number_of_runners number_of_winners "
            "publish_time runners runners_voidable total_matched",
            pelarune.MarketDefinition: "bet_delay bsp_market bsp_reconciled complete "
            "cross_matching discount_allowed in_play market_base_rate market_time "
            "number_of_active_runners number_of_winners open_date persistence_enabled runners "
            "runners_voidable settled_time suspend_time turn_in_play_enabled",
            pelarune.MarketDefinitionRunner: "handicap sort_priority",
            pelarune.Runner: "ex handicap status total_matched",
        }
        for cls, names in members.items():
            kinds = {name: type(value).__name__ for name, value in vars(cls).items()
                     if not name.startswith("_") and name != "to_dict"}
            assert {n for n, kind in kinds.items() if kind == "member_descriptor"} == set(
                names.split()), cls
            assert set(kinds.values()) == {"member_descriptor", "getset_descriptor"}, cls

    def test_read_only(self, book):
        for obj, name in [(book, "market_id"), (book.runners[0], "status"), (book, "anything")]:
            with pytest.raises(AttributeError):
                setattr(obj, name, "x")
        assert book.market_id == "1.234"

    def test_descriptor_on_other_type(self, book):
        with pytest.raises(TypeError):
            pelarune.MarketBook.market_id.__get__(book.runners[0])


def test_inplay_copies_differ(stream_file):
    # The definition keeps the in-play flag of when it was built; the book shows the state now.
    path = stream_file(mcm(1, change(marketDefinition=definition(inPlay=False))),
                       mcm(2, change(inPlay=True)))
    first, second = pelarune.iter_prices_file(path)
    assert second.market_definition is first.market_definition
    assert second.inplay is True and second.market_definition.in_play is False
