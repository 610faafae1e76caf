"""Planning a backtest: the files of the paths given, the markets and event each holds, and
chunks of whole events with every market replayed once, from its fastest form."""

from __future__ import annotations

import os
import warnings
from collections.abc import Iterable, Sequence
from typing import Any, Union

from pelarune_flumine.simulation import File

Paths = Union[str, "os.PathLike[str]", Iterable[Union[str, "os.PathLike[str]"]]]
Scan = tuple[str, list[str], str | None, str | None]  # path, markets, event, error

# Files per scanning task: a scan is one read of the file, too little to pay a round trip alone.
SCAN_BATCH = 32


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


def scan(paths: list[str]) -> list[Scan]:
    """(path, markets, event, error) of each file: the markets it holds, in the order first
    named, and their event (the first definition's eventId; the exchange writes one file per
    market or per event)."""
    from pelarune_flumine.stream import markets_of

    scanned: list[Scan] = []
    for path in paths:
        try:
            markets = markets_of(path)
        except Exception as error:  # noqa: BLE001  # unreadable, damaged or truncated
            scanned.append((path, [], None, f"{type(error).__name__}: {error}"))
            continue
        events = [event for _, event in markets if event is not None]
        scanned.append((path, [market for market, _ in markets], events[0] if events else None,
                        None))
    return scanned


def _decode_cost(path: str) -> int:
    """A form's rank by the cost of decoding it: bzip2 costs several times gzip."""
    return 2 if path.endswith(".bz2") else 1 if path.endswith((".gz", ".gzip")) else 0


def plan(scanned: Sequence[tuple[str, list[str], str | None]], chunk_size: int
         ) -> tuple[list[list[File]], list[str]]:
    """Chunks of whole events, and the files left out because every market they hold is
    replayed from another file. Event-level files are kept first, so a market that also has
    its own file is replayed within its event; of two forms of one market (a .bz2 and its
    .gz), the faster to decode. A warning names each file left out and the file replayed."""
    covered: dict[str, str] = {}
    kept: set[str] = set()
    left_out = []
    for path, markets, _ in sorted(scanned, key=lambda scan: (len(scan[1]) < 2,
                                                              _decode_cost(scan[0]))):
        if markets and all(market in covered for market in markets):
            left_out.append(path)
            warnings.warn(f"{path} left out: {', '.join(markets)} replayed from "
                          f"{covered[markets[0]]}", stacklevel=3)
            continue
        kept.add(path)
        for market in markets:
            covered.setdefault(market, path)
    events: dict[Any, list[File]] = {}
    for path, _, event in scanned:
        if path in kept:
            # A file without an event (no definition) is a unit alone.
            events.setdefault(event if event is not None else (path,), []).append((path, event))
    chunks: list[list[File]] = []
    for unit in events.values():
        if chunks and len(chunks[-1]) + len(unit) <= chunk_size:
            chunks[-1].extend(unit)
        else:
            chunks.append(list(unit))
    return chunks, left_out
