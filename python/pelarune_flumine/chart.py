"""The chart of a backtest: cumulative P&L over its markets in start-time order, and P&L by
strategy."""

from __future__ import annotations

import datetime
from collections.abc import Sequence

from pelarune_flumine.rows import OrderRow
from pelarune_flumine.summary import BacktestResult, Tally

_EARLIEST = datetime.datetime.min.replace(tzinfo=datetime.UTC)


def plot_pnl(rows: Sequence[OrderRow], path: str, title: str = "") -> None:
    """Writes the chart to `path` (PNG, SVG or PDF by its extension); of a BacktestResult,
    from its running totals, without reading its orders."""
    import matplotlib

    matplotlib.use("Agg")  # files only: no display is needed or wanted
    import matplotlib.pyplot as plt

    tally = rows.tally if isinstance(rows, BacktestResult) else Tally.of(rows)
    markets = {market: (start or _EARLIEST, profit)
               for market, (start, profit) in tally.by_market().items()}
    strategies = {name: entry[2] for name, entry in tally.by_strategy().items()}
    ordered = sorted(markets.items(), key=lambda item: (item[1][0], item[0]))
    cumulative: list[float] = []
    for _, (_, profit) in ordered:
        cumulative.append((cumulative[-1] if cumulative else 0.0) + profit)

    if not markets:
        # Empty axes with 0-1 ticks would look like a chart of nothing happening.
        figure = plt.figure(figsize=(12, 4.8))
        figure.text(0.5, 0.5, "no orders", ha="center", va="center", fontsize=16,
                    color="#555555")
        if title:
            figure.suptitle(title)
        figure.savefig(path, dpi=110)
        plt.close(figure)
        return

    figure, (over_time, by_strategy) = plt.subplots(
        1, 2, figsize=(12, 4.8), gridspec_kw={"width_ratios": [3, 1]})
    # Market k's running total over (k-1, k]: the last market has a step of its own.
    steps = [0.0] + cumulative
    over_time.step(range(len(steps)), steps, where="pre", color="#1f4e79", linewidth=1.6)
    over_time.fill_between(range(len(steps)), steps, step="pre", alpha=0.15, color="#1f4e79")
    over_time.axhline(0, color="#555555", linewidth=0.8)
    over_time.set_xlabel("markets with orders, in start-time order")
    over_time.set_ylabel("cumulative P&L")
    over_time.set_xlim(0, max(1, len(steps) - 1))
    if ordered:
        first, last = ordered[0][1][0], ordered[-1][1][0]
        if first != _EARLIEST:
            over_time.set_title(f"{first:%Y-%m-%d} to {last:%Y-%m-%d}: "
                                f"{cumulative[-1]:+,.2f} over {len(ordered):,} markets",
                                fontsize=10)
    over_time.grid(alpha=0.3)

    names = sorted(strategies, key=lambda name: strategies[name])
    values = [strategies[name] for name in names]
    bars = by_strategy.barh(names, values, height=0.6,
                            color=["#2e7d32" if value >= 0 else "#c62828" for value in values])
    # Inside a bar long enough to hold it; beyond the end of a shorter one, on the side away
    # from zero, with room made for it, so that it never runs into the strategy's name.
    widest = max(abs(value) for value in values) or 1.0
    inside = [abs(value) >= 0.4 * widest for value in values]
    labels = [f"{value:+,.2f}" for value in values]
    by_strategy.bar_label(bars, labels=[text if fits else "" for text, fits in
                                        zip(labels, inside, strict=True)],
                          label_type="center", color="white", fontweight="bold")
    by_strategy.bar_label(bars, labels=["" if fits else text for text, fits in
                                        zip(labels, inside, strict=True)],
                          label_type="edge", padding=3, color="#333333")
    by_strategy.axvline(0, color="#555555", linewidth=0.8)
    by_strategy.set_xlabel("P&L")
    by_strategy.set_title("by strategy", fontsize=10)
    by_strategy.margins(x=0.1 if all(inside) else 0.45)
    # Room on both sides of zero: a bar that ends there does not end at the frame.
    low, high = by_strategy.get_xlim()
    room = 0.08 * (high - low)
    by_strategy.set_xlim(min(low, -room), max(high, room))
    by_strategy.grid(axis="x", alpha=0.3)
    if title:
        figure.suptitle(title)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
