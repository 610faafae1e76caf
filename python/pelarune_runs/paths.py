"""The files of the paths a run is given."""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import Union

Paths = Union[str, "os.PathLike[str]", Iterable[Union[str, "os.PathLike[str]"]]]


def expand(files: Paths) -> tuple[list[str], list[str]]:
    """Absolute paths, a folder standing for every file under it (sorted, hidden ones left
    out), as the exchange's archives unpack into folders by date and event; and the folders
    that hold no file."""
    given = [files] if isinstance(files, (str, os.PathLike)) else list(files)
    paths: list[str] = []
    empty = []
    for given_entry in given:
        # Absolute before they reach a worker, which may run elsewhere.
        entry = os.path.abspath(os.fspath(given_entry))
        if not os.path.isdir(entry):
            paths.append(entry)
            continue
        found = []
        for folder, folders, names in os.walk(entry):
            folders[:] = [name for name in folders if not name.startswith(".")]
            found += [os.path.join(folder, name) for name in names if not name.startswith(".")]
        if not found:
            empty.append(entry)
        paths += sorted(found)
    return paths, empty
