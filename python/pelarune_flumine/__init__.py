"""flumine backtests on pelarune: a drop-in historical stream and a simulated middleware.

Switch ``from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream`` to
``from pelarune_flumine import BetfairHistoricalStream``; add ``SimulatedMiddleware()`` with
``framework.add_market_middleware`` before the simulated client.

Both restate flumine's code; where the installed flumine's differs (see ``guard``), each warns once
and hands the work to flumine's own classes.
"""

from pelarune_flumine.backtest import run_backtest
from pelarune_flumine.middleware import SimulatedMiddleware
from pelarune_flumine.stream import BetfairHistoricalStream

__all__ = ["BetfairHistoricalStream", "SimulatedMiddleware", "run_backtest"]
