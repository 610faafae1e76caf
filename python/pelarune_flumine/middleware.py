"""flumine's simulated middleware, its per-runner work done natively for pelarune's books."""

from typing import Any

import pelarune
from flumine.markets import middleware as _middleware

from pelarune_flumine import guard
from pelarune_flumine.stream import native


class RunnerAnalytics(_middleware.RunnerAnalytics):  # type: ignore[misc]
    """flumine's RunnerAnalytics whose price-to-size map is read from the traded ladder it last
    saw: flumine sets the two together, and the native update keeps only the ladder."""

    def __init__(self, runner: Any) -> None:
        self.runner = runner
        self.traded: dict[float, float] = {}
        self._traded_volume = runner.ex.traded_volume

    @property
    def _p_v(self) -> dict[float, float]:
        return {i["price"]: i["size"] for i in self._traded_volume}

    @_p_v.setter
    def _p_v(self, value: dict[float, float]) -> None:
        pass  # flumine sets _traded_volume beside it


class SimulatedMiddleware(_middleware.SimulatedMiddleware):  # type: ignore[misc]
    """flumine's simulated middleware. For a pelarune book each active runner's analytics is
    updated natively, as flumine's RunnerAnalytics computes it; any other book, and every book
    while the installed flumine's code is not the code restated, goes through flumine's own
    code. bench/bench_flumine.py, "middleware alone"."""

    def __init__(self) -> None:
        super().__init__()
        # Per market, the native update's memo of the runners and analytics it last updated.
        self._memos: dict[str, list[Any]] = {}
        # The class of book updated natively: none while flumine's restated code differs.
        self._native_book = pelarune.MarketBook if guard.restates_installed("middleware") else None

    def __call__(self, market: Any) -> None:
        book = market.market_book
        market_id = market.market_id
        if type(book) is not self._native_book:
            self._memos.pop(market_id, None)  # flumine's code updates the analytics
            super().__call__(market)
            return
        market_analytics = self.markets[market_id]
        memo = self._memos.setdefault(market_id, [])
        removed = native.update_analytics(market_analytics, book.runners, RunnerAnalytics, memo)
        runner_removals = []
        for runner in removed:
            removal = (runner.selection_id, runner.handicap, runner.adjustment_factor)
            if removal not in self._runner_removals:
                _middleware.logger.warning(
                    "Runner %s (%s) removed from market %s", runner.selection_id,
                    runner.adjustment_factor, market_id)
                self._runner_removals.append(removal)
                if runner.adjustment_factor:
                    runner_removals.append(removal)
        for removal in runner_removals:
            self._process_runner_removal(market, *removal)
        market.context["simulated"] = market_analytics
        if market.blotter.active:
            self._process_simulated_orders(market, market_analytics)

    def remove_market(self, market: Any) -> None:
        super().remove_market(market)
        self._memos.pop(market.market_id, None)
