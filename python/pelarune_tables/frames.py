"""betfairutil 0.7.1's prices_file_to_data_frame and prices_file_to_csv_file over prices_table.

The arguments, columns, names and values are betfairutil 0.7.1's, with these departures: a fresh
RangeIndex; one column order and one dtype per column whatever the data; runners in pelarune's
order within a book; an empty frame with the columns where betfairutil raises (a file without
ladders, a filter that leaves nothing); each book once (betfairutil repeats a market's rows after
every line that leaves it unchanged: the other markets' lines of an event's file, heartbeats);
market definition keys limited to those the engine keeps.

The drop-in is pinned to 0.7.1, whatever betfairutil is installed, or none: its frame is a
contract of its own, and falling back to betfairutil would bring back the faults it replaces.
The tests compare it with the installed betfairutil, which they check is the release this
mirrors (CHECKED_BETFAIRUTIL).
"""

import operator
import os
from collections.abc import Mapping, Sequence
from typing import Any

from pelarune_tables.table import DEFINITION_KEYS, prices_table

CHECKED_BETFAIRUTIL = "0.7.1"

FULL_LADDER = "FULL_LADDER"
LAST_PRICE_TRADED = "LAST_PRICE_TRADED"

# betfairutil's publish time text.
PUBLISH_TIME_FORMAT = "%Y-%m-%dT%H:%M:%S.%fZ"


def prices_file_to_data_frame(
    path_to_prices_file: str | os.PathLike[str],
    should_output_runner_names: bool = False,
    should_output_runner_statuses: bool = False,
    should_format_publish_time: bool = False,
    should_restrict_to_inplay: bool = False,
    max_depth: int | None = None,
    market_definition_fields: Mapping[str, str] | None = None,
    market_type_filter: Sequence[str] | None = None,
    market_catalogues: Sequence[Any] | None = None,
    _format: Any = FULL_LADDER,
) -> Any:
    """The prices file as betfairutil 0.7.1's data frame: one row a ladder level (or, with
    _format LAST_PRICE_TRADED, a runner) of each book. `_format` is betfairutil's
    DataFrameFormatEnum or its value."""
    import pandas

    full_ladder = _full_ladder(_format)
    fields = dict(market_definition_fields or {})
    unknown = [key for key in fields if key not in DEFINITION_KEYS]
    if unknown:
        raise ValueError(f"market_definition_fields: {unknown[0]!r} is not a definition key the "
                         f"engine keeps; it keeps {', '.join(DEFINITION_KEYS)}")
    catalogues = market_catalogues or []
    should_output_runner_names = should_output_runner_names or bool(catalogues)
    # betfairutil keeps depths 0 to max_depth (a negative one keeps none) and ignores it under
    # last price traded.
    depth = None if max_depth is None or not full_ladder else operator.index(max_depth)
    columns = ("runner_status",) if should_output_runner_statuses else ()
    prices = prices_table(
        path_to_prices_file, format="full_ladder" if full_ladder else "last_price_traded",
        levels=None if depth is None else max(depth + 1, 1),
        inplay_only=should_restrict_to_inplay,
        market_types=market_type_filter,
        columns=columns)
    table = prices.to_pyarrow()
    if depth is not None and depth < 0:
        table = table.slice(0, 0)

    frame = _frame(pandas, table, full_ladder, should_output_runner_statuses,
                   should_format_publish_time)
    if should_output_runner_names or fields:
        definitions = prices._source.final_definitions()
        if should_output_runner_names:
            frame["runner_name"] = _runner_names(table, definitions, catalogues)
        for key, column in fields.items():
            frame[column] = pandas.Series(_definition_values(table, definitions, key),
                                          dtype=object)
    return frame


def prices_file_to_csv_file(path_to_prices_file: str | os.PathLike[str],
                            path_to_csv_file: str | os.PathLike[str], **kwargs: Any) -> None:
    """prices_file_to_data_frame(path_to_prices_file, **kwargs) written as CSV without the
    index, as betfairutil writes it."""
    prices_file_to_data_frame(path_to_prices_file, **kwargs).to_csv(path_to_csv_file, index=False)


def _full_ladder(given: Any) -> bool:
    value = getattr(given, "value", given)
    if value not in (FULL_LADDER, LAST_PRICE_TRADED):
        raise ValueError(f"_format must be {FULL_LADDER} or {LAST_PRICE_TRADED}, not {given!r}")
    return bool(value == FULL_LADDER)


def _frame(pandas: Any, table: Any, full_ladder: bool, statuses: bool,
           format_publish_time: bool) -> Any:
    """betfairutil's columns, in its order, from the table's."""
    import pyarrow

    names = ["market_id", "inplay", "selection_id", "handicap"]
    names += ["side", "depth", "price", "size"] if full_ladder else ["last_price_traded"]
    names += ["runner_status"] if statuses else []
    arrays = {name: table.column(name) for name in names}
    # pandas' own text dtype, as betfairutil's frame has it, rather than a categorical; pandas
    # holds text as large_string, so casting to it spares a second copy.
    arrays["market_id"] = arrays["market_id"].cast(pyarrow.large_string())
    if full_ladder:
        arrays["side"] = arrays["side"].cast(pyarrow.large_string())
        arrays["depth"] = arrays["depth"].cast(pyarrow.int64())
    publish_time = table.column("publish_time").cast(pyarrow.int64())
    if format_publish_time:
        publish_time = _formatted_times(pandas, publish_time)
    arrays["publish_time"] = publish_time
    return pyarrow.table(arrays).to_pandas()


def _formatted_times(pandas: Any, epoch_ms: Any) -> Any:
    """betfairutil's text of each publish time, formatted once per distinct time: a book's rows
    share one."""
    import pyarrow
    import pyarrow.compute

    encoded = pyarrow.compute.dictionary_encode(epoch_ms.combine_chunks())
    text = pandas.to_datetime(encoded.dictionary.to_numpy(), unit="ms", utc=True).strftime(
        PUBLISH_TIME_FORMAT)
    return pyarrow.DictionaryArray.from_arrays(
        encoded.indices, pyarrow.array(list(text), pyarrow.string())).cast(pyarrow.large_string())


def _runner_names(table: Any, definitions: Mapping[str, Any], catalogues: Sequence[Any]) -> Any:
    """Each row's runner name from one selection id -> name map, betfairutil's: the markets'
    final definitions in the order first met (a later market's entry wins, a missing name
    included), then the catalogues' names over them."""
    import pyarrow
    import pyarrow.compute

    names: dict[int, str | None] = {}
    for definition in definitions.values():
        for runner in (definition or {}).get("runners", []):
            names[runner["id"]] = runner.get("name")
    for catalogue in catalogues:
        names.update(_catalogue_names(catalogue))
    ids = pyarrow.array(list(names), pyarrow.int64())
    at = pyarrow.compute.index_in(table.column("selection_id"), value_set=ids)
    column = pyarrow.compute.take(pyarrow.array(list(names.values()), pyarrow.large_string()), at)
    return column.to_pandas()


def _catalogue_names(catalogue: Any) -> dict[int, str]:
    """A market catalogue's selection id -> runner name, from a dict or betfairlightweight's
    MarketCatalogue, as betfairutil reads either."""
    runners = catalogue["runners"] if isinstance(catalogue, dict) else catalogue.runners
    names = {}
    for runner in runners:
        if isinstance(runner, dict):
            names[runner["selectionId"]] = runner["runnerName"]
        else:
            names[runner.selection_id] = runner.runner_name
    return names


def _definition_values(table: Any, definitions: Mapping[str, Any], key: str) -> Any:
    """Each row's value of a definition key in its market's final definition, as raw JSON
    values (None where the market's definition lacks it)."""
    import numpy

    markets = table.column("market_id").combine_chunks()
    values = numpy.empty(len(markets.dictionary), dtype=object)
    for i, market_id in enumerate(markets.dictionary.to_pylist()):
        values[i] = (definitions.get(market_id) or {}).get(key)
    return values[markets.indices.to_numpy(zero_copy_only=False)]
