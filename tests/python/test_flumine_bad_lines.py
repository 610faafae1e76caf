"""A line that is not JSON: flumine's stream logs it and goes on, and so does the companion's
replay, with one warning, also from a load its pre-scan handed on; iter_prices_file fails the
call, as its contract says."""

import logging
import warnings

import pytest

from betfairlightweight.resources.baseresource import BaseResource
from betfairlightweight.resources.bettingresources import PriceLadderDescription
from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream as FlumineStream

import pelarune
import pelarune_flumine
from conftest import recorded
from pelarune_flumine.stream import markets_of, native
from test_flumine import backtest

MARKET = "1.197931750"


@pytest.fixture(autouse=True)
def quiet_flumine():
    logging.disable(logging.CRITICAL)  # flumine logs every order, and each line it skips
    yield
    logging.disable(logging.NOTSET)


def recorded_lines():
    with open(recorded(MARKET), encoding="utf-8") as file:
        lines = file.read().splitlines()
    assert len(lines) == 166
    return lines


def cut_off(lines):
    # As a killed recorder leaves it: the last line stops mid-record, with no line end.
    return lines[:-1], lines[-1][:len(lines[-1]) // 2]


def garbage_mid_file(lines):
    return lines[:80] + ["garbage{"] + lines[80:], ""


def both_after_blank_lines(lines):
    kept, last = cut_off(lines)
    return kept[:40] + ["", '{"pt": 1,'] + kept[40:], last


@pytest.mark.parametrize("build, warning", [
    (cut_off, "skipped 1 line that is not JSON, at line 166 (Missing a name for object member "
              "at column 669)"),
    (garbage_mid_file, "skipped 1 line that is not JSON, at line 81 (Invalid value at column 1)"),
    (both_after_blank_lines, "skipped 2 lines that are not JSON, the first at line 42 "
                             "(Missing a name for object member at column 10)"),
], ids=["cut-off", "garbage", "both"])
def test_a_line_that_is_not_json(tmp_path, build, warning):
    lines, last = build(recorded_lines())
    path = tmp_path / MARKET
    path.write_text("\n".join(lines) + "\n" + last)
    path = str(path)

    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a pre-scan passes over the lines silently
        assert markets_of(path) == [(MARKET, "31389771")]
        loaded = native.load(path)
        assert loaded.markets == markets_of(path)

    expected = backtest(path, FlumineStream)
    assert len(expected["calls"]) > 100 and len(expected["orders"]) > 5
    # The replay warns, from the path or from the pre-scan's load.
    for file in (path, loaded):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert backtest(file, pelarune_flumine.BetfairHistoricalStream) == expected
        assert [str(w.message) for w in caught if w.category is UserWarning] == \
            [f"{path}: {warning}"]
    with pytest.raises(ValueError, match=r"^" + warning.split("(")[1].rstrip(")") + "$"):
        pelarune.iter_prices_file(path)


# Outside a record, and inside one where only the JSON parser meets the byte.
@pytest.mark.parametrize("line", [b"\xff", b'{"op": "\xff"}'])
def test_a_line_that_is_not_utf8_fails_the_file_on_both_streams(tmp_path, line):
    lines = recorded_lines()
    path = tmp_path / MARKET
    path.write_bytes("\n".join(lines[:80]).encode() + b"\n" + line + b"\n" +
                     "\n".join(lines[80:]).encode())
    # flumine's stream raises UnicodeDecodeError, a ValueError.
    for stream in (FlumineStream, pelarune_flumine.BetfairHistoricalStream):
        with pytest.raises(ValueError, match="utf-8|UTF-8"):
            backtest(str(path), stream)


def test_a_load_replays_once():
    """The replay takes the load's records: a second replay of it would be empty."""
    loaded = native.load(recorded(MARKET))
    replay = [loaded, False, False, None, None, None, None, PriceLadderDescription,
              BaseResource.strip_datetime]
    assert sum(1 for _ in native.replay(*replay)) == 166
    with pytest.raises(ValueError, match="replayed already"):
        native.replay(*replay)
