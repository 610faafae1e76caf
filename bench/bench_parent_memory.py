"""The backtest parent's peak memory and time against the number of orders a run writes.

The replay is left out: each batch gives --orders / --files generated order rows per file, as
a worker would send them back, so what is measured is what the parent does with them (the
ledger, the output written as chunks finish, its end-of-run sort, the summary), for a CSV and
a Parquet output (--formats). Each size runs in
a child process of its own (serial engine: the batches come back in that process); its peak
resident set (ru_maxrss) and wall time are printed, with the child's bare start-up (imports
and a run of no orders) for comparison.

Usage: bench_parent_memory.py [--orders N ...] [--files N] [--formats csv parquet]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

CHILD = """
import os, resource, sys, warnings
warnings.simplefilter("ignore")
import pelarune_flumine.backtest as backtest
from pelarune_flumine.planning import Scan
from pelarune_flumine.rows import OrderRow, wire
from pelarune_flumine.simulation import BatchResult, ChunkResult

orders, folder, out = int(sys.argv[1]), sys.argv[2], sys.argv[3]
names = sorted(os.listdir(folder))
each = orders // len(names)


def run_batch(paths, settings):
    rows, scans = [], []
    for path in paths:
        market = "1." + os.path.basename(path)
        scans.append(Scan(path, [market], "e" + market))
        rows += [wire(OrderRow(market, None, "e" + market, "Event", i % 20, 0.0, "Placer",
                               "BACK", "LIMIT", 2.5, 2.0, 2.0, 2.5, "EXECUTION_COMPLETE",
                               -2.0 if i % 3 else 3.0, None, None, "a note"))
                 for i in range(each)]
    return BatchResult(scans, [], ChunkResult(list(paths), rows, list(paths),
                                              {path: 1 for path in paths}, {}, [], {}))


backtest.run_batch = run_batch
import backtest_strategies
result = backtest.run_backtest(folder, backtest_strategies.placer, engine="serial", out=out)
assert len(result) == each * len(names), len(result)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--orders", type=int, nargs="+", default=[0, 10_000, 1_000_000])
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--formats", nargs="+", choices=("csv", "parquet"),
                        default=["csv", "parquet"])
    args = parser.parse_args()
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.join(root, "tests", "python"), os.environ.get("PYTHONPATH", "")]))
    with tempfile.TemporaryDirectory() as folder:
        markets = os.path.join(folder, "markets")
        os.mkdir(markets)
        for i in range(args.files):
            open(os.path.join(markets, f"{i:09d}"), "w").close()
        print(f"{'format':>7}  {'orders':>10}  {'peak RSS MB':>11}  {'seconds':>8}")
        for form in args.formats:
            for orders in args.orders:
                started = time.monotonic()
                run = subprocess.run([sys.executable, "-c", CHILD, str(orders), markets,
                                      os.path.join(folder, f"orders.{form}")],
                                     env=env, capture_output=True, text=True, check=False)
                if run.returncode:
                    sys.exit(run.stderr)
                print(f"{form:>7}  {orders:>10,}  {int(run.stdout) / 1024:>11.1f}  "
                      f"{time.monotonic() - started:>8.1f}")


if __name__ == "__main__":
    main()
