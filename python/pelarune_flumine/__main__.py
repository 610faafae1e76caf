"""python -m pelarune_flumine backtest module:factory FOLDER ...: a flumine strategy over every
market file of a folder, with a progress bar, a summary, the orders as CSV or Parquet and a
P&L chart."""

from __future__ import annotations

import argparse
import importlib
import json
import os
import sys
from typing import Any


def _factory(spec: str) -> Any:
    module_name, _, name = spec.partition(":")
    if not module_name or not name:
        raise SystemExit(f"factory {spec!r}: expected module:function")
    # The working directory, as for `python -m`, so that a strategy beside the data imports.
    if os.getcwd() not in sys.path and "" not in sys.path:
        sys.path.insert(0, os.getcwd())
    return getattr(importlib.import_module(module_name), name)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m pelarune_flumine")
    commands = parser.add_subparsers(dest="command", required=True)
    backtest = commands.add_parser(
        "backtest", help="run a strategy over market files",
        description="Runs the strategies that FACTORY(streams) returns over every market file "
                    "of FILES (files or folders) and writes every order.")
    backtest.add_argument("factory", metavar="module:factory")
    backtest.add_argument("files", nargs="+", metavar="FILES")
    backtest.add_argument("--engine", choices=["serial", "process", "dask"], default="process")
    backtest.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    backtest.add_argument("--scheduler", help="address of a running Dask scheduler")
    backtest.add_argument("--listener-kwargs", type=json.loads, default=None, metavar="JSON",
                          help='e.g. \'{"seconds_to_start": 600}\'')
    backtest.add_argument("--event-processing", action="store_true",
                          help="replay the markets of an event together, as flumine does")
    backtest.add_argument("--out", help="orders as CSV, or Parquet for a .parquet name")
    backtest.add_argument("--chart", help="cumulative P&L and P&L by strategy (.png, .svg)")
    args = parser.parse_args(argv)

    from pelarune_flumine.backtest import run_backtest

    factory = _factory(args.factory)
    try:
        result = run_backtest(args.files, factory, listener_kwargs=args.listener_kwargs,
                              engine=args.engine, workers=args.workers,
                              scheduler=args.scheduler, event_processing=args.event_processing)
    except ImportError as error:  # an engine's or an extra's package
        parser.exit(1, f"{error}\n")
    for failed in result.failed:
        if failed.traceback:
            print(failed.traceback, file=sys.stderr)
    print(result.summary)
    if args.out:
        try:
            result.write(args.out)
        except ImportError as error:
            parser.exit(1, f"{error}\n")
        print(f"orders written to {args.out}")
    if args.chart:
        from pelarune_flumine.chart import plot_pnl

        plot_pnl(result, args.chart, title=f"{args.factory} over {result.files:,} files")
        print(f"chart written to {args.chart}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
