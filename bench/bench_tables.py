"""pelarune_tables.prices_table against betfairutil's prices_file_to_data_frame and pelarune's
bare replay, and the peak memory of streaming a large file to Parquet.

For each file: process CPU time (best of --repeat, the collector on, as in a user's program) of
- the bare replay: for b in pelarune.iter_prices_file(path): pass
- the full ladder into a pyarrow table: pyarrow.table(prices_table(path)), and to_pandas();
- the last price traded into a pyarrow table;
- betfairutil's prices_file_to_data_frame, full ladder and last price traded (run
  --betfairutil-repeat times: it takes tens of seconds on the generated market).
The ratios are betfairutil's time over ours (betfairutil also gives a book for a record that
changes nothing a replay keeps, so a generated file gives it a few more rows). "ns/row" is the
full ladder's time less the last price traded's over the full ladder's rows: the last price
traded is the native load and apply with a row per runner only, so this is the cost of writing
a ladder row.

Then each file through write_dataset (serial engine, into a temporary folder): its CPU time and
its cost per row over the pyarrow table's, which is the Parquet writer's.

Then, in a child process, a generated file of --parquet-mb MB streamed batch by batch into a
Parquet file: peak RSS less the RSS after imports, against the RSS the loaded file takes.

Usage: bench_tables.py [--repeat N] [--betfairutil-repeat N] [--updates N] [--parquet-mb MB]
                       [FILE ...]
Without FILE: the recorded files of tests/data that have ladders and a generated one-market file
(generate.py --markets 1 --updates N, 20000 by default).
"""

import argparse
import gc
import json
import os
import subprocess
import sys
import tempfile
import time
import warnings

# betfairutil imports smart_open on first use while it has builtins.open patched to
# smart_open.open; imported here first, smart_open keeps the real open (else: RecursionError).
import smart_open  # noqa: F401

import betfairutil
import pyarrow

import pelarune
import pelarune_tables
from generate import generated

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RECORDED = [os.path.join(ROOT, "tests", "data", name)
            for name in ("1.197931750", "1.197931751")]  # BASIC-1.132153978 has no ladders


def cpu(run, repeat, warm_up=True):
    """(best process CPU seconds over `repeat` runs, the last run's result), after a run that
    imports and warms what the first call needs."""
    best, result = float("inf"), None
    if warm_up:
        run()
    for _ in range(repeat):
        gc.collect()
        start = time.process_time()
        result = run()
        best = min(best, time.process_time() - start)
    return best, result


def bare(path):
    books = 0
    for _ in pelarune.iter_prices_file(path):
        books += 1
    return books


def measure(path, repeat, betfairutil_repeat):
    ladder = betfairutil.DataFrameFormatEnum.FULL_LADDER
    last = betfairutil.DataFrameFormatEnum.LAST_PRICE_TRADED
    runs = {
        "bare": (lambda: bare(path), repeat),
        "full": (lambda: pyarrow.table(pelarune_tables.prices_table(path)).num_rows, repeat),
        "pandas": (lambda: len(pelarune_tables.prices_table(path).to_pandas()), repeat),
        "ltp": (lambda: pyarrow.table(pelarune_tables.prices_table(
            path, format="last_price_traded")).num_rows, repeat),
        "bfu full": (lambda: len(betfairutil.prices_file_to_data_frame(path, _format=ladder)),
                     betfairutil_repeat),
        "bfu ltp": (lambda: len(betfairutil.prices_file_to_data_frame(path, _format=last)),
                    betfairutil_repeat),
    }
    # betfairutil's runs are long enough that a warm-up would only double them.
    return {name: cpu(run, times, warm_up=not name.startswith("bfu"))
            for name, (run, times) in runs.items()}


def ms(seconds):
    return f"{seconds * 1000:,.1f} ms" if seconds < 10 else f"{seconds:,.1f} s"


def report(path, results):
    books = results["bare"][1]
    rows = results["full"][1]
    bare_s = results["bare"][0]
    full_s, pandas_s, ltp_s = results["full"][0], results["pandas"][0], results["ltp"][0]
    bfu_full, bfu_ltp = results["bfu full"][0], results["bfu ltp"][0]
    print(f"{os.path.basename(path)}: {books:,} books, {rows:,} full-ladder rows "
          f"(betfairutil {results['bfu full'][1]:,}), {results['ltp'][1]:,} last-price rows")
    print(f"  bare replay          {ms(bare_s):>12}")
    print(f"  full ladder pyarrow  {ms(full_s):>12}   {bfu_full / full_s:7.0f}x betfairutil "
          f"({ms(bfu_full)}), {max(full_s - ltp_s, 0) * 1e9 / max(rows, 1):.1f} ns/row "
          "over the last price traded")
    print(f"  full ladder pandas   {ms(pandas_s):>12}   {bfu_full / pandas_s:7.0f}x betfairutil")
    print(f"  last price traded    {ms(ltp_s):>12}   {bfu_ltp / ltp_s:7.0f}x betfairutil "
          f"({ms(bfu_ltp)}), {ltp_s / bare_s:.2f}x the bare replay")


def dataset(path, repeat, results):
    rows, full_s = results["full"][1], results["full"][0]
    with tempfile.TemporaryDirectory() as folder:
        seconds, _ = cpu(lambda: pelarune_tables.write_dataset(
            path, folder, engine="serial", progress=False), repeat)
    print(f"  write_dataset        {ms(seconds):>12}   "
          f"{(seconds - full_s) * 1e9 / max(rows, 1):.0f} ns/row over the pyarrow table")


def rss_mb(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def parquet_child(path):
    """Streams `path` into a Parquet file batch by batch; prints the RSS figures as JSON."""
    import pyarrow.parquet

    after_imports = rss_mb("VmRSS")
    table = pelarune_tables.prices_table(path)
    loaded = rss_mb("VmRSS") - after_imports
    rows = 0
    with tempfile.TemporaryDirectory() as folder:
        reader = pyarrow.RecordBatchReader.from_stream(table)
        with pyarrow.parquet.ParquetWriter(os.path.join(folder, "prices.parquet"),
                                           reader.schema) as writer:
            for batch in reader:
                writer.write_batch(batch)
                rows += batch.num_rows
    print(json.dumps({"loaded": loaded, "peak": rss_mb("VmHWM") - after_imports,
                      "rows": rows}))


def parquet_peak(size_mb):
    path = generated(f"tables_{size_mb}mb.json", size_mb=size_mb)
    run = subprocess.run([sys.executable, os.path.abspath(__file__), "--parquet-child", path],
                         check=True, capture_output=True, text=True)
    figures = json.loads(run.stdout)
    size = os.path.getsize(path) / 1e6
    print(f"Parquet from a {size:.0f} MB generated file ({figures['rows']:,} rows): peak RSS "
          f"{figures['peak']:.0f} MiB over the RSS after imports; the loaded file "
          f"{figures['loaded']:.0f} MiB, so {figures['peak'] - figures['loaded']:.0f} MiB beyond "
          "it")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--betfairutil-repeat", type=int, default=1)
    parser.add_argument("--updates", type=int, default=20000)
    parser.add_argument("--parquet-mb", type=int, default=100, help="0 leaves it out")
    parser.add_argument("--parquet-child", help=argparse.SUPPRESS)
    parser.add_argument("files", nargs="*")
    args = parser.parse_args(argv)
    if args.parquet_child:
        parquet_child(args.parquet_child)
        return
    # Both libraries make publish times with datetime.utcfromtimestamp, which 3.12 deprecates.
    warnings.simplefilter("ignore", DeprecationWarning)
    files = args.files or [generated(f"one_market_{args.updates}.json", markets=1,
                                     updates=args.updates, seed=20220419), *RECORDED]
    for path in files:
        results = measure(path, args.repeat, args.betfairutil_repeat)
        report(path, results)
        dataset(path, args.repeat, results)
    if args.parquet_mb:
        parquet_peak(args.parquet_mb)


if __name__ == "__main__":
    main()
