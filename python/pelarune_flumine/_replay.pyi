# Type information for pelarune_flumine._replay, the companion's native module, which lives in
# pelarune's own library (stream.py loads it). scripts/stubtest_replay.py checks it against the
# module.
from collections.abc import Callable
from typing import Any, final

import pelarune

def replay(
    path: str | LoadedFile,
    inplay: bool,
    not_inplay: bool,
    seconds_to_start: float | None,
    max_inplay_seconds: float | None,
    event_type_ids: list[str] | None,
    unique_id: int | None,
    price_ladder_class: Callable[[str], Any],
    strip_datetime: Callable[[Any], Any],
) -> FlumineReplay:
    """flumine's historical stream over every market of the file (a path or a LoadedFile): an
    iterator of lists of MarketBook."""

def markets(path: str) -> list[tuple[str, str | None]]:
    """(market id, event id or None) of each market the file's changes name, in the order first
    met."""

def load(path: str) -> LoadedFile:
    """The file loaded once: a LoadedFile whose markets are markets(path), which replay() takes
    in place of the path, once."""

def update_analytics(
    market_analytics: dict[tuple[int, float], Any],
    runners: list[pelarune.Runner],
    analytics_class: type[Any],
    memo: list[Any],
) -> list[pelarune.Runner]:
    """flumine's RunnerAnalytics updated for each active runner; returns the removed runners.
    memo is the caller's list for the market, [runner, analytics, ...] as the last call left
    it."""

# Neither class can be called or subclassed: replay() and load() make every instance.

@final
class FlumineReplay:
    """flumine's historical stream over every market of a file"""

    def __iter__(self) -> FlumineReplay: ...
    def __next__(self) -> list[pelarune.MarketBook]: ...

@final
class LoadedFile:
    """A stream file loaded once for the pre-scan (markets) and the replay"""

    @property
    def path(self) -> str: ...
    @property
    def markets(self) -> list[tuple[str, str | None]]: ...
