"""The files of the paths a run is given."""

from __future__ import annotations

import os
import warnings
from collections.abc import Collection, Iterable
from typing import Union

Paths = Union[str, "os.PathLike[str]", Iterable[Union[str, "os.PathLike[str]"]]]


# Beside the data, not data: a strategy module and what Python caches of it.
_CODE = (".py", ".pyc")


def expand(files: Paths, exclude: Collection[str] = ()) -> tuple[list[str], list[str]]:
    """Absolute paths, a folder standing for every file under it (sorted; hidden ones,
    `__pycache__` and Python files left out, the last two named in a warning), as the
    exchange's archives unpack into folders by date and event; and the folders that hold no
    file. `exclude`, the run's own files (its output and journal), is never a path."""
    given = [files] if isinstance(files, (str, os.PathLike)) else list(files)
    excluded = {os.path.abspath(path) for path in exclude}
    paths: list[str] = []
    empty = []
    passed_over: list[str] = []
    for given_entry in given:
        # Absolute before they reach a worker, which may run elsewhere.
        entry = os.path.abspath(os.fspath(given_entry))
        if not os.path.isdir(entry):
            if entry not in excluded:
                paths.append(entry)
            continue
        found = []
        for folder, folders, names in os.walk(entry):
            passed_over += sorted(os.path.join(folder, name) for name in folders
                                  if name == "__pycache__")
            folders[:] = sorted(name for name in folders
                                if not name.startswith(".") and name != "__pycache__")
            for name in names:
                path = os.path.join(folder, name)
                if name.endswith(_CODE):
                    passed_over.append(path)
                elif not name.startswith(".") and path not in excluded:
                    found.append(path)
        if not found:
            empty.append(entry)
        paths += sorted(found)
    if passed_over:
        warnings.warn(f"passed over, not market data: {', '.join(sorted(passed_over))}",
                      stacklevel=3)
    return paths, empty
