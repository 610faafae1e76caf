"""Strategy factories for run_backtest, importable by name in worker processes (tests/python is
on their sys.path: spawned processes and Dask's local workers take the parent's)."""

from test_flumine import STAKE, Placer

# A market on which Raiser's process_market_book raises (set by the test that uses it, through
# the factory's argument, so that worker processes see it too).
RAISING_MARKET = "1.100000002"


def placer(streams):
    return Placer(streams=streams, max_order_exposure=STAKE, max_selection_exposure=10 * STAKE,
                  max_market_exposure=14 * STAKE, max_live_trade_count=2)


class Raiser(Placer):
    def process_market_book(self, market, market_book):
        super().process_market_book(market, market_book)
        if market.market_id == RAISING_MARKET and len(self.calls) % 5 == 0:
            raise RuntimeError(f"strategy fault in {market.market_id}")


def raiser(streams):
    return [placer(streams), Raiser(streams=streams, name="Raiser", max_order_exposure=STAKE,
                                    max_selection_exposure=10 * STAKE,
                                    max_market_exposure=14 * STAKE, max_live_trade_count=2)]
