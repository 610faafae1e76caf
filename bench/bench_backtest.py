"""Backtests over many markets: pelarune_flumine.run_backtest serially, on a 2-process pool and
on a local Dask cluster of 2 workers, on pelarune_flumine's stream and on flumine's.

Each run is a child process (interpreter start, imports, pool or cluster start-up, the replay
and the orders written as chunks finish), with the order-placing strategy of
tests/python/test_flumine.py (or, with --strategy favourite, one that backs the favourite once
a market in its last minute before the off, best with --listener-kwargs '{"seconds_to_start":
600, "inplay": false}'; with --strategy idle, one that reads every book and does nothing) over --markets generated one-market files (bench/generate.py, --updates each; every
market gets its own id and event, and heartbeats an empty change list, since flumine's stream
stops with KeyError 'mc' on a heartbeat without one), plain or, with --bz2, compressed as the
exchange sells them. Wall time is the child's; CPU time is its user plus system time with its
waited-for children (the pool's processes, Dask's workers). Every run must write the same
orders.

With --build given twice or more (each a PYTHONPATH that gives pelarune and pelarune_flumine,
such as another checkout's build/quick and python folders), the builds take turns for --rounds
rounds (the order reversed every other round) and each build's median times are printed with
their ratio to the first build's.

Usage: bench_backtest.py [--markets N] [--updates N] [--bz2] [--strategy placer|favourite|idle]
                         [--listener-kwargs JSON]
                         [--engines serial,process,dask] [--streams pelarune,flumine]
                         [--build PYTHONPATH --build PYTHONPATH ... [--rounds N]]
"""

import argparse
import bz2
import filecmp
import json
import os
import re
import resource
import statistics
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


def compressed(folder):
    """The folder's files as .bz2 files, in a folder beside it."""
    target = folder + "-bz2"
    os.makedirs(target, exist_ok=True)
    for name in sorted(os.listdir(folder)):
        path = os.path.join(target, name + ".bz2")
        if not os.path.exists(path):
            with open(os.path.join(folder, name), "rb") as source:
                data = bz2.compress(source.read(), 9)
            with open(path + ".tmp", "wb") as out:
                out.write(data)
            os.rename(path + ".tmp", path)
    return target


CHILD = """
import json, logging, sys, warnings
logging.disable(logging.CRITICAL)
warnings.simplefilter("ignore", DeprecationWarning)  # utcfromtimestamp, on 3.12
from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream
import backtest_strategies, pelarune_flumine
folder, out, engine, stream, strategy, listener_kwargs = sys.argv[1:]
result = pelarune_flumine.run_backtest(
    folder, getattr(backtest_strategies, strategy), engine=engine, workers=2,
    listener_kwargs=json.loads(listener_kwargs),
    stream_class=BetfairHistoricalStream if stream == "flumine" else None,
    middleware=stream != "flumine", out=out)
print(f"{result.books:,} books, {len(result):,} orders, {result.errors:,} strategy errors, "
      f"{len(result.failed)} failed")
"""


def run(folder, out, engine, stream, strategy, listener_kwargs, build):
    """The run in a child process: wall seconds, CPU seconds and its summary."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [STRATEGIES] + [p for p in [build or os.environ.get("PYTHONPATH")] if p]))
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    child = subprocess.run([sys.executable, "-c", CHILD, folder, out, engine, stream, strategy,
                            json.dumps(listener_kwargs)], env=env, capture_output=True,
                           text=True)
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
    parser.add_argument("--bz2", action="store_true")
    parser.add_argument("--strategy", choices=["placer", "favourite", "idle"], default="placer")
    parser.add_argument("--listener-kwargs", type=json.loads, default={}, metavar="JSON")
    parser.add_argument("--engines", default="serial,process,dask")
    parser.add_argument("--streams", default="pelarune,flumine")
    parser.add_argument("--build", action="append", default=[])
    parser.add_argument("--rounds", type=int, default=1)
    args = parser.parse_args()
    folder = generated_markets(os.path.join(ROOT, "bench", "data", "backtest",
                                            f"{args.markets}x{args.updates}"),
                               args.markets, args.updates)
    if args.bz2:
        folder = compressed(folder)
    builds = args.build or [None]
    print(f"{args.markets} generated markets of about {args.updates} updates"
          f"{' (.bz2)' if args.bz2 else ''}, strategy {args.strategy}"
          f"{' under ' + json.dumps(args.listener_kwargs) if args.listener_kwargs else ''}; load "
          f"{os.getloadavg()[0]:.1f} at the start")
    header = f"{'stream':10} {'engine':8} {'wall s':>7} {'CPU s':>7}"
    print(header + ("   build" if len(builds) > 1 else ""))
    times = {}
    with tempfile.TemporaryDirectory() as out:
        reference = None
        for turn in range(args.rounds):
            for stream in args.streams.split(","):
                for engine in args.engines.split(","):
                    order = list(enumerate(builds))
                    for number, build in order if turn % 2 == 0 else order[::-1]:
                        path = os.path.join(out, f"{stream}-{engine}-{number}.csv")
                        wall, cpu, summary = run(folder, path, engine, stream, args.strategy,
                                                 args.listener_kwargs, build)
                        times.setdefault((stream, engine, number), []).append((wall, cpu))
                        print(f"{stream:10} {engine:8} {wall:7.2f} {cpu:7.2f}   "
                              f"{number if len(builds) > 1 else summary}", flush=True)
                        reference = reference or path
                        if not filecmp.cmp(reference, path, shallow=False):
                            sys.exit(f"{stream} {engine}: orders differ from {reference}")
    if len(builds) > 1:
        print("\nmedians, and the first build's over each build's (above 1: faster)")
        for (stream, engine, number), runs in times.items():
            wall, cpu = (statistics.median(run[i] for run in runs) for i in (0, 1))
            first = times[(stream, engine, 0)]
            ratios = [statistics.median(run[i] for run in first) /
                      statistics.median(run[i] for run in runs) for i in (0, 1)]
            print(f"{stream:10} {engine:8} build {number}: wall {wall:6.2f} s CPU {cpu:6.2f} s"
                  f"   wall x{ratios[0]:.2f} CPU x{ratios[1]:.2f}")


if __name__ == "__main__":
    main()
