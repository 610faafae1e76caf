"""write_dataset: many recorded files into a Parquet dataset, a file of rows for each, written
serially, on a process pool or on Dask."""

from __future__ import annotations

import contextlib
import dataclasses
import os
import time
import warnings
from collections.abc import Iterable, Sequence
from typing import Any, NamedTuple

import pelarune

from pelarune_runs.checks import SetupError, check_engine, check_paths
from pelarune_runs.engines import GRACE, Interrupts, Runner, say
from pelarune_runs.journal import Record, difference
from pelarune_runs.paths import Paths, expand
from pelarune_runs.progress import progress_bar
from pelarune_tables.table import Format, check_options, prices_table

__all__ = ["DatasetResult", "write_dataset"]

SUFFIX = ".parquet"
# The run's journal in the output folder; pyarrow's and polars' dataset readers pass over names
# starting with a dot.
JOURNAL = ".pelarune_tables"
INSTALL_PYARROW = "writing Parquet needs pyarrow 15 or later: pip install 'pelarune[tables]'"


class Written(NamedTuple):
    """What a worker did with one file: its rows, whether it holds a market, or why it
    failed."""

    path: str
    rows: int
    error: str | None = None
    markets: bool = True


@dataclasses.dataclass
class DatasetResult:
    """What a run wrote: the Parquet file of each input, the inputs that failed (path and
    error) or gave no rows, and whether the run completed."""

    out_dir: str
    written: dict[str, str]  # input -> its Parquet file, in the inputs' order
    rows: int
    failed: list[tuple[str, str]]
    empty: list[str]  # hold no market: empty, or not a market stream
    seconds: float
    complete: bool = True  # False: interrupted
    skipped: int = 0  # files done by the run this one resumed
    signal: int | None = None  # what interrupted it: SIGINT, SIGTERM or SIGHUP

    @property
    def ok(self) -> bool:
        """Every file was written, each holds a market, and the run completed."""
        return self.complete and not self.failed and not self.empty and \
            len(self.written) + self.skipped > 0

    @property
    def summary(self) -> str:
        files = [f"{len(self.written):,} written", f"{len(self.failed):,} failed",
                 f"{len(self.empty):,} without markets"]
        if self.skipped:
            files.append(f"{self.skipped:,} done before")
        lines = [("files", ", ".join(files)), ("rows", f"{self.rows:,}"),
                 ("time", f"{self.seconds:,.1f} s")]
        if not self.complete:
            lines.append(("incomplete", "interrupted; the files written are kept"))
        return "\n".join(f"{name:<16}{value}" for name, value in lines)


def output_names(paths: Sequence[str], roots: Iterable[str]) -> dict[str, str]:
    """Each input's Parquet file, relative to the output folder: its path relative to the
    deepest folder holding every path given, with ".parquet" added. Distinct inputs have
    distinct relative paths, so their outputs differ, unless a folder given in the inputs is
    named as another input's output (`x.parquet/` beside `x`), which is refused."""
    given = list(roots)
    root = os.path.commonpath(given) if given else ""
    names = {path: os.path.relpath(path, root) + SUFFIX for path in paths}
    folders: set[str] = set()
    for name in names.values():
        folder = name
        while folder := os.path.dirname(folder):
            folders.add(folder)
    for path, name in names.items():
        if name in folders:
            raise SetupError(f"{path}: its output {name} would also be a folder of the output")
    return names


def _partial(target: str) -> str:
    """The name a file is written under until it is whole: hidden, in the same folder, so the
    rename is atomic and readers of the dataset pass over it."""
    folder, name = os.path.split(target)
    return os.path.join(folder, f".{name}.partial")


def write_file(item: tuple[str, str], options: dict[str, Any]) -> Written:
    """Writes one file's rows to its Parquet file batch by batch (memory: the loaded file and a
    batch) under a temporary name, renamed when whole. A file that cannot be read, or whose
    rows cannot be written, is reported, and nothing of it is left."""
    import pyarrow
    import pyarrow.parquet

    source, target = item
    partial = _partial(target)
    rows = 0
    try:
        table = prices_table(source, **options)
        reader = pyarrow.RecordBatchReader.from_stream(table)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with pyarrow.parquet.ParquetWriter(partial, reader.schema) as writer:
            for batch in reader:
                writer.write_batch(batch)
                rows += batch.num_rows
        # No rows: a file of markets without prices, or of none at all (loaded again to tell;
        # iter_prices_file's books are the first market's, so none means no market).
        markets = rows > 0 or len(pelarune.iter_prices_file(source)) > 0
        os.replace(partial, target)
    except Exception as error:  # noqa: BLE001  # any failure is this file's alone
        _remove(partial)
        return Written(source, 0, f"{type(error).__name__}: {error}".replace("\n", " "))
    except BaseException:  # Ctrl-C in the serial engine: nothing half-written stays
        _remove(partial)
        raise
    return Written(source, rows, None, markets)


def _remove(path: str) -> None:
    with contextlib.suppress(FileNotFoundError):
        os.remove(path)


def _check_out_dir(out_dir: str) -> None:
    if os.path.exists(out_dir) and not os.path.isdir(out_dir):
        raise SetupError(f"out {out_dir}: not a folder")
    existing = out_dir
    while not os.path.exists(existing):
        existing = os.path.dirname(existing)
    if not os.access(existing, os.W_OK):
        raise SetupError(f"out {out_dir}: cannot write to {existing}")
    try:
        import pyarrow
    except ImportError:
        raise SetupError(INSTALL_PYARROW) from None
    if int(pyarrow.__version__.split(".")[0]) < 15:
        raise SetupError(INSTALL_PYARROW)


def write_dataset(
    paths: Paths,
    out_dir: str | os.PathLike[str],
    *,
    format: Format = "full_ladder",
    levels: int | None = None,
    inplay_only: bool = False,
    market_types: Iterable[str] | None = None,
    columns: Sequence[str] = (),
    batch_rows: int = 65536,
    engine: str = "process",
    workers: int | None = None,
    scheduler: str | None = None,
    progress: bool | None = None,
    resume: bool = False,
    grace: float = GRACE,
) -> DatasetResult:
    """Writes the rows of each file of `paths` (files, or folders standing for every file
    under them) to a Parquet file of its own under `out_dir`, as `prices_table` gives them
    with the options given.

    A file's output is its path relative to the deepest folder holding every path given, with
    ".parquet" added (`out_dir/2022/Apr/1.197931750.bz2.parquet`), so two inputs never share
    one. Each is written batch by batch under a hidden temporary name and renamed when whole.
    `engine` "serial" writes here, "process" on `workers` processes, "dask" on a LocalCluster
    of `workers` processes or on the cluster whose scheduler is at `scheduler`; the files are
    the same on each. A file that cannot be read is reported in `failed`, and one that holds
    no market in `empty` (its output is written, without rows). The files done are recorded
    in `out_dir/.pelarune_tables.run` with the options; `resume` skips those a previous run
    recorded whose output is there, and is refused with other options. A file whose writing
    ends its worker process is reported failed ("worker died: SIGKILL"), and a resumed run
    reports it again rather than write it. A first Ctrl-C, SIGTERM or SIGHUP stops new files
    and waits up to `grace` seconds for the running ones, a second stops them at once; either
    way the result holds what finished and is marked incomplete, with the signal. Mistakes in
    the call raise SetupError before any file is read.
    """
    started = time.monotonic()
    try:
        check_options(format, levels, inplay_only, market_types, columns, batch_rows)
    except (TypeError, ValueError) as error:
        raise SetupError(str(error)) from None
    # What defines the run: a resumed run with other options is refused.
    options = {"format": format, "levels": levels, "inplay_only": inplay_only,
               "market_types": None if market_types is None else list(market_types),
               "columns": list(columns), "batch_rows": batch_rows}
    workers = workers if workers is not None else os.cpu_count() or 1
    check_engine(engine, workers, scheduler, 1)
    out = os.path.abspath(os.fspath(out_dir))
    _check_out_dir(out)
    given = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    check_paths([os.fspath(path) for path in given])
    found, empty_folders = expand(given)
    for folder in empty_folders:
        warnings.warn(f"{folder} holds no files", stacklevel=2)
    # Once each, and never what a run writes, should the output be under an input folder.
    inputs = [path for path in dict.fromkeys(found)
              if path != out and not path.startswith(out + os.sep)]
    if not inputs:
        warnings.warn("no files to write", stacklevel=2)
    roots = [entry if os.path.isdir(entry) else os.path.dirname(entry)
             for entry in (os.path.abspath(os.fspath(path)) for path in given)]
    targets = {path: os.path.join(out, name)
               for path, name in output_names(inputs, roots).items()}

    os.makedirs(out, exist_ok=True)
    record = Record(os.path.join(out, JOURNAL))
    previous = record.read() if resume else None
    if previous is not None and previous.identity:
        changed = difference(previous.identity, options)
        if changed:
            raise SetupError(f"cannot resume {out}: {changed}; run again without resume")
    done = previous.done if previous is not None else set()
    # A file whose worker died is done, reported again: replayed, it would kill one again.
    facts = previous.facts or {} if previous is not None else {}
    died = {path: fact["failed"] for path, fact in facts.items() if "failed" in fact}
    todo = [path for path in inputs
            if path not in done or not (path in died or os.path.exists(targets[path]))]
    result = DatasetResult(out, {}, 0, [(path, died[path]) for path in inputs
                                        if path in died and path not in todo],
                           [], 0.0, False, len(inputs) - len(todo))

    def finished(item: tuple[str, str], written: Written) -> None:
        if written.error is not None:
            result.failed.append((written.path, written.error))
        else:
            result.written[written.path] = item[1]
            result.rows += written.rows
            if not written.markets:
                result.empty.append(written.path)
            record.chunk([written.path], 0)
        bar.set_postfix({"rows": result.rows, "failed": len(result.failed)}, refresh=False)
        bar.update(1)

    def worker_died(item: tuple[str, str], how: str) -> None:
        failed = f"worker died: {how}"
        result.failed.append((item[0], failed))
        record.chunk([item[0]], 0, facts={item[0]: {"failed": failed}})
        bar.update(1)

    with Interrupts(grace, say) as interrupts, Runner(engine, workers, scheduler,
                                                      interrupts) as runner:
        try:
            record.start(resume, options,
                         recorded=previous is not None and previous.identity is not None)
            with progress_bar(len(todo), "file", progress) as bar:
                bar.set_description("writing")
                result.complete = runner.map(write_file, [(path, targets[path])
                                                          for path in todo], finished, options,
                                             died=worker_died)
        finally:
            record.finish(result.complete)
            result.signal = interrupts.signal
    # Workers stopped at once leave their temporary files.
    for path in todo:
        if path not in result.written:
            _remove(_partial(targets[path]))
    order = {path: i for i, path in enumerate(inputs)}
    result.written = dict(sorted(result.written.items(), key=lambda item: order[item[0]]))
    result.failed.sort(key=lambda failed: order[failed[0]])
    result.empty.sort(key=order.__getitem__)
    result.seconds = time.monotonic() - started
    return result
