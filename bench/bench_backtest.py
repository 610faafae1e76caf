"""Backtests over many markets: pelarune_flumine.run_backtest serially, on a 2-process pool and
on a local Dask cluster of 2 workers, on pelarune_flumine's stream and on flumine's.

Each run is a child process (interpreter start, imports, pool or cluster start-up, the replay
and the orders written as chunks finish), with the order-placing strategy of
tests/python/test_flumine.py over --markets generated one-market files (bench/generate.py,
--updates each; every market gets its own id and event, and heartbeats an empty change list,
since flumine's stream stops with KeyError 'mc' on a heartbeat without one). Wall time is the
child's; CPU time is its user plus system time with its waited-for children (the pool's
processes, Dask's workers). Every run must write the same orders.

Usage: bench_backtest.py [--markets N] [--updates N]
"""

import argparse
import filecmp
import os
import re
import resource
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STRATEGIES = os.path.join(ROOT, "tests", "python")


def generated_markets(folder, count, updates):
    os.makedirs(folder, exist_ok=True)
    for seed in range(count):
        path = os.path.join(folder, f"1.{300000000 + seed}.json")
        if os.path.exists(path):
            continue
        subprocess.run([sys.executable, os.path.join(ROOT, "bench", "generate.py"), "-o",
                        path + ".tmp", "--markets", "1", "--updates", str(updates),
                        "--seed", str(seed)], check=True, stderr=subprocess.DEVNULL)
        with open(path + ".tmp") as source:
            text = source.read()
        # Seeds alone give ids from a range of 7,000: 200 markets would share some.
        text = re.sub(r'"id":"1\.\d+"', f'"id":"1.{300000000 + seed}"', text)
        text = re.sub(r'"eventId":"\d+"', f'"eventId":"{40000000 + seed}"', text)
        text = text.replace('"ct":"HEARTBEAT"}', '"ct":"HEARTBEAT","mc":[]}')
        with open(path, "w") as target:
            target.write(text)
        os.remove(path + ".tmp")
    return folder


CHILD = """
import logging, sys, warnings
logging.disable(logging.CRITICAL)
warnings.simplefilter("ignore", DeprecationWarning)  # utcfromtimestamp, on 3.12
from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream
import backtest_strategies, pelarune_flumine
folder, out, engine, stream = sys.argv[1:]
result = pelarune_flumine.run_backtest(
    folder, backtest_strategies.placer, engine=engine, workers=2,
    stream_class=BetfairHistoricalStream if stream == "flumine" else None,
    middleware=stream != "flumine", out=out)
print(f"{result.books:,} books, {len(result):,} orders, {len(result.failed)} failed")
"""


def run(folder, out, engine, stream):
    """The run in a child process: wall seconds, CPU seconds and its summary."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [STRATEGIES] + [p for p in [os.environ.get("PYTHONPATH")] if p]))
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    child = subprocess.run([sys.executable, "-c", CHILD, folder, out, engine, stream], env=env,
                           capture_output=True, text=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if child.returncode:
        sys.exit(f"{engine} on {stream}: {child.stderr}")
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    return wall, cpu, child.stdout.splitlines()[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--markets", type=int, default=200)
    parser.add_argument("--updates", type=int, default=1000)
    args = parser.parse_args()
    folder = generated_markets(os.path.join(ROOT, "bench", "data", "backtest",
                                            f"{args.markets}x{args.updates}"),
                               args.markets, args.updates)
    print(f"{args.markets} generated markets of about {args.updates} updates; load "
          f"{os.getloadavg()[0]:.1f} at the start")
    print(f"{'stream':10} {'engine':8} {'wall s':>7} {'CPU s':>7}")
    with tempfile.TemporaryDirectory() as out:
        reference = None
        for stream in ("pelarune", "flumine"):
            for engine in ("serial", "process", "dask"):
                path = os.path.join(out, f"{stream}-{engine}.csv")
                wall, cpu, summary = run(folder, path, engine, stream)
                print(f"{stream:10} {engine:8} {wall:7.2f} {cpu:7.2f}   {summary}", flush=True)
                reference = reference or path
                if not filecmp.cmp(reference, path, shallow=False):
                    sys.exit(f"{stream} {engine}: orders differ from {reference}")


if __name__ == "__main__":
    main()
