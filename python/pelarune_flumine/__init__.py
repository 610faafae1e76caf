"""flumine backtests on pelarune: a drop-in historical stream and a simulated middleware.

Switch ``from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream`` to
``from pelarune_flumine import BetfairHistoricalStream``; add ``SimulatedMiddleware()`` with
``framework.add_market_middleware`` before the simulated client.

Both restate flumine's code; where the installed flumine's differs (see ``guard``), each warns once
and hands the work to flumine's own classes.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from pelarune_flumine.backtest import run_backtest
    from pelarune_flumine.middleware import SimulatedMiddleware
    from pelarune_flumine.stream import BetfairHistoricalStream

__all__ = ["BetfairHistoricalStream", "SimulatedMiddleware", "run_backtest"]

# Each name's module, imported on first use: importing flumine takes half a second, and
# `python -m pelarune_flumine` must be able to answer a Ctrl-C in that time with one line.
_HOMES = {
    "BetfairHistoricalStream": "stream",
    "SimulatedMiddleware": "middleware",
    "run_backtest": "backtest",
}


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{home}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
