"""A run's journal beside its output: what each finished chunk did, so that a run cut short
resumes where it stopped."""

from __future__ import annotations

import json
import os
from collections.abc import Sequence
from typing import Any, NamedTuple


class Drop(NamedTuple):
    """The rows of `markets` written before `size` (bytes of a CSV, rows of a Parquet file):
    an event's rows from a part of its files, replayed again whole."""

    markets: list[str]
    size: int


class Previous(NamedTuple):
    """What a run's record says of it."""

    done: set[str]
    size: int | None  # of the output to keep; None: start the file again
    complete: bool
    events: dict[str, tuple[str, list[str]]]  # path done -> its event and markets
    drops: list[Drop]  # not yet applied to the output
    identity: dict[str, Any] | None = None  # what defined the run; None: not recorded
    facts: dict[str, Any] | None = None  # path done -> what its run reported of it


def plain(identity: dict[str, Any]) -> dict[str, Any]:
    """The identity as the journal gives it back: JSON's values, anything else as its repr."""
    value: dict[str, Any] = json.loads(json.dumps(identity, default=repr))
    return value


def difference(previous: dict[str, Any], identity: dict[str, Any]) -> str | None:
    """The first of what defines a run that differs, as "<name> was <then>, now <now>"."""
    identity = plain(identity)
    for name in [*identity, *(name for name in previous if name not in identity)]:
        then, now = previous.get(name), identity.get(name)
        if then != now:
            return f"{name} was {json.dumps(then)}, now {json.dumps(now)}"
    return None


class Record:
    """The run's record beside its output (`<out>.run`, JSON lines): the files each finished
    chunk held (with the event and markets of those that have one), the output's size after
    it, the files done again when their event turned out to have files in another batch and
    the rows dropped for it, and whether the run completed; first, what defines the run, so
    that a run resumed with another definition is refused. A resumed run skips the files it
    names. A Parquet file is readable only once closed, so its chunks are recorded when it is
    (`held`): after a crash, a Parquet run starts over."""

    def __init__(self, out: str, held: bool = False) -> None:
        self.path = f"{out}.run"
        self._parquet = held  # chunks recorded when the output is closed
        self._pending: list[str] = []

    def read(self) -> Previous:
        facts: dict[str, Any] = {}
        previous = Previous(set(), None, False, {}, [], facts=facts)
        try:
            with open(self.path, encoding="utf-8") as record:
                lines = [json.loads(line) for line in record if line.endswith("\n")]
        except FileNotFoundError:
            return previous
        size: int | None = None
        complete = False
        identity = None
        for line in lines:
            if "run" in line:
                identity = line["run"]
            if "done" in line:
                previous.done.update(line["done"])
                previous.events.update({path: (event, markets)
                                        for path, event, markets in line.get("events", [])})
                facts.update(line.get("facts", {}))
                size = line["size"]
            if "undo" in line:
                previous.done.difference_update(line["undo"])
                for path in line["undo"]:
                    previous.events.pop(path, None)
                    facts.pop(path, None)
                previous.drops.append(Drop(line["drop"], line["size"]))
                size = line["size"]
            if "complete" in line:
                complete = bool(line["complete"])
                previous.drops.clear()  # the writer applied them when it closed
        return previous._replace(size=size, complete=complete, identity=identity)

    def start(self, resume: bool, identity: dict[str, Any] | None = None,
              recorded: bool = False) -> None:
        """A new journal, unless resumed; `identity` written first when it is not `recorded`
        (a journal of a version that did not record it)."""
        if not resume:
            with open(self.path, "w", encoding="utf-8"):
                pass
        if identity is not None and not (resume and recorded):
            self._append(json.dumps({"run": plain(identity)}) + "\n")

    def chunk(self, paths: list[str], size: int,
              events: Sequence[tuple[str, str, list[str]]] = (),
              facts: dict[str, Any] | None = None) -> None:
        """The files a chunk did, the output's size after it, and what the run needs to know
        of them when it is resumed (`facts`, by path, as JSON)."""
        entry: dict[str, Any] = {"done": paths, "size": size, "events": list(events)}
        if facts:
            entry["facts"] = facts
        self._add(entry, pending=self._parquet)

    def undo(self, paths: list[str], drop: Drop) -> None:
        """Files recorded done that are to be replayed again, and the rows dropped."""
        self._add({"undo": paths, "drop": drop.markets, "size": drop.size},
                  pending=self._parquet)

    def finish(self, complete: bool) -> None:
        for line in self._pending:
            self._append(line)
        self._pending = []
        self._add({"complete": complete}, pending=False)

    def _add(self, entry: dict[str, Any], pending: bool) -> None:
        line = json.dumps(entry) + "\n"
        if pending:
            self._pending.append(line)
        else:
            self._append(line)

    def _append(self, line: str) -> None:
        with open(self.path, "a", encoding="utf-8") as record:
            record.write(line)
            record.flush()
            os.fsync(record.fileno())
