"""Replays a recorded stream file with pelarune and prints a summary of the market.

Usage: replay.py [PATH]   (without PATH, a generated recorded-looking sample is used)

Shows the market's name, its status and in-play changes, and per runner its final status,
last traded price, traded volume and the last best back and lay prices quoted, with the number
of books and the replay speed. Then charts each runner's best back price and traded volume over
the market's life (chart.py) into build/demo/, when matplotlib is installed.
"""

import os
import subprocess
import sys
import time
import warnings

import pelarune

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLE = os.path.join(ROOT, "bench", "data", "sample.jsonl")
CHARTS = os.path.join(ROOT, "build", "demo")


def sample_path():
    if not os.path.exists(SAMPLE):
        os.makedirs(os.path.dirname(SAMPLE), exist_ok=True)
        subprocess.run(
            [sys.executable, os.path.join(ROOT, "bench", "generate.py"), "-o", SAMPLE,
             "--markets", "1"],
            check=True, stdout=subprocess.DEVNULL,
        )
    return SAMPLE


class Summary:
    """What the replay saw, gathered book by book."""

    def __init__(self):
        self.books = 0
        self.first = None
        self.last = None
        self.events = []  # (publish time, text)
        self.best = {}  # runner key -> [best back, best lay], the last ones quoted
        self.seen = {}  # runner key -> the Runner object last looked at

    def add(self, book):
        previous = self.last
        if previous is None:
            self.first = book
            self.events.append((book.publish_time, f"first book, status {book.status}"
                                + (", in play" if book.inplay else "")))
        else:
            if book.status != previous.status:
                self.events.append((book.publish_time, f"{previous.status} -> {book.status}"))
            if book.inplay != previous.inplay:
                self.events.append((book.publish_time,
                                    "turned in play" if book.inplay else "no longer in play"))
        for runner in book.runners:
            key = (runner.selection_id, runner.handicap)
            # An unchanged runner is the very same object as before: nothing new to look at.
            if self.seen.get(key) is runner:
                continue
            self.seen[key] = runner
            back, lay = runner.ex.available_to_back, runner.ex.available_to_lay
            best = self.best.setdefault(key, [None, None])
            if back:
                best[0] = back[0]
            if lay:
                best[1] = lay[0]
        self.books += 1
        self.last = book


def definition_entries(book):
    """Runner key -> (sort priority, name) from the book's market definition."""
    entries = {}
    if book.market_definition is not None:
        for entry in book.market_definition.runners:
            entries[(entry.selection_id, entry.handicap)] = (entry.sort_priority, entry.name)
    return entries


def price_size(level):
    return "-" if level is None else f"{level.price:g} @ {level.size:,.2f}"


def traded_volume(runner):
    if runner.total_matched:
        return runner.total_matched
    return sum(level.size for level in runner.ex.traded_volume)


def report(path, summary, load_seconds, replay_seconds):
    book = summary.last
    definition = book.market_definition
    title = book.market_id
    if definition is not None:
        details = [definition.event_name, definition.name, definition.venue]
        title += "  " + " / ".join(text for text in details if text)
        if definition.market_time is not None:
            title += f"  (market time {definition.market_time:%Y-%m-%d %H:%M} UTC)"
    print(title)
    print(f"final status {book.status}, {'in play' if book.inplay else 'not in play'}, "
          f"total matched {book.total_matched:,.2f}")
    print()
    for when, text in summary.events:
        print(f"  {when:%Y-%m-%d %H:%M:%S}  {text}")
    print()
    entries = definition_entries(book)
    header = (f"  {'runner':<28} {'status':<8} {'last traded':>11} {'traded vol':>12} "
              f"{'last best back':>18} {'last best lay':>18}")
    print(header)
    order = sorted(book.runners, key=lambda r: entries.get((r.selection_id, r.handicap),
                                                           (float("inf"), None))[0])
    for runner in order:
        key = (runner.selection_id, runner.handicap)
        name = entries.get(key, (None, None))[1] or str(runner.selection_id)
        if runner.handicap:
            name += f" ({runner.handicap:+g})"
        ltp = runner.last_price_traded
        back, lay = summary.best.get(key, (None, None))
        print(f"  {name[:28]:<28} {runner.status:<8} {'-' if ltp is None else f'{ltp:g}':>11} "
              f"{traded_volume(runner):>12,.2f} {price_size(back):>18} {price_size(lay):>18}")
    print()
    rate = summary.books / replay_seconds if replay_seconds > 0 else float("inf")
    print(f"{os.path.basename(path)}: {summary.books} books in {replay_seconds * 1e3:.1f} ms "
          f"({rate:,.0f} books/s), load {load_seconds * 1e3:.1f} ms")


def main(argv):
    path = argv[1] if len(argv) > 1 else sample_path()
    # Publish times come from datetime.utcfromtimestamp, which 3.12 marks as deprecated.
    warnings.filterwarnings("ignore", "datetime.datetime.utcfromtimestamp", DeprecationWarning)
    start = time.perf_counter()
    iterator = pelarune.iter_prices_file(path)
    loaded = time.perf_counter()
    summary = Summary()
    for book in iterator:
        summary.add(book)
    done = time.perf_counter()
    if summary.books == 0:
        print(f"{path}: {len(iterator)} records, no market books")
        return
    report(path, summary, loaded - start, done - loaded)
    try:
        import chart
    except ImportError as error:  # chart.py needs matplotlib, which `make demo` installs
        print(f"chart: not drawn ({error})")
        return
    os.makedirs(CHARTS, exist_ok=True)
    name = os.path.basename(path)
    for extension in (".gz", ".gzip", ".json", ".jsonl"):
        name = name.removesuffix(extension)
    out = os.path.join(CHARTS, name + ".png")
    chart.draw(path, out)
    print(f"chart: {out}")


if __name__ == "__main__":
    main(sys.argv)
