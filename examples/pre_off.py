"""Reduces one market file to what a backtest keeps: each runner's last traded and best back
price just before the off, its starting price and whether it won.

The books themselves cannot be pickled (and hold a whole market's worth of shared objects), so
a job over many files reduces each file to small plain results where the file is read, and only
those travel between processes or machines.
"""

from __future__ import annotations

import datetime
from dataclasses import dataclass

import pelarune


@dataclass(frozen=True)
class RunnerAtOff:
    selection_id: int
    name: str | None
    last_traded: float | None  # last traded price just before the off
    best_back: float | None  # best price available to back just before the off
    starting_price: float | None
    won: bool


@dataclass(frozen=True)
class MarketAtOff:
    market_id: str
    name: str | None
    off: datetime.datetime | None  # publish time (naive UTC) of the last book before the off
    runners: tuple[RunnerAtOff, ...]


def summarise(path: str) -> MarketAtOff | None:
    """The market of one file at the off, or None when the file holds no market book.

    "Just before the off" is the last book that is open and not yet in play (for a market that
    never turns in play, the last open one before it closes)."""
    before_off: pelarune.MarketBook | None = None
    last: pelarune.MarketBook | None = None
    turned_in_play = False
    for book in pelarune.iter_prices_file(path):
        turned_in_play = turned_in_play or book.inplay
        if not turned_in_play and book.status == "OPEN":
            before_off = book
        last = book
    if last is None:
        return None
    definition = last.market_definition
    entries = {}
    if definition is not None:
        entries = {(entry.selection_id, entry.handicap): entry for entry in definition.runners}
    # Runners are ordered by selection id, not by the definition's sort priority.
    runners = []
    for runner in before_off.runners if before_off is not None else last.runners:
        entry = entries.get((runner.selection_id, runner.handicap))
        back = runner.ex.available_to_back
        runners.append(RunnerAtOff(
            selection_id=runner.selection_id,
            name=entry.name if entry is not None else None,
            last_traded=runner.last_price_traded,
            best_back=back[0].price if back else None,
            starting_price=entry.bsp if entry is not None else None,
            won=entry is not None and entry.status == "WINNER",
        ))
    return MarketAtOff(
        market_id=last.market_id,
        name=definition.name if definition is not None else None,
        off=before_off.publish_time if before_off is not None else None,
        runners=tuple(runners),
    )
