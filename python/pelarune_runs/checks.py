"""The mistakes a run's call can hold that every run shares, found before any file is read and
told in one line each: the engine's settings, the paths given and the output paths."""

from __future__ import annotations

import importlib
import os
import stat
import tempfile
from collections.abc import Sequence


class SetupError(ValueError):
    """A mistake in the call, found before any file is read; one line says what."""


# Where a run's chunks run: here, on a process pool or on Dask.
ENGINES = ("serial", "process", "dask")


def check_engine(engine: str, workers: int, scheduler: str | None, chunk_size: int) -> None:
    if engine not in ENGINES:
        raise SetupError(f"engine must be {', '.join(map(repr, ENGINES[:-1]))} or "
                         f"{ENGINES[-1]!r}, not {engine!r}")
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise SetupError(f"workers must be 1 or more, not {workers!r}")
    if isinstance(chunk_size, bool) or not isinstance(chunk_size, int) or chunk_size < 1:
        raise SetupError(f"chunk size must be 1 or more, not {chunk_size!r}")
    if scheduler is not None and engine != "dask":
        raise SetupError("a scheduler is for the dask engine: add --engine dask")


def check_output(path: str, what: str, formats: dict[str, str],
                 beside: Sequence[str] = ()) -> None:
    """The format by the extension, a folder that exists and takes a new file, and an output
    that, if it exists, is a file that can be written; the same of the run's files named
    `path` + each suffix of `beside` (its journal). Tried, not judged from the permission
    bits, which do not stop root, nor a read-only or pseudo file system."""
    extension = os.path.splitext(path)[1].lower().lstrip(".")
    if extension not in formats:
        raise SetupError(f"{what} {path}: {extension or 'no extension'} is not one of "
                         f"{', '.join('.' + name for name in formats)}")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise SetupError(f"{what} {path}: no folder {folder}")
    try:
        descriptor, trial = tempfile.mkstemp(dir=folder, prefix=".pelarune-")
    except OSError as error:
        raise SetupError(f"{what} {path}: cannot write to {folder} ({error.strerror})"
                         ) from None
    os.close(descriptor)
    os.unlink(trial)
    if os.path.isdir(path):
        raise SetupError(f"{what} {path}: a folder")
    for name in [path, *(path + suffix for suffix in beside)]:
        _check_writable(name, f"{what} {path}: " if name != path else f"{what} ")
    if formats[extension]:
        try:
            importlib.import_module(formats[extension])
        except ImportError:
            raise SetupError(f"{what} {path}: needs {formats[extension]}: "
                             f"pip install {formats[extension]}") from None


def _check_writable(path: str, what: str) -> None:
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return
    if not stat.S_ISREG(mode):
        raise SetupError(f"{what}{path} is not a file")
    try:
        # Appending, which changes nothing; never blocks, as opening a FIFO would.
        os.close(os.open(path, os.O_WRONLY | os.O_APPEND | os.O_NONBLOCK))
    except OSError as error:
        raise SetupError(f"{what}{path}: cannot write to it ({error.strerror})") from None


def check_paths(paths: list[str]) -> None:
    missing = [path for path in paths if not os.path.exists(path)]
    if missing:
        more = f" and {len(missing) - 1} more" if len(missing) > 1 else ""
        raise SetupError(f"no such file or folder: {missing[0]}{more}")
