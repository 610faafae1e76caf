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
import threading
import warnings
from typing import Any, NoReturn

_LEVELS = ["debug", "info", "warning", "error", "critical", "off"]
# Above every level: nothing is logged.
_OFF = logging.CRITICAL + 10


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, not the usage: the mistake is what the user needs to see.
        self.exit(2, f"{self.prog}: error: {message}\n")


class _Help(argparse.ArgumentDefaultsHelpFormatter):
    """Shows the defaults that say something: not an option's absence."""

    def _get_help_string(self, action: argparse.Action) -> str | None:
        if action.default in (None, False, {}):
            return action.help
        return super()._get_help_string(action)


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise ValueError(text)
    return value


_positive.__name__ = "positive integer"


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


def _parser() -> tuple[argparse.ArgumentParser, argparse.ArgumentParser]:
    from pelarune_flumine.backtest import CHUNK_SIZE
    from pelarune_flumine.checks import ENGINES

    parser = _Parser(prog="python -m pelarune_flumine")
    commands = parser.add_subparsers(dest="command", required=True)
    backtest = commands.add_parser(
        "backtest", help="run a strategy over market files",
        formatter_class=_Help,
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
    backtest.add_argument("--workers", type=_positive, default=os.cpu_count() or 1,
                          help="processes of the pool or of the local Dask cluster")
    backtest.add_argument("--scheduler", help="address of a running Dask scheduler "
                                              "(with --engine dask)")
    backtest.add_argument("--chunk-size", type=_positive, default=CHUNK_SIZE,
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


def _one_line(message: Any, category: Any, filename: str, lineno: int,
              line: str | None = None) -> str:
    return f"warning: {message}\n"


def _interrupted() -> None:
    """From here on the run only reports and exits: a further Ctrl-C or SIGTERM, which would
    otherwise end the interpreter as it shuts down, is not news."""
    if threading.current_thread() is threading.main_thread():
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, signal.SIG_IGN)


def main(argv: list[str] | None = None) -> int:
    formatwarning = warnings.formatwarning
    warnings.formatwarning = _one_line
    try:
        return _main(argv)
    except KeyboardInterrupt:
        # Before the run took Ctrl-C over (imports), or after it (the chart): nothing runs.
        _interrupted()
        print("interrupted", file=sys.stderr)
        return 130
    finally:
        warnings.formatwarning = formatwarning


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
    from pelarune_flumine.checks import chart_formats, check_output, factory_from_spec

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
        _interrupted()
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
        return 128 + stopped
    return 0 if result.ok or args.allow_failures else 1


if __name__ == "__main__":
    sys.exit(main())
