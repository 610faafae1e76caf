"""betfairutil.read_prices_file against its replacement for single-market files,
[b.to_dict() for b in pelarune.iter_prices_file(path)]: both return every book of the file as
a list of dicts. For scale, also list(pelarune.iter_prices_file(path)), the books as objects.

betfairutil (through betfairlightweight's lightweight mode) hands consecutive books the same
dict for a runner or definition that did not change; to_dict() builds every book's dicts anew,
so the more books and runners a file has, the more the list of dicts costs.

The readers take turns round after round; times are process CPU time with the collector on, as
in a user's program, best of --repeat. Book counts are printed (betfairutil also yields a book
for records that change nothing the replay keeps, so a generated file gives it a few more).

Usage: bench_betfairutil.py [--repeat N] [FILE ...]
Without FILE: the recorded files of tests/data and a generated one-market file.
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

import pelarune
from generate import generated

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RECORDED = os.path.join(ROOT, "tests", "data")


def generated_file():
    return generated("one_market_2000.json", markets=1, updates=2000, seed=20220419)


def timed(read, path):
    gc.collect()
    start = time.process_time()
    books = read(path)
    return time.process_time() - start, len(books)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("files", nargs="*")
    args = parser.parse_args(argv)
    # Both libraries make publish times with datetime.utcfromtimestamp, which 3.12 deprecates.
    warnings.simplefilter("ignore", DeprecationWarning)
    files = args.files or [os.path.join(RECORDED, name) for name in
                           ("BASIC-1.132153978", "BASIC-1.132153978.gz", "1.197931750")]
    if not args.files:
        files.append(generated_file())
    readers = {
        "betfairutil": betfairutil.read_prices_file,
        "to_dict": lambda path: [b.to_dict() for b in pelarune.iter_prices_file(path)],
        "objects": lambda path: list(pelarune.iter_prices_file(path)),
    }

    print(" " * 52 + "speed-up over betfairutil")
    print(f"{'file':<28} {'MB':>5} {'books':>11} {'betfairutil ms':>15} {'to_dict':>8} "
          f"{'objects':>8}")
    for path in files:
        best = {name: float("inf") for name in readers}
        books = {}
        for _ in range(args.repeat):
            for name, read in readers.items():
                seconds, books[name] = timed(read, path)
                best[name] = min(best[name], seconds)
        base = best["betfairutil"]
        print(f"{os.path.basename(path):<28} {os.path.getsize(path) / 1e6:5.2f} "
              f"{books['betfairutil']:>5}/{books['to_dict']:<5} {base * 1e3:15.1f} "
              f"{base / best['to_dict']:7.2f}x {base / best['objects']:7.2f}x")


if __name__ == "__main__":
    main()
