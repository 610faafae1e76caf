"""python -m pelarune_tables FILES ... --out DIR: the rows of every market file of FILES as a
Parquet dataset, a file for each, with a progress bar and a summary. Exit status: 0 when every
file was written, 1 when one failed, held no market or none was found (0 with
--allow-failures), 2 for a mistake in the command, 130 when interrupted (143 for SIGTERM,
129 for SIGHUP)."""

from __future__ import annotations

import argparse
import os
import signal
import sys

from pelarune_runs import command


def main(argv: list[str] | None = None) -> int:
    return command.main(_main, argv)


def _names(text: str) -> list[str]:
    return [name for name in text.split(",") if name]


_names.__name__ = "comma-separated names"


def _parser() -> argparse.ArgumentParser:
    from pelarune_runs.checks import ENGINES

    parser = command.Parser(
        prog="python -m pelarune_tables", formatter_class=command.Help,
        description="Writes the rows of every market file of FILES to a Parquet file of its "
                    "own under --out: its path relative to the folder holding every FILES, "
                    "with .parquet added. Exit status: 0 when every file was written, 1 when "
                    "one failed, held no market or none was found, 2 for a mistake "
                    "in the command, 130 when interrupted (Ctrl-C once waits for the running "
                    "files, twice stops them; SIGTERM and SIGHUP as Ctrl-C, 143 and 129).")
    parser.add_argument("files", nargs="+", metavar="FILES",
                        help="market files, or folders standing for every file under them")
    parser.add_argument("--out", required=True, metavar="DIR",
                        help="the dataset's folder (made when missing)")
    parser.add_argument("--format", choices=("full_ladder", "last_price_traded"),
                        default="full_ladder", help="a row per ladder level or per runner")
    parser.add_argument("--levels", type=command.positive,
                        help="the first n levels of each side (full ladder)")
    parser.add_argument("--inplay-only", action="store_true",
                        help="only books of markets in play")
    parser.add_argument("--market-types", type=_names, metavar="TYPES",
                        help="only books of these market types, e.g. WIN,PLACE")
    parser.add_argument("--columns", type=_names, default=[], metavar="NAMES",
                        help="more columns: runner_status, runner_name, definition keys")
    parser.add_argument("--engine", choices=ENGINES, default="process",
                        help="where the files are written: here, on a process pool or on Dask")
    parser.add_argument("--workers", type=command.positive, default=os.cpu_count() or 1,
                        help="processes of the pool or of the local Dask cluster")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler "
                                            "(with --engine dask)")
    parser.add_argument("--resume", action="store_true",
                        help="skip the files a previous run with the same --out finished")
    parser.add_argument("--allow-failures", action="store_true",
                        help="exit 0 even when files failed or held no market")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")
    return parser


def _main(argv: list[str] | None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)

    from pelarune_runs.checks import SetupError
    from pelarune_tables.dataset import write_dataset

    try:
        result = write_dataset(
            args.files, args.out, format=args.format, levels=args.levels,
            inplay_only=args.inplay_only, market_types=args.market_types, columns=args.columns,
            engine=args.engine, workers=args.workers, scheduler=args.scheduler,
            resume=args.resume, progress=False if args.quiet else None)
    except SetupError as error:
        parser.error(str(error))
    if not result.complete:
        command.interrupted()
    for path, reason in result.failed:
        print(f"failed: {path}: {reason}", file=sys.stderr)
    for path in result.empty:
        print(f"no market: {path}", file=sys.stderr)
    print(result.summary)
    if not args.quiet:
        print(f"written to {result.out_dir}")
    if not result.complete:
        stopped = signal.Signals(result.signal or signal.SIGINT)
        print(f"{'interrupted' if stopped == signal.SIGINT else stopped.name}: "
              f"{len(result.written):,} files written are kept; --resume goes on",
              file=sys.stderr)
        return 128 + int(stopped)
    return 0 if result.ok or args.allow_failures else 1


if __name__ == "__main__":
    sys.exit(main())
