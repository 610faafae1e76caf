"""What a file's form costs: a full replay of the same market from a plain, a gzip and a bzip2
file, for the recorded markets and two generated ones.

Each market is written in the three forms (gzip at level 6, bzip2 at level 9 as the exchange's
historical files come), then replayed to the end (load and every book), the forms taking turns
round after round. Times are process CPU time, best of --repeat; the ratios are against the
plain file, and "decoding" is the share of a .bz2 replay that the plain replay does not spend.

Usage: bench_file_forms.py [--repeat N] [FILE ...]
"""

import argparse
import bz2
import gc
import gzip
import os
import sys
import time
import warnings

import pelarune
from generate import generated

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RECORDED = os.path.join(ROOT, "tests", "data")
DATA = os.path.join(ROOT, "bench", "data", "forms")


def generated_file(updates):
    return generated(f"forms/one_market_{updates}.json", markets=1, updates=updates,
                     seed=20220419)


def forms(path):
    """The plain, .gz and .bz2 forms of the file at `path`, written once into DATA."""
    with open(path, "rb") as source:
        text = source.read()
    os.makedirs(DATA, exist_ok=True)
    stem = os.path.join(DATA, os.path.basename(path))
    written = {"plain": stem + ".plain", "gz": stem + ".gz", "bz2": stem + ".bz2"}
    for form, compress in (("plain", bytes), ("gz", lambda b: gzip.compress(b, 6, mtime=0)),
                           ("bz2", lambda b: bz2.compress(b, 9))):
        if not os.path.exists(written[form]):
            with open(written[form], "wb") as out:
                out.write(compress(text))
    return written


def replay_seconds(path):
    start = time.process_time()
    books = 0
    for _ in pelarune.iter_prices_file(path):
        books += 1
    elapsed = time.process_time() - start
    if books == 0:
        sys.exit(f"{path}: no books")
    return elapsed


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("files", nargs="*", help="plain stream files (default: recorded and "
                        "generated markets)")
    args = parser.parse_args(argv)
    # Publish times come from datetime.utcfromtimestamp, which 3.12 deprecates.
    warnings.simplefilter("ignore", DeprecationWarning)
    files = args.files or [os.path.join(RECORDED, "BASIC-1.132153978"),
                           os.path.join(RECORDED, "1.197931750"),
                           generated_file(2000), generated_file(20000)]

    print(f"{'file':<28} {'MB':>5} {'plain ms':>9} {'.gz':>6} {'.bz2':>6} {'decoding':>9}")
    for path in files:
        paths = forms(path)
        best = {form: float("inf") for form in paths}
        for _ in range(args.repeat):
            for form, form_path in paths.items():
                gc.collect()
                best[form] = min(best[form], replay_seconds(form_path))
        plain = best["plain"]
        print(f"{os.path.basename(path):<28} {os.path.getsize(path) / 1e6:5.2f} "
              f"{plain * 1e3:9.2f} {best['gz'] / plain:5.2f}x {best['bz2'] / plain:5.2f}x "
              f"{1 - plain / best['bz2']:8.0%}")


if __name__ == "__main__":
    main()
