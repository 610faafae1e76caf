"""flumine backtests on pelarune: a drop-in historical stream and a simulated middleware.

Switch ``from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream`` to
``from pelarune_flumine import BetfairHistoricalStream``; add ``SimulatedMiddleware()`` with
``framework.add_market_middleware`` before the simulated client.
"""

import importlib.metadata
import re
import warnings


def _check_flumine_version(version: str) -> None:
    major_minor = tuple(int(part) for part in re.findall(r"\d+", version)[:2])
    if not (3, 3) <= major_minor < (4, 0):
        warnings.warn(f"pelarune_flumine is made for flumine >=3.3,<4; found flumine {version}",
                      stacklevel=3)


_check_flumine_version(importlib.metadata.version("flumine"))

from pelarune_flumine.middleware import SimulatedMiddleware  # noqa: E402
from pelarune_flumine.stream import BetfairHistoricalStream  # noqa: E402
from pelarune_flumine.backtest import run_backtest  # noqa: E402

__all__ = ["BetfairHistoricalStream", "SimulatedMiddleware", "run_backtest"]
