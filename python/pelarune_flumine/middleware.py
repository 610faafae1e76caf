"""flumine's simulated middleware, sparing the traded-volume comparison of unchanged runners."""

from typing import Any, Dict, Set

from flumine.markets import middleware as _middleware


class SimulatedMiddleware(_middleware.SimulatedMiddleware):  # type: ignore[misc]
    """flumine's simulated middleware, skipping the traded-volume comparison for a runner
    whose Runner object is the one its analytics last saw (pelarune reuses a Runner while it
    is unchanged). Such a runner's recent trades still reset to {} as flumine resets them.
    bench/bench_flumine.py, middleware alone: 5.5 to 2.6 µs a book where few runners change
    per book, 7% more where all of them change in most books."""

    def __init__(self) -> None:
        super().__init__()
        # Per market: the Runner objects of the last book, and the analytics of active runners
        # whose recent trades are not empty.
        self._last_runners: Dict[str, Set[Any]] = {}
        self._traded: Dict[str, Dict[Any, Any]] = {}  # Runner -> its analytics

    def __call__(self, market: Any) -> None:
        market_id = market.market_id
        market_analytics = self.markets[market_id]
        runners = market.market_book.runners
        last = self._last_runners.get(market_id)
        current = self._last_runners[market_id] = set(runners)
        traded = self._traded.setdefault(market_id, {})
        # Every entry comes from the last book. An unchanged runner's analytics saw that very
        # object: flumine would find the same traded volume and reset its recent trades.
        if traded:
            for runner, analytics in traded.items():
                if runner in current:
                    analytics.traded = {}
            traded.clear()
        changed = current if last is None else current - last
        runner_removals = []
        # In book order, as flumine meets them; one changed runner needs no walk of the book.
        for runner in runners if len(changed) > 1 else changed:
            if runner not in changed:
                continue
            status = runner.status
            if status == "ACTIVE":
                # flumine's _process_runner, keeping the analytics at hand.
                key = (runner.selection_id, runner.handicap)
                analytics = market_analytics.get(key)
                if analytics is None:
                    analytics = market_analytics[key] = _middleware.RunnerAnalytics(runner)
                analytics(runner)
                if analytics.traded:
                    traded[runner] = analytics
            elif status == "REMOVED":
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
        self._last_runners.pop(market.market_id, None)
        self._traded.pop(market.market_id, None)
