# Type information for the pelarune extension module. The wheel installs it twice: beside the
# module, where editors look, and as the stub-only package pelarune-stubs, where mypy looks for
# a single-module distribution. `python -m mypy.stubtest pelarune` checks it against the module.
import datetime
from typing import Any, Literal, NotRequired, SupportsIndex, TypedDict, final

__all__ = [
    "iter_prices_file",
    "PricesIterator",
    "MarketBook",
    "Runner",
    "ExchangePrices",
    "StartingPrices",
    "PriceSize",
    "MarketDefinition",
    "MarketDefinitionRunner",
]

def iter_prices_file(path: str) -> PricesIterator:
    """Reads the whole stream file and returns an iterator of its books. The name's extension
    chooses the form: .gz or .gzip is gzip, .bz2 is bzip2, anything else plain text. ValueError
    when the file cannot be read or parsed."""

# None of the classes can be called or subclassed: the iterator makes every instance. Lists
# that books share from one to the next (runners, ladders) must be treated as read-only.

@final
class PricesIterator:
    """Iterator that yields MarketBook objects with object reuse"""

    def __iter__(self) -> PricesIterator: ...
    def __next__(self) -> MarketBook: ...
    def __len__(self) -> int: ...

@final
class MarketBook:
    """A market book snapshot"""

    @property
    def market_id(self) -> str: ...
    @property
    def publish_time(self) -> datetime.datetime:
        """Naive datetime holding UTC wall-clock time."""
    @property
    def publish_time_epoch(self) -> int:
        """publish_time in epoch milliseconds (int, for flumine compatibility)"""
    @property
    def status(self) -> str: ...
    @property
    def bet_delay(self) -> int: ...
    @property
    def bsp_reconciled(self) -> bool: ...
    @property
    def complete(self) -> bool: ...
    @property
    def cross_matching(self) -> bool: ...
    @property
    def inplay(self) -> bool: ...
    @property
    def number_of_active_runners(self) -> int: ...
    @property
    def number_of_runners(self) -> int: ...
    @property
    def number_of_winners(self) -> int: ...
    @property
    def runners_voidable(self) -> bool: ...
    @property
    def total_matched(self) -> float: ...
    @property
    def version(self) -> int: ...
    @property
    def last_match_time(self) -> int | None: ...
    @property
    def market_definition(self) -> MarketDefinition | None: ...
    @property
    def runners(self) -> list[Runner]:
        """Ordered by (selection id, handicap)."""
    @property
    def bet_delay_models(self) -> None: ...
    @property
    def elapsed_time(self) -> None: ...
    @property
    def is_market_data_delayed(self) -> None: ...
    @property
    def key_line_description(self) -> None: ...
    @property
    def price_ladder_definition(self) -> None: ...
    @property
    def suspend_reason(self) -> None: ...
    @property
    def total_available(self) -> None: ...
    @property
    def streaming_snap(self) -> Literal[True]: ...
    @property
    def streaming_update(self) -> None: ...
    @property
    def streaming_unique_id(self) -> int | None:
        """Streaming unique ID (set by stream for flumine compatibility)"""
    @streaming_unique_id.setter
    def streaming_unique_id(self, value: SupportsIndex | None) -> None: ...
    def to_dict(self) -> _MarketBookDict:
        """Convert to a dict matching betfairutil lightweight format (for testing)"""

@final
class Runner:
    """A runner in the market"""

    @property
    def selection_id(self) -> int: ...
    @property
    def handicap(self) -> float: ...
    @property
    def adjustment_factor(self) -> float | None: ...
    @property
    def last_price_traded(self) -> float | None: ...
    @property
    def total_matched(self) -> float: ...
    @property
    def status(self) -> str: ...
    @property
    def removal_date(self) -> str | None:
        """The text as received, not a datetime."""
    @property
    def ex(self) -> ExchangePrices: ...
    @property
    def sp(self) -> StartingPrices: ...
    @property
    def orders(self) -> list[Any]:
        """Always empty."""
    @property
    def matches(self) -> list[Any]:
        """Always empty."""
    @property
    def matches_by_strategy(self) -> None: ...
    @property
    def bet_delay_models(self) -> None: ...
    @property
    def suspend_reason(self) -> None: ...

@final
class ExchangePrices:
    """Exchange prices for a runner (back/lay/traded)"""

    @property
    def available_to_back(self) -> list[PriceSize]:
        """Highest price first."""
    @property
    def available_to_lay(self) -> list[PriceSize]:
        """Lowest price first."""
    @property
    def traded_volume(self) -> list[PriceSize]:
        """Lowest price first."""

@final
class StartingPrices:
    """Starting prices for a runner"""

    @property
    def near_price(self) -> float | str | None: ...
    @property
    def far_price(self) -> float | str | None: ...
    @property
    def actual_sp(self) -> float | str | None: ...
    @property
    def back_stake_taken(self) -> list[PriceSize]:
        """Lowest price first."""
    @property
    def lay_liability_taken(self) -> list[PriceSize]:
        """Highest price first."""

@final
class PriceSize:
    """A price/size pair in the order book"""

    @property
    def price(self) -> float: ...
    @property
    def size(self) -> float: ...
    def __getitem__(self, key: str, /) -> float:
        """"price" or "size"; KeyError for any other string."""

@final
class MarketDefinition:
    """Market definition - metadata about the market"""

    @property
    def event_id(self) -> str | None: ...
    @property
    def event_type_id(self) -> str | None: ...
    @property
    def event_name(self) -> str | None: ...
    @property
    def market_type(self) -> str | None: ...
    @property
    def country_code(self) -> str | None: ...
    @property
    def venue(self) -> str | None: ...
    @property
    def race_type(self) -> str | None: ...
    @property
    def name(self) -> str | None: ...
    @property
    def timezone(self) -> str | None: ...
    @property
    def betting_type(self) -> str | None: ...
    @property
    def regulators(self) -> list[str]: ...
    @property
    def runners(self) -> list[MarketDefinitionRunner]: ...
    @property
    def market_time(self) -> datetime.datetime | None:
        """Naive datetime holding UTC wall-clock time, like the other three times."""
    @property
    def open_date(self) -> datetime.datetime | None: ...
    @property
    def suspend_time(self) -> datetime.datetime | None: ...
    @property
    def settled_time(self) -> datetime.datetime | None: ...
    @property
    def bsp_market(self) -> bool: ...
    @property
    def persistence_enabled(self) -> bool: ...
    @property
    def each_way_divisor(self) -> float | None: ...
    @property
    def turn_in_play_enabled(self) -> bool: ...
    @property
    def discount_allowed(self) -> bool: ...
    @property
    def market_base_rate(self) -> float: ...
    @property
    def bet_delay(self) -> int: ...
    @property
    def number_of_winners(self) -> int: ...
    @property
    def number_of_active_runners(self) -> int: ...
    @property
    def bsp_reconciled(self) -> bool: ...
    @property
    def complete(self) -> bool: ...
    @property
    def cross_matching(self) -> bool: ...
    @property
    def in_play(self) -> bool: ...
    @property
    def runners_voidable(self) -> bool: ...
    @property
    def status(self) -> str: ...
    @property
    def version(self) -> int: ...
    @property
    def bet_delay_models(self) -> list[str] | None: ...
    @property
    def key_line_definitions(self) -> None: ...
    @property
    def line_interval(self) -> None: ...
    @property
    def line_max_unit(self) -> None: ...
    @property
    def line_min_unit(self) -> None: ...
    @property
    def price_ladder_definition(self) -> None: ...
    @property
    def suspend_reason(self) -> None: ...

@final
class MarketDefinitionRunner:
    """A runner in a market definition"""

    @property
    def selection_id(self) -> int: ...
    @property
    def sort_priority(self) -> int: ...
    @property
    def status(self) -> str: ...
    @property
    def handicap(self) -> float: ...
    @property
    def adjustment_factor(self) -> float | None: ...
    @property
    def removal_date(self) -> str | None:
        """The text as received, not a datetime."""
    @property
    def name(self) -> str | None: ...
    @property
    def bsp(self) -> float | None: ...

# The shapes of MarketBook.to_dict(), for type checking only: the module has no such names.

class _PriceSizeDict(TypedDict):
    price: float
    size: float

_ExchangePricesDict = TypedDict(
    "_ExchangePricesDict",
    {
        "availableToBack": list[_PriceSizeDict],
        "availableToLay": list[_PriceSizeDict],
        "tradedVolume": list[_PriceSizeDict],
    },
)

_StartingPricesDict = TypedDict(
    "_StartingPricesDict",
    {
        "nearPrice": float | str | None,
        "farPrice": float | str | None,
        "actualSP": float | str | None,
        "backStakeTaken": list[_PriceSizeDict],
        "layLiabilityTaken": list[_PriceSizeDict],
    },
)

_RunnerDict = TypedDict(
    "_RunnerDict",
    {
        "selectionId": int,
        "handicap": float,
        "status": str,
        "adjustmentFactor": float | None,
        "lastPriceTraded": float | None,
        "totalMatched": float,
        "removalDate": str | None,
        "ex": _ExchangePricesDict,
        "sp": _StartingPricesDict,
    },
)

# Unlike every other dict of the export, it leaves absent values out instead of writing None.
_DefinitionRunnerDict = TypedDict(
    "_DefinitionRunnerDict",
    {
        "id": int,
        "sortPriority": int,
        "status": str,
        "adjustmentFactor": NotRequired[float],
        "name": NotRequired[str],
        "hc": NotRequired[float],
        "removalDate": NotRequired[str],
        "bsp": NotRequired[float],
    },
)

_MarketDefinitionDict = TypedDict(
    "_MarketDefinitionDict",
    {
        "betDelay": int,
        "bettingType": str | None,
        "bspMarket": bool,
        "bspReconciled": bool,
        "complete": bool,
        "countryCode": str | None,
        "crossMatching": bool,
        "discountAllowed": bool,
        "eventId": str | None,
        "eventName": str | None,
        "eventTypeId": str | None,
        "inPlay": bool,
        "marketBaseRate": float,
        "marketTime": str | None,
        "marketType": str | None,
        "name": str | None,
        "numberOfActiveRunners": int,
        "numberOfWinners": int,
        "openDate": str | None,
        "persistenceEnabled": bool,
        "regulators": list[str],
        "runners": list[_DefinitionRunnerDict],
        "runnersVoidable": bool,
        "status": str,
        "suspendTime": str | None,
        "timezone": str | None,
        "turnInPlayEnabled": bool,
        "venue": str | None,
        "version": int,
    },
)

_MarketBookDict = TypedDict(
    "_MarketBookDict",
    {
        "marketId": str,
        "status": str,
        "betDelay": int,
        "bspReconciled": bool,
        "complete": bool,
        "crossMatching": bool,
        "inplay": bool,
        "numberOfActiveRunners": int,
        "numberOfRunners": int,
        "numberOfWinners": int,
        "runnersVoidable": bool,
        "totalMatched": float,
        "version": int,
        "lastMatchTime": int | None,
        "publishTime": int,
        "runners": list[_RunnerDict],
        "marketDefinition": NotRequired[_MarketDefinitionDict],
    },
)
