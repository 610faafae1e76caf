"""A backtest's pre-scan, and a pre-scan whose load the replay shares, on .bz2 files.

run_backtest reads every file twice: once to find its markets and event (pelarune_flumine's
markets(path)), to plan, and once in the replay. On a .bz2 file both reads are mostly bzip2
decoding. This compares, as process CPU time (best of --repeat, the forms taking turns):

  today    markets(path) for every file, then each chunk of 8 files through framework.run(),
           the streams reading the paths
  shared   load(path) for every file (its .markets is the same list), then the same chunks
           with the streams reading the LoadedFiles: no second read

with the two strategies of bench_flumine.py, filtered ({"seconds_to_start": 600, "inplay":
False}) and not, over the recordings and --markets generated files of bench_flumine.py (and
the same stretched to a long life), each compressed with bzip2 at level 9. Both forms must give
the same markets, calls and orders.

Usage: bench_shared_load.py [--repeat N] [--markets N] [--updates N]
"""

import argparse
import bz2
import gzip
import logging
import os
import sys
import time
import warnings

import bench_flumine
from bench_flumine import FILTER, STRATEGIES, backtest

from pelarune_flumine import BetfairHistoricalStream
from pelarune_flumine.stream import native

CHUNK = 8  # files per framework, as run_backtest's chunks


def bzip2_copies(paths):
    copies = []
    for path in paths:
        target = os.path.join(bench_flumine.DATA, os.path.basename(path).removesuffix(".gz")
                              + ".bz2")
        if not os.path.exists(target):
            opener = gzip.open if path.endswith(".gz") else open
            with opener(path, "rb") as source:
                data = source.read()
            with open(target + ".tmp", "wb") as out:
                out.write(bz2.compress(data, 9))
            os.rename(target + ".tmp", target)
        copies.append(target)
    return copies


def run(paths, strategy, listener_kwargs, shared):
    start = time.process_time()
    if shared:
        files = [native.load(path) for path in paths]
        markets = [file.markets for file in files]
    else:
        files = paths
        markets = [native.markets(path) for path in paths]
    seen = []
    for i in range(0, len(files), CHUNK):
        seen.append(backtest(strategy, files[i:i + CHUNK], BetfairHistoricalStream, True,
                             listener_kwargs)[1])
    return time.process_time() - start, (markets, seen)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--markets", type=int, default=10)
    parser.add_argument("--updates", type=int, default=2000)
    args = parser.parse_args()
    logging.disable(logging.CRITICAL)
    warnings.simplefilter("ignore", DeprecationWarning)  # utcfromtimestamp, on 3.12
    generated = bench_flumine.generated_markets(args.markets, args.updates)
    sets = [("recorded", bzip2_copies(bench_flumine.recorded_markets())),
            ("generated", bzip2_copies(generated)),
            ("generated, long", bzip2_copies(bench_flumine.long_markets(generated)))]
    print(f"process CPU seconds, best of {args.repeat}; .bz2 files; chunks of {CHUNK}")
    print(f"{'set':16} {'strategy':13} {'filter':8} {'pre-scan':>9} {'today':>8} "
          f"{'scan share':>10} {'shared':>8} {'gain':>6}")
    for name, paths in sets:
        scan = min(_timed(lambda: [native.markets(p) for p in paths])
                   for _ in range(args.repeat))
        for strategy_name, strategy in STRATEGIES.items():
            for filtered in (True, False):
                kwargs = FILTER if filtered else {}
                best = {False: float("inf"), True: float("inf")}
                results = {}
                for _ in range(args.repeat):
                    for shared in (False, True):
                        seconds, results[shared] = run(paths, strategy, kwargs, shared)
                        best[shared] = min(best[shared], seconds)
                if results[False] != results[True]:
                    sys.exit(f"{name}, {strategy_name}: the shared load changed the results")
                print(f"{name:16} {strategy_name:13} {'yes' if filtered else 'no':8} "
                      f"{scan:9.3f} {best[False]:8.3f} {scan / best[False]:10.0%} "
                      f"{best[True]:8.3f} {best[False] / best[True]:5.2f}x")


def _timed(function):
    start = time.process_time()
    function()
    return time.process_time() - start


if __name__ == "__main__":
    main()
