"""Floor benchmark: pelarune's iteration against the least work that gives the same books.

The floor of a book is the engine's own apply time for its record (apply_bench) plus the Python
objects the book needs: floor_harness.c creates and frees, per book, exactly the objects that
pelarune's replay of the same file creates and frees (counted by identity against the previous
book), as cheaply as the interpreter allows, handing each book to the same kind of loop, and
calls utcfromtimestamp through a method bound once. Times are process CPU time for the Python
parts, the best of --repeat (more for a short file) taken in turns; apply_bench reports its own
best (wall clock) of as many.

Usage: bench_floor.py [--repeat N] [--harness DIR] [--apply-bench PATH] [FILE ...]
Without FILE: the files bench_strategy.py uses.
"""

import argparse
import array
import gc
import math
import os
import re
import subprocess
import sys
import time
import warnings

import pelarune

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))
from bench_replay import replay_seconds  # noqa: E402
from bench_strategy import default_files  # noqa: E402

BUILD = os.path.join(ROOT, "build", "bench")
KINDS = (pelarune.MarketBook, pelarune.Runner, pelarune.ExchangePrices, pelarune.PriceSize,
         pelarune.MarketDefinition, pelarune.MarketDefinitionRunner)


def record_plan(path):
    """What each book of a replay creates, by identity against the previous book."""
    plan, definitions, slots = array.array("q"), [], {}
    previous, previous_definition, books = {}, None, 0
    for book in pelarune.iter_prices_file(path):
        books += 1
        definition = book.market_definition
        index = -1
        if definition is not previous_definition:
            texts = book.to_dict()["marketDefinition"]
            settled = definition.settled_time
            index = len(definitions)
            definitions.append((len(definition.runners), texts["marketTime"], texts["openDate"],
                                texts["suspendTime"],
                                settled and settled.strftime("%Y-%m-%dT%H:%M:%S.%fZ")))
        previous_definition = definition
        plan.extend((book.publish_time_epoch, len(book.runners), index))
        current = {}
        for runner in book.runners:
            key = (runner.selection_id, runner.handicap)
            slot = slots.setdefault(key, len(slots))
            lists = (runner.ex.available_to_back, runner.ex.available_to_lay,
                     runner.ex.traded_volume)
            before = previous.get(key)
            new = before is None or before[0] is not runner
            codes = [-1 if before is not None and before[1][k] is lists[k] else len(lists[k])
                     for k in range(3)]
            plan.extend((slot, int(new), *codes))
            current[key] = (runner, lists)
        previous = current
    return plan, definitions, books


def apply_seconds(apply_bench, path, repeat):
    """The engine's apply time for the whole file, from apply_bench."""
    if not os.path.exists(apply_bench):
        return None
    out = subprocess.run([apply_bench, path, str(repeat)], check=True, capture_output=True,
                         text=True).stdout
    records = int(re.search(r"^records\s+(\d+)", out, re.M).group(1))
    return float(re.search(r"^apply\s.*\((\d+) ns/record", out, re.M).group(1)) * 1e-9 * records


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="*")
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--harness", default=BUILD, help="folder of the built floor_harness")
    parser.add_argument("--apply-bench", default=os.path.join(BUILD, "apply_bench"))
    args = parser.parse_args(argv)
    warnings.simplefilter("ignore", DeprecationWarning)
    sys.path.insert(0, args.harness)
    import floor_harness

    sizes = tuple(kind.__basicsize__ for kind in KINDS)
    print(f"{'floor, per book':<26} {'books':>6} {'iterate':>9} {'objects':>9} {'apply':>8}"
          f" {'floor':>8} {'ratio':>6}")
    for path in args.files or default_files():
        plan, definitions, books = record_plan(path)
        if books == 0:
            continue
        built = sum(1 for _ in floor_harness.books(plan, definitions, sizes))
        assert built == books, (built, books)
        def harness():
            iterator = floor_harness.books(plan, definitions, sizes)
            start = time.process_time()
            for _ in iterator:
                pass
            return time.process_time() - start

        # In turns, so that a busy spell of the machine weighs on both alike. A short file gets
        # more rounds, about half a second of replay in all, so that its best is as settled as
        # a long file's.
        ours = objects = replay_seconds(path)
        rounds = max(args.repeat, min(200, math.ceil(0.5 / max(ours, 1e-6))))
        for _ in range(rounds):
            gc.collect()
            ours = min(ours, replay_seconds(path))
            gc.collect()
            objects = min(objects, harness())
        applied = apply_seconds(args.apply_bench, path, rounds)
        us = lambda seconds: f"{seconds / books * 1e6:>6.2f}us"  # noqa: E731
        line = f"{os.path.basename(path):<26} {books:>6} {us(ours)} {us(objects)}"
        if applied is None:
            line += "   (no apply_bench: the floor leaves out the engine)"
            floor = objects
        else:
            floor = objects + applied
            line += f" {us(applied)} {us(floor)}"
        print(line + f" {ours / floor:>5.2f}x")


if __name__ == "__main__":
    main(sys.argv[1:])
