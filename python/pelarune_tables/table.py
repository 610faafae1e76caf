"""prices_table: a recorded file's prices as an Arrow table, written natively from the engine."""

import importlib.machinery
import importlib.util
import os
import sys
from collections.abc import Iterable, Sequence
from types import ModuleType
from typing import TYPE_CHECKING, Any, Literal, NamedTuple

import pelarune

if TYPE_CHECKING:
    import polars

_NATIVE_NAME = "pelarune_tables._native"


def _native() -> ModuleType:
    """The tables' native module. It lives in pelarune's own library; loading it by its own name
    runs that library's init function for it."""
    module = sys.modules.get(_NATIVE_NAME)
    if module is None:
        loader = importlib.machinery.ExtensionFileLoader(_NATIVE_NAME, pelarune.__file__)
        spec = importlib.util.spec_from_file_location(_NATIVE_NAME, pelarune.__file__,
                                                      loader=loader)
        assert spec is not None
        module = importlib.util.module_from_spec(spec)
        loader.exec_module(module)
        sys.modules[_NATIVE_NAME] = module
    return module


_native_module = _native()

#: The market-definition keys ``columns`` can add, each as its own column named by the key, with
#: the value each book's ``market_definition`` shows: as it stood after the record that gave the
#: market's last definition (null before the first definition).
#: Booleans: bspMarket, bspReconciled, complete, crossMatching, discountAllowed, inPlay,
#: persistenceEnabled, runnersVoidable, turnInPlayEnabled. int32: betDelay,
#: numberOfActiveRunners, numberOfWinners. int64: version. float64: eachWayDivisor,
#: lineInterval, lineMaxUnit, lineMinUnit, marketBaseRate. Strings: the others, the times
#: (marketTime, openDate, settledTime, suspendTime) as the file writes them.
DEFINITION_KEYS: tuple[str, ...] = _native_module.DEFINITION_KEYS

# The runner columns ``columns`` can add (see prices_table).
_RUNNER_COLUMNS = ("runner_status", "runner_name")

Format = Literal["full_ladder", "last_price_traded"]
_FORMATS = ("full_ladder", "last_price_traded")


class PricesTable:
    """A recorded file's prices as rows, streamed through the Arrow PyCapsule interface.

    The file is loaded once, when the table is made; each ``__arrow_c_stream__`` call replays it
    natively into a new stream of record batches, so memory holds the loaded file and a batch,
    never the whole table, and the table can be read any number of times. The stream owns what
    it reads and runs no Python: a consumer may pull its batches from any thread.

    Columns, in this order: ``market_id`` (dictionary of strings), ``publish_time`` (timestamp,
    milliseconds, UTC), ``inplay`` (bool), ``selection_id`` (int64), ``handicap`` (float64); then
    for the full ladder ``side`` (dictionary: "Back", "Lay"), ``depth`` (int32, from 0),
    ``price`` and ``size`` (float64), or for the last price traded ``last_price_traded``
    (float64, null when none); then the ``columns`` asked for, in their order.

    Rows: one set for each book, that is for each record and each market its changes name
    (every market of the file, in the order the file first names them; a change naming no
    market, or a record with no changes, counts for every market met so far). Runners come in
    ascending (selection id, handicap) order, as pelarune's books give them. Full ladder: a
    side's full-depth ladder, else its best display offers, else its best offers (as
    ``pelarune_flumine``'s books give them), Back by price descending, Lay ascending, one row a
    level; a runner with empty sides gives no rows. Last price traded: one row per runner.
    """

    __slots__ = ("_source",)

    def __init__(self, source: Any) -> None:
        self._source = source

    def __arrow_c_schema__(self) -> object:
        """The rows' schema in an ``arrow_schema`` PyCapsule."""
        return self._source.schema()

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """A new stream of the rows in an ``arrow_array_stream`` PyCapsule. A requested schema
        is not applied: the stream has the table's own (the interface lets a producer decline)."""
        return self._source.stream()

    def to_pyarrow(self) -> Any:
        """The rows as a ``pyarrow.Table`` (pyarrow 15 or later)."""
        import pyarrow

        return pyarrow.table(self)

    def to_pandas(self) -> Any:
        """The rows as a ``pandas.DataFrame``, through pyarrow: ``market_id`` and ``side`` are
        categoricals, ``publish_time`` a UTC datetime, ``last_price_traded`` NaN when none."""
        return self.to_pyarrow().to_pandas()

    def to_polars(self) -> "polars.DataFrame":
        """The rows as a ``polars.DataFrame`` (polars 1.10 or later: earlier ones keep only the
        first batch of a stream)."""
        import polars

        return polars.DataFrame(self)


def _strings(value: Iterable[str], name: str) -> tuple[str, ...]:
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name} takes a collection of str, not a single {type(value).__name__}")
    items = tuple(value)
    for item in items:
        if not isinstance(item, str):
            raise TypeError(f"{name} takes str items, not {type(item).__name__}")
    return items


def _positive(value: int, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, not {value}")
    return value


class Options(NamedTuple):
    """prices_table's options, checked: what the native replay takes besides the path."""

    full_ladder: bool
    levels: int | None
    inplay_only: bool
    market_types: tuple[str, ...] | None
    columns: tuple[str, ...]
    batch_rows: int


def check_options(format: Format = "full_ladder", levels: int | None = None,
                  inplay_only: bool = False, market_types: Iterable[str] | None = None,
                  columns: Sequence[str] = (), batch_rows: int = 65536) -> Options:
    """prices_table's options checked without a file: ValueError or TypeError as it raises
    them."""
    if format not in _FORMATS:
        raise ValueError(f"unknown format {format!r}: expected 'full_ladder' or "
                         "'last_price_traded'")
    if levels is not None:
        if format == "last_price_traded":
            raise ValueError("levels applies to the full ladder only")
        _positive(levels, "levels")
    chosen = _strings(columns, "columns")
    for column in chosen:
        if column not in _RUNNER_COLUMNS and column not in DEFINITION_KEYS:
            raise ValueError(f"unknown column {column!r}: expected one of "
                             f"{', '.join(_RUNNER_COLUMNS + DEFINITION_KEYS)}")
    for column in chosen:
        if chosen.count(column) > 1:
            raise ValueError(f"column {column!r} given twice")
    types = None if market_types is None else _strings(market_types, "market_types")
    _positive(batch_rows, "batch_rows")
    return Options(format == "full_ladder", levels, bool(inplay_only), types, chosen,
                   batch_rows)


def prices_table(path: str | os.PathLike[str], *, format: Format = "full_ladder",
                 levels: int | None = None, inplay_only: bool = False,
                 market_types: Iterable[str] | None = None, columns: Sequence[str] = (),
                 batch_rows: int = 65536) -> PricesTable:
    """The prices of the recorded file at ``path`` (plain, gzip or bzip2, as
    ``pelarune.iter_prices_file`` reads it) as a :class:`PricesTable`.

    ``format``: ``"full_ladder"`` (a row per ladder level) or ``"last_price_traded"`` (a row per
    runner). ``levels``: keep the first n levels of each side (n >= 1; full ladder only).
    ``inplay_only``: only books whose market is in play. ``market_types``: only books whose
    market's definition gives one of these market types. ``columns``: more columns, in the order
    given: ``"runner_status"`` (string, the runner's status at each book), ``"runner_name"``
    (string, the name the market's last definition gives the runner, or null) and keys of
    ``DEFINITION_KEYS``. ``batch_rows``: the most rows in a record batch (at least 1).

    A wrong argument raises before the file is read: ValueError for an unknown format or column
    (naming it), a column given twice, ``levels`` or ``batch_rows`` below 1, or ``levels`` with
    the last price traded; TypeError for a value of the wrong type. The file is loaded here:
    ValueError when it cannot be read or is damaged, as ``iter_prices_file`` raises it.
    """
    options = check_options(format, levels, inplay_only, market_types, columns, batch_rows)
    file_path = os.fspath(path)
    if not isinstance(file_path, str):
        raise TypeError(f"path must be a str or os.PathLike[str], not {type(path).__name__}")
    return PricesTable(_native_module.prices_table(file_path, *options))
