"""pelarune_tables' betfairutil drop-in against betfairutil itself, call by call on the recorded
files and a generated event's file: the frames are equal once betfairutil's is put through the
documented departures, and each case names the departures it needs, so a departure that is never
taken, or taken where it should not be, fails as well."""

import importlib.metadata
import json
import os
import sys
import warnings

# betfairutil imports smart_open on first use while it has builtins.open patched to
# smart_open.open; imported first, smart_open keeps the real open (else: RecursionError).
import smart_open  # noqa: F401

import betfairutil
import pandas
import pytest
from betfairlightweight.resources import MarketCatalogue
from conftest import DATA_DIR

import pelarune_tables
from pelarune_tables import frames

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
import generate  # noqa: E402

FULL = betfairutil.DataFrameFormatEnum.FULL_LADDER
LPT = betfairutil.DataFrameFormatEnum.LAST_PRICE_TRADED
TEXT = pandas.Series(["text"]).dtype  # pandas' own dtype for text, as betfairutil's frame has it
# The drop-in's one dtype per column.
DTYPES = {"market_id": TEXT, "inplay": "bool", "selection_id": "int64", "handicap": "float64",
          "side": TEXT, "depth": "int64", "price": "float64", "size": "float64",
          "last_price_traded": "float64", "runner_status": TEXT, "runner_name": TEXT}
FIELDS = {"marketType": "market_type", "eventName": "event_name", "bspReconciled": "reconciled",
          "marketTime": "market_time", "numberOfActiveRunners": "active", "eachWayDivisor": "each_way"}
# Names over the definition's: one as betfairutil's dict, one as betfairlightweight's catalogue.
CATALOGUES = [
    {"marketId": "1.197931750", "runners": [{"selectionId": 44331354, "runnerName": "Dict"}]},
    MarketCatalogue(marketId="1.197931750", marketName="", totalMatched=0,
                    runners=[{"selectionId": 37947503, "runnerName": "Resource", "handicap": 0,
                              "sortPriority": 2}]),
]
ALL_OUTPUTS = dict(should_output_runner_statuses=True, should_format_publish_time=True,
                   market_definition_fields=FIELDS, market_catalogues=CATALOGUES)


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    """The recorded files; "event": two generated markets, one after the other, in one file (an
    event's file, with heartbeats); "bare first": two markets naming one runner otherwise, the
    first one's first book without a ladder."""
    folder = tmp_path_factory.mktemp("frames")
    found = {name: os.path.join(DATA_DIR, name) for name in os.listdir(DATA_DIR)}
    found["event"] = str(folder / "event.json")
    generate.main(["-o", found["event"], "--markets", "2", "--updates", "120", "--seed", "7"])
    runners = [{"id": 7, "status": "ACTIVE", "name": "Seven"}, {"id": 3, "status": "ACTIVE"}]
    lines = [{"op": "mcm", "pt": 1000, "mc": [{"id": "1.5", "marketDefinition": {
                  "marketType": "WIN", "inPlay": False, "status": "OPEN", "runners": runners}}]},
             {"op": "mcm", "pt": 2000, "mc": [{"id": "1.5", "rc": [
                 {"id": 3, "atb": [[2.5, 4]], "atl": [[2.6, 1.5]]}, {"id": 7, "atb": [[9, 2]]}]}]},
             # Another market names runner 7 otherwise: the later market's name is the one shown.
             {"op": "mcm", "pt": 3000, "mc": [{"id": "1.6", "marketDefinition": {
                 "marketType": "PLACE", "runners": [{"id": 7, "name": "Place Seven"}]},
                 "rc": [{"id": 7, "atl": [[3, 1]]}]}]}]
    found["bare first"] = str(folder / "bare.json")
    with open(found["bare first"], "w") as out:
        out.writelines(json.dumps(line) + "\n" for line in lines)
    return found


def expected(path, **options):
    """betfairutil's frame put through the departures, and the names of those it needed."""
    needed = set()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # utcfromtimestamp on 3.12
        try:
            frame = betfairutil.prices_file_to_data_frame(path, **options)
        except KeyError as error:  # a file without ladders
            assert error.args == ("selection_id",)
            return None, {"raises"}
        except ValueError as error:  # nothing left by a filter
            assert str(error) == "No objects to concatenate"
            return None, {"raises"}
    # Each book's rows start at index 0: betfairutil concatenates one frame a book.
    book = (frame.index == 0).cumsum()
    if not frame.index.equals(pandas.RangeIndex(len(frame))):
        needed.add("index")
    # A book whose market and publish time are its market's last book's is that book repeated.
    firsts = frame[frame.index == 0]
    last, repeated = {}, set()
    for number, market_id, publish_time in zip(book[frame.index == 0], firsts.market_id,
                                               firsts.publish_time):
        if last.get(market_id) == publish_time:
            repeated.add(number)
        last[market_id] = publish_time
    if repeated:
        needed.add("repeats")
        keep = ~pandas.Series(book).isin(repeated).to_numpy()
        frame, book = frame[keep], book[keep]
    keyed = pandas.DataFrame({"book": book, "selection_id": frame.selection_id.to_numpy(),
                              "handicap": frame.handicap.to_numpy()})
    order = keyed.sort_values(["book", "selection_id", "handicap"], kind="stable").index
    if not (order == pandas.RangeIndex(len(frame))).all():
        needed.add("runner order")
        frame = frame.iloc[order]
    frame = frame.reset_index(drop=True)
    columns = column_order(options)
    if list(frame.columns) != columns:
        needed.add("column order")
        frame = frame[columns]
    dtypes = dtypes_of(options)
    if dict(frame.dtypes) != dtypes:
        needed.add("dtypes")
        frame = frame.astype(dtypes)
    return frame, needed


def column_order(options):
    ladder = options.get("_format", FULL) == FULL
    columns = ["market_id", "inplay", "selection_id", "handicap"]
    columns += ["side", "depth", "price", "size"] if ladder else ["last_price_traded"]
    columns += ["runner_status"] if options.get("should_output_runner_statuses") else []
    columns += ["publish_time"]
    if options.get("should_output_runner_names") or options.get("market_catalogues"):
        columns += ["runner_name"]
    return columns + list(options.get("market_definition_fields", {}).values())


def dtypes_of(options):
    dtypes = {name: DTYPES.get(name, "object") for name in column_order(options)}
    dtypes["publish_time"] = TEXT if options.get("should_format_publish_time") else "int64"
    return {name: pandas.api.types.pandas_dtype(dtype) for name, dtype in dtypes.items()}


ONE_MARKET = "1.197931750"
USUAL = {"index", "runner order", "dtypes"}
CASES = [
    (ONE_MARKET, dict(), USUAL),
    (ONE_MARKET, dict(_format=LPT), USUAL),
    (ONE_MARKET, ALL_OUTPUTS, USUAL),
    (ONE_MARKET, dict(ALL_OUTPUTS, _format=LPT), USUAL),
    (ONE_MARKET, dict(market_type_filter=["PLACE"]), {"raises"}),
    (ONE_MARKET, dict(max_depth=-1), {"raises"}),
    ("1.197931751", dict(max_depth=3, market_type_filter=["PLACE"], _format=FULL), USUAL),
    ("1.197931751", dict(max_depth=3, _format=LPT), USUAL),
    ("BASIC-1.132153978", dict(), {"raises"}),
    ("BASIC-1.132153978", dict(ALL_OUTPUTS, should_output_runner_names=True, _format=LPT), USUAL),
    ("BASIC-1.132153978.gz", dict(_format=LPT), USUAL),
    ("bare first", dict(should_output_runner_names=True), USUAL | {"column order", "repeats"}),
    # More rows than a batch: the market column's dictionary comes in chunks.
    ("event", dict(should_output_runner_names=True, market_definition_fields=FIELDS),
     USUAL | {"repeats"}),
    ("event", dict(should_restrict_to_inplay=True, max_depth=0), USUAL),
    ("event", dict(should_format_publish_time=True, market_type_filter=["WIN"], _format=LPT),
     USUAL | {"repeats"}),
]


def test_the_installed_betfairutil_is_the_release_the_drop_in_mirrors():
    assert importlib.metadata.version("betfairutil") == frames.CHECKED_BETFAIRUTIL


@pytest.mark.parametrize("name, options, departures", CASES)
def test_equals_betfairutil_after_the_departures(name, options, departures, paths):
    want, needed = expected(paths[name], **options)
    got = pelarune_tables.prices_file_to_data_frame(paths[name], **options)
    assert needed == departures
    assert dict(got.dtypes) == dtypes_of(options)
    assert isinstance(got.index, pandas.RangeIndex)
    if want is None:
        assert list(got.columns) == column_order(options) and len(got) == 0
    else:
        assert len(got) > (2 if name == "bare first" else 100)
        pandas.testing.assert_frame_equal(got, want, check_index_type=True)


def test_csv_is_the_frame_as_betfairutil_writes_it(tmp_path):
    path = os.path.join(DATA_DIR, "BASIC-1.132153978")
    options = dict(should_output_runner_names=True, _format=LPT)
    pelarune_tables.prices_file_to_csv_file(path, tmp_path / "ours.csv", **options)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        betfairutil.prices_file_to_csv_file(path, tmp_path / "theirs.csv", **options)
    ours, theirs = (pandas.read_csv(tmp_path / name) for name in ("ours.csv", "theirs.csv"))
    assert len(ours) == 6720
    sort = ["publish_time", "selection_id"]
    pandas.testing.assert_frame_equal(
        ours, theirs.sort_values(sort, kind="stable").reset_index(drop=True), check_dtype=False)


@pytest.mark.parametrize("options, message", [
    (dict(market_definition_fields={"marketType": "a", "keyLineDefinition": "b"}),
     "'keyLineDefinition' is not a definition key"),
    (dict(market_definition_fields={"runners": "runners"}), "'runners' is not a definition key"),
    (dict(_format="LADDER"), "_format must be"),
])
def test_arguments_betfairutil_would_not_honour_are_value_errors(options, message):
    with pytest.raises(ValueError, match=message):
        pelarune_tables.prices_file_to_data_frame(os.path.join(DATA_DIR, ONE_MARKET), **options)
