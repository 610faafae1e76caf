"""python -m pelarune_flumine backtest module:factory FILES ...: a flumine strategy over every
market file of FILES, with a progress bar, a summary, the orders as CSV or Parquet and a P&L
chart. Exit status: 0 when every file was replayed, 1 when one failed or none was found
(0 with --allow-failures), 2 for a mistake in the command, 130 when interrupted (143 for
SIGTERM, 129 for SIGHUP)."""

from __future__ import annotations

import argparse
import json
import logging
import os
import signal
import sys
from typing import Any

from pelarune_runs import command

_LEVELS = ["debug", "info", "warning", "error", "critical", "off"]
# Above every level: nothing is logged.
_OFF = logging.CRITICAL + 10


def _fraction(text: str) -> float:
    value = float(text)
    if not 0 <= value <= 1:
        raise ValueError(text)
    return value


_fraction.__name__ = "fraction from 0 to 1"


def _json_object(text: str) -> dict[str, Any]:
    value = json.loads(text)
    if not isinstance(value, dict):
        raise TypeError(text)  # argparse words it as an invalid value
    return value


_json_object.__name__ = "JSON object"


def main(argv: list[str] | None = None) -> int:
    return command.main(_main, argv)


def _parser() -> tuple[argparse.ArgumentParser, argparse.ArgumentParser]:
    from pelarune_flumine.backtest import CHUNK_SIZE
    from pelarune_runs.checks import ENGINES

    parser = command.Parser(prog="python -m pelarune_flumine")
    commands = parser.add_subparsers(dest="command", required=True)
    backtest = commands.add_parser(
        "backtest", help="run a strategy over market files",
        formatter_class=command.Help,
        description="Runs the strategies that FACTORY(streams) returns over every market file "
                    "of FILES and writes every order. Exit status: 0 when every file was "
                    "replayed, 1 when one failed or none was found, 2 for a mistake in the "
                    "command, 130 when interrupted (Ctrl-C once waits for the running chunks, "
                    "twice stops them; SIGTERM and SIGHUP as Ctrl-C, 143 and 129).")
    backtest.add_argument("factory", metavar="module:factory",
                          help="a function at the top level of a module (the working "
                               "directory is on the module path) that takes a list of "
                               "streams and returns a flumine strategy or a list of them")
    backtest.add_argument("files", nargs="+", metavar="FILES",
                          help="market files, or folders standing for every file under them")
    backtest.add_argument("--engine", choices=ENGINES, default="process",
                          help="where the chunks run: here, on a process pool or on Dask")
    backtest.add_argument("--workers", type=command.positive, default=os.cpu_count() or 1,
                          help="processes of the pool or of the local Dask cluster")
    backtest.add_argument("--scheduler", help="address of a running Dask scheduler "
                                              "(with --engine dask)")
    backtest.add_argument("--chunk-size", type=command.positive, default=CHUNK_SIZE,
                          help="files a simulation replays together (whole events)")
    backtest.add_argument("--listener-kwargs", type=_json_object, default={}, metavar="JSON",
                          help='flumine\'s listener filters, e.g. \'{"seconds_to_start": 600}\'')
    backtest.add_argument("--event-processing", action="store_true",
                          help="replay the markets of an event together, as flumine does")
    backtest.add_argument("--commission", type=_fraction, default=None, metavar="RATE",
                          help="the simulated client's commission base, charged per market on "
                               "its net winnings (flumine's default: 0.05)")
    backtest.add_argument("--raise-errors", action="store_true",
                          help="fail a file whose strategy raises (flumine's "
                               "config.raise_errors) instead of logging and passing over")
    backtest.add_argument("--out", help="the orders, as CSV or as Parquet for a .parquet name, "
                                        "written as chunks finish")
    backtest.add_argument("--resume", action="store_true",
                          help="skip the files a previous run with the same --out finished")
    backtest.add_argument("--chart", help="cumulative P&L and P&L by strategy (.png, .svg, "
                                          ".pdf)")
    backtest.add_argument("--allow-failures", action="store_true",
                          help="exit 0 even when files failed or held no market")
    backtest.add_argument("--log-level", choices=_LEVELS, default="off",
                          help="flumine's log, from every worker, on stderr")
    backtest.add_argument("--quiet", action="store_true",
                          help="no progress bar and no log")
    return parser, backtest


def _main(argv: list[str] | None) -> int:
    parser, backtest = _parser()
    args = parser.parse_args(argv)
    level = _OFF if args.quiet or args.log_level == "off" else \
        getattr(logging, args.log_level.upper())
    if level == _OFF:
        logging.getLogger().setLevel(level)
    else:
        logging.basicConfig(level=level, format="%(levelname)s %(name)s: %(message)s")

    from flumine import config

    from pelarune_flumine.backtest import SetupError, run_backtest
    from pelarune_flumine.checks import chart_formats, factory_from_spec
    from pelarune_runs.checks import check_output

    config.raise_errors = args.raise_errors
    try:
        if args.chart:
            check_output(args.chart, "--chart", chart_formats())
        factory = factory_from_spec(args.factory)
        result = run_backtest(
            args.files, factory, listener_kwargs=args.listener_kwargs, engine=args.engine,
            workers=args.workers, scheduler=args.scheduler, chunk_size=args.chunk_size,
            event_processing=args.event_processing, out=args.out, resume=args.resume,
            client_kwargs={} if args.commission is None else
            {"commission_base": args.commission},
            progress=False if args.quiet else None, log_level=level)
    except SetupError as error:
        backtest.error(str(error))
    if not result.complete:
        command.interrupted()
    for failed in result.failed:
        if failed.traceback:
            print(failed.traceback, file=sys.stderr)
    print(result.summary)
    if args.out and not args.quiet:
        print(f"orders written to {args.out}")
    if args.chart:
        from pelarune_flumine.chart import plot_pnl

        plot_pnl(result, args.chart, title=f"{args.factory} over {result.files:,} files")
        if not args.quiet:
            print(f"chart written to {args.chart}")
    if not result.complete:
        stopped = signal.Signals(result.signal or signal.SIGINT)
        print(f"{'interrupted' if stopped == signal.SIGINT else stopped.name}: "
              f"{result.files:,} files replayed are kept"
              f"{'; --resume goes on' if args.out else ''}", file=sys.stderr)
        return 128 + int(stopped)
    return 0 if result.ok or args.allow_failures else 1


if __name__ == "__main__":
    sys.exit(main())
