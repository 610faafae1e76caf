"""Charts a market's life from a stream file: each runner's best back price and traded volume
over time, with the turn in play marked. `make demo` draws one; matplotlib is needed.

Usage: chart.py PATH OUT.png
"""

import math
import sys
import warnings

import matplotlib
import pelarune
from replay import traded_volume

matplotlib.use("Agg")  # files only, no display needed
import matplotlib.dates as mdates
import matplotlib.pyplot as plt
from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter


def market_series(path):
    """(series, names, in-play time, first book, last book); series maps a runner key to its
    times, best back prices (NaN when none is offered) and traded volumes, one point per change
    of the runner."""
    series, seen = {}, {}
    first = last = inplay_at = None
    for book in pelarune.iter_prices_file(path):
        first = first or book
        if inplay_at is None and book.inplay:
            inplay_at = book.publish_time
        for runner in book.runners:
            key = (runner.selection_id, runner.handicap)
            # An unchanged runner is the very same object as in the previous book.
            if seen.get(key) is runner:
                continue
            seen[key] = runner
            back = runner.ex.available_to_back
            times, prices, volumes = series.setdefault(key, ([], [], []))
            times.append(book.publish_time)
            prices.append(back[0].price if back else math.nan)
            volumes.append(traded_volume(runner))
        last = book
    names = {}
    if last is not None and last.market_definition is not None:
        for entry in sorted(last.market_definition.runners, key=lambda e: e.sort_priority):
            name = entry.name or str(entry.selection_id)
            names[(entry.selection_id, entry.handicap)] = name + (
                " (winner)" if entry.status == "WINNER" else "")
    return series, names, inplay_at, first, last


def draw(path, out):
    """Writes the chart of the market in `path` to `out`; False when the file has no book."""
    series, names, inplay_at, first, last = market_series(path)
    if last is None:
        return False
    # Legend in the card's order, runners missing from the definition after the others.
    order = list(names) + sorted(key for key in series if key not in names)
    figure, (prices_axis, volume_axis) = plt.subplots(
        2, 1, sharex=True, figsize=(11, 7), height_ratios=[3, 2], layout="constrained")
    for key in order:
        if key not in series:
            continue
        times, prices, volumes = series[key]
        # Each value holds until the next change: extend the last one to the market's end.
        times = times + [last.publish_time]
        label = names.get(key, f"{key[0]}" + (f" ({key[1]:+g})" if key[1] else ""))
        line, = prices_axis.step(times, prices + prices[-1:], where="post", label=label)
        volume_axis.step(times, volumes + volumes[-1:], where="post", color=line.get_color())
    prices_axis.set_yscale("log")
    prices_axis.yaxis.set_major_locator(LogLocator(subs=(1.0, 1.5, 2.0, 3.0, 5.0)))
    prices_axis.yaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:g}"))
    prices_axis.yaxis.set_minor_formatter(NullFormatter())
    prices_axis.set_ylabel("best back price (log scale)")
    volume_axis.set_ylabel("traded volume")
    volume_axis.yaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:,.0f}"))
    volume_axis.set_xlabel("publish time (UTC)")
    volume_axis.xaxis.set_major_formatter(mdates.DateFormatter("%H:%M"))
    for axis in (prices_axis, volume_axis):
        axis.grid(True, which="major", alpha=0.3)
        if inplay_at is not None:
            axis.axvline(inplay_at, color="black", linestyle="--", linewidth=1)
    if inplay_at is not None:
        prices_axis.annotate(f"in play {inplay_at:%H:%M:%S}", (inplay_at, 1.0),
                             xycoords=("data", "axes fraction"), xytext=(-4, -4),
                             textcoords="offset points", ha="right", va="top")
    prices_axis.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), title="runner")
    definition = last.market_definition
    details = [last.market_id]
    if definition is not None:
        details += [text for text in (definition.event_name, definition.name, definition.venue)
                    if text]
    prices_axis.set_title(" / ".join(details) + f"  ({first.publish_time:%Y-%m-%d})")
    figure.savefig(out, dpi=90)
    plt.close(figure)
    return True


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[-1])
    warnings.filterwarnings("ignore", "datetime.datetime.utcfromtimestamp", DeprecationWarning)
    draw(sys.argv[1], sys.argv[2])
