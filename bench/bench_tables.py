"""pelarune_tables against betfairutil's prices_file_to_data_frame: the full ladder of a generated
one-market file (bench/generate.py --markets 1 --updates 20000) as betfairutil's data frame, as
the drop-in's and as prices_table(...).to_pandas().

betfairutil runs once (about half a minute); the others best of --repeat, in the same process.
Times are process CPU time with the collector on, as in a user's program; the ratios are
betfairutil's time over each.

Usage: bench_tables.py [--repeat N] [FILE]
"""

import argparse
import gc
import os
import time
import warnings

# betfairutil imports smart_open on first use while it has builtins.open patched to
# smart_open.open; imported here first, smart_open keeps the real open (else: RecursionError).
import smart_open  # noqa: F401

import betfairutil

import pelarune_tables
from generate import generated


def timed(run):
    gc.collect()
    start = time.process_time()
    result = run()
    return time.process_time() - start, result


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("file", nargs="?")
    args = parser.parse_args(argv)
    path = args.file or generated("one_market_20000.json", markets=1, updates=20000)
    # betfairutil makes publish times with datetime.utcfromtimestamp, which 3.12 deprecates.
    warnings.simplefilter("ignore", DeprecationWarning)

    base, frame = timed(lambda: betfairutil.prices_file_to_data_frame(path))
    counts = {"betfairutil": len(frame)}
    del frame
    runs = {
        "drop-in": lambda: pelarune_tables.prices_file_to_data_frame(path),
        "to_pandas": lambda: pelarune_tables.prices_table(path).to_pandas(),
    }
    best = {name: float("inf") for name in runs}
    for _ in range(args.repeat):
        for name, run in runs.items():
            seconds, frame = timed(run)
            best[name] = min(best[name], seconds)
            counts[name] = len(frame)
            del frame

    # betfairutil repeats the book after each heartbeat: a few more rows.
    print(f"{os.path.basename(path)}: {os.path.getsize(path) / 1e6:.1f} MB")
    print(f"{'':<12} {'rows':>10} {'CPU':>10} {'speed-up':>9}")
    print(f"{'betfairutil':<12} {counts['betfairutil']:>10,} {base:8.2f} s")
    for name, seconds in best.items():
        print(f"{name:<12} {counts[name]:>10,} {seconds * 1e3:7.0f} ms {base / seconds:8.0f}x")


if __name__ == "__main__":
    main()
