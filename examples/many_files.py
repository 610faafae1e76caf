"""One job over every market file of a folder, run three ways: a plain loop, a process pool
and Dask distributed. All three return the same list, in the files' order.

    python examples/many_files.py FOLDER [--engine serial|process|dask|all] [--workers N]

The default engine is "all" when Dask is installed and "process" when it is not ("loop" is
accepted for "serial").

Each worker reads whole files and sends back only the small results of pre_off.summarise; the
books never leave the process that made them. A file that cannot be read (a stray note, a
damaged or partial download) is reported with its error, and the job goes on without it. The
Dask form runs a LocalCluster here; on a real cluster, pass the scheduler's address
(--scheduler tcp://host:8786) and make pelarune and this folder's pre_off module importable on
the workers (for example with Client.upload_file).
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass
from typing import Callable

from pre_off import MarketAtOff, summarise


@dataclass(frozen=True)
class Failed:
    """A file the job could not read, and why."""
    path: str
    error: str


Results = list[MarketAtOff | Failed | None]


def read_file(path: str) -> MarketAtOff | Failed | None:
    """pre_off.summarise, with a file that fails to load reported instead of ending the job."""
    try:
        return summarise(path)
    except ValueError as error:  # unreadable, damaged or not a stream file
        return Failed(path, str(error))


def market_files(folder: str) -> list[str]:
    """Every file of the folder, sorted, so that every engine sees the same order."""
    names = sorted(os.listdir(folder))
    return [os.path.join(folder, name) for name in names
            if os.path.isfile(os.path.join(folder, name))]


def run_serial(paths: list[str]) -> Results:
    return [read_file(path) for path in paths]


def run_process_pool(paths: list[str], workers: int) -> Results:
    # A few files per task: one file is too little work to pay for a round trip on its own.
    chunk = max(1, len(paths) // (workers * 8))
    with ProcessPoolExecutor(max_workers=workers) as pool:
        return list(pool.map(read_file, paths, chunksize=chunk))


def run_dask(paths: list[str], workers: int, scheduler: str | None = None) -> Results:
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        sys.exit(INSTALL_DASK)

    # Dask leaves the constructors of Client and LocalCluster unannotated.
    if scheduler is not None:
        with Client(scheduler) as client:  # type: ignore[no-untyped-call]
            return list(client.gather(client.map(read_file, paths)))
    # One single-threaded worker process per core: the replay holds the interpreter lock.
    with LocalCluster(  # type: ignore[no-untyped-call]
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
    ) as cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
        return list(client.gather(client.map(read_file, paths)))


INSTALL_DASK = "Dask is not installed: pip install 'dask[distributed]'"


def dask_installed() -> bool:
    return importlib.util.find_spec("dask") is not None


def favourite_won_share(results: Results) -> float | None:
    """How often the runner with the shortest best back price just before the off won."""
    wins = markets = 0
    for market in results:
        if not isinstance(market, MarketAtOff):
            continue
        priced = [(runner.best_back, runner.won) for runner in market.runners
                  if runner.best_back is not None]
        if not priced or not any(runner.won for runner in market.runners):
            continue
        markets += 1
        wins += min(priced)[1]
    return wins / markets if markets else None


def main(argv: list[str]) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("folder")
    parser.add_argument("--engine", choices=["serial", "loop", "process", "dask", "all"],
                        default="all" if dask_installed() else "process")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    args = parser.parse_args(argv)

    paths = market_files(args.folder)
    if args.engine in ("dask", "all") and not dask_installed():
        sys.exit(INSTALL_DASK)
    engines: dict[str, Callable[[], Results]] = {
        "serial": lambda: run_serial(paths),
        "process": lambda: run_process_pool(paths, args.workers),
        "dask": lambda: run_dask(paths, args.workers, args.scheduler),
    }
    engine = "serial" if args.engine == "loop" else args.engine
    chosen = list(engines) if engine == "all" else [engine]
    reference: Results | None = None
    timings: dict[str, float] = {}
    for name in chosen:
        start = time.perf_counter()
        results = engines[name]()
        timings[name] = time.perf_counter() - start
        if reference is None:
            reference = results
            for failed in results:
                if isinstance(failed, Failed):
                    print(f"{failed.path}: {failed.error}", file=sys.stderr)
        elif results != reference:
            sys.exit(f"{name}: results differ from {chosen[0]}")
        base = timings[chosen[0]]
        print(f"{name:8} {timings[name]:7.2f} s  {base / timings[name]:5.2f}x {chosen[0]}"
              f"  ({len(paths)} files, {args.workers if name != 'serial' else 1} processes)")
    failures = sum(isinstance(result, Failed) for result in reference or [])
    print(f"{len(paths) - failures} files read, {failures} failed")
    if "dask" in chosen and args.scheduler is None:
        start = time.perf_counter()
        run_dask([], args.workers)
        print(f"(of which about {time.perf_counter() - start:.2f} s start and stop the Dask "
              f"LocalCluster, measured on no files)")
    share = favourite_won_share(reference or [])
    if share is not None:
        print(f"favourite just before the off won {share:.0%} of the markets with a winner")


if __name__ == "__main__":
    main(sys.argv[1:])
