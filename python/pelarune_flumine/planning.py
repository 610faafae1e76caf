"""Planning a backtest: the files given in batches by folder (an event's
files share one), and within a batch, from each file's markets and event, chunks of whole
events with every market replayed once, from its fastest form."""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from typing import Any, NamedTuple


class Scan(NamedTuple):
    """What a file holds: its markets, in the order first named, and their event (the first
    definition's eventId; the exchange writes one file per market or per event); or why it
    could not be read."""

    path: str
    markets: list[str]
    event: str | None
    error: str | None = None


class File(NamedTuple):
    """A file as a chunk replays it: its path and its event, the group flumine's event
    processing puts it in."""

    path: str
    event: str | None


class LeftOut(NamedTuple):
    """A file not replayed, since every market it holds is replayed from `instead`."""

    path: str
    markets: list[str]
    instead: str

    def warning(self) -> str:
        return f"{self.path} left out: {', '.join(self.markets)} replayed from {self.instead}"


def batches(paths: list[str], size: int) -> list[list[str]]:
    """The files in batches of about `size`, by folder: the exchange's archives keep an
    event's files in a folder of their own, so its files usually share a batch. A folder of
    more than `size` files is cut in order of name; small folders are packed together as
    plan packs events."""
    folders: dict[str, list[str]] = {}
    for path in paths:
        folders.setdefault(os.path.dirname(path), []).append(path)
    units = [files[i:i + size] for files in folders.values() for i in range(0, len(files), size)]
    return _pack(units, size)


def _pack(units: Iterable[list[Any]], size: int) -> list[list[Any]]:
    packed: list[list[Any]] = []
    for unit in units:
        if packed and len(packed[-1]) + len(unit) <= size:
            packed[-1].extend(unit)
        else:
            packed.append(list(unit))
    return packed


def _decode_cost(path: str) -> int:
    """A form's rank by the cost of decoding it: bzip2 costs several times gzip."""
    return 2 if path.endswith(".bz2") else 1 if path.endswith((".gz", ".gzip")) else 0


def plan(scanned: Sequence[Scan], chunk_size: int) -> tuple[list[list[File]], list[LeftOut]]:
    """Chunks of whole events, and the files left out because every market they hold is
    replayed from another file. Event-level files are kept first, so a market that also has
    its own file is replayed within its event; of two forms of one market (a .bz2 and its
    .gz), the faster to decode."""
    covered: dict[str, str] = {}
    kept: set[str] = set()
    left_out = []
    for scan in sorted(scanned, key=lambda scan: (len(scan.markets) < 2,
                                                  _decode_cost(scan.path))):
        if scan.markets and all(market in covered for market in scan.markets):
            left_out.append(LeftOut(scan.path, scan.markets, covered[scan.markets[0]]))
            continue
        kept.add(scan.path)
        for market in scan.markets:
            covered.setdefault(market, scan.path)
    events: dict[Any, list[File]] = {}
    for scan in scanned:
        if scan.path in kept:
            # A file without an event (no definition) is a unit alone.
            key = scan.event if scan.event is not None else (scan.path,)
            events.setdefault(key, []).append(File(scan.path, scan.event))
    return _pack(events.values(), chunk_size), left_out
