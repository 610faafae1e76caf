"""A backtest's parent side: what the batches report, kept as they finish, and an event whose
files two batches held found and taken out, to be replayed again whole."""

from __future__ import annotations

from typing import Any

from pelarune_flumine.planning import LeftOut, Scan
from pelarune_flumine.rows import FailedFile, OrderRow, RowWriter, unwire
from pelarune_flumine.simulation import BatchResult, ChunkResult
from pelarune_flumine.summary import Tally, Totals
from pelarune_runs.journal import Previous, Record


def _facts(result: ChunkResult, scans: dict[str, Scan], paths: list[str]
           ) -> dict[str, Any]:
    """What a resumed run needs of each file done to summarize the whole run: its books, its
    markets' commission and its strategy errors (the orders are in the output)."""
    facts: dict[str, Any] = {}
    for path in paths:
        markets = scans[path].markets if path in scans else []
        facts[path] = {
            "books": result.books.get(path, 0),
            "commission": {market: result.commission[market] for market in markets
                           if market in result.commission},
            "errors": {strategy: count for (culprit, strategy), count in result.errors.items()
                       if culprit == path}}
    return facts


def add_previous(totals: Totals, facts: dict[str, Any], again: set[str]) -> None:
    """Adds what the resumed run reported of the files it did, but those done again."""
    commission: dict[str, dict[str, float]] = {}
    for path, fact in facts.items():
        if path in again:
            continue
        if "failed" in fact:
            totals.failed.append(FailedFile(path, fact["failed"]))
            continue
        totals.books += fact["books"]
        commission.update(fact["commission"])
        for strategy, count in fact["errors"].items():
            totals.errors[(path, strategy)] = count
    for shares in commission.values():
        for name, share in shares.items():
            totals.commission[name] = totals.commission.get(name, 0.0) + share


class Ledger:
    """What the batches report, kept as they finish: rows written and files recorded. An event
    found in two batches (or in a batch and the files a resumed run did) is taken out of what
    was kept, to be replayed again, whole, in a batch of its own."""

    def __init__(self, todo: list[str], previous: Previous, writer: RowWriter | None,
                 record: Record | None, bar: Any) -> None:
        self.order = {path: i for i, path in enumerate(todo)}
        self.writer, self.record, self.bar = writer, record, bar
        self.scans: dict[str, Scan] = {}
        # event, or ("market", id) -> the batches holding its files; -1: the previous run
        self.owners: dict[Any, set[int]] = {}
        for path, (event, markets) in previous.events.items():
            self.scans[path] = Scan(path, markets, event)
            for key in [event, *(("market", market) for market in markets)]:
                self.owners.setdefault(key, set()).add(-1)
        self.previous = set(previous.events)
        self.split: set[str] = set()
        self.results: list[ChunkResult] = []
        self.rows: list[OrderRow] = []  # without a writer; with one, they are written
        self.tally = Tally()
        self.left_out: list[LeftOut] = []
        self.died_in: list[FailedFile] = []  # files whose replay ended the worker
        self.batches = 0
        self.redone = 0  # files the previous run did, done again

    def _paths_of(self, events: set[str]) -> set[str]:
        return {path for path, scan in self.scans.items() if scan.event in events}

    def _markets_of(self, events: set[str]) -> list[str]:
        return sorted({market for scan in self.scans.values() if scan.event in events
                       for market in scan.markets})

    def _linked(self, events: set[str]) -> set[str]:
        """The events and those of every file that holds one of their markets: an event's
        market in another event's file (an event-level file) makes them one to replay."""
        while True:
            markets = set(self._markets_of(events))
            more = {scan.event for scan in self.scans.values() if scan.event is not None
                    and not markets.isdisjoint(scan.markets)}
            if more <= events:
                return events
            events = events | more

    def batch_done(self, paths: list[str], batch: BatchResult) -> None:
        number = self.batches
        self.batches += 1
        events = {scan.event for scan in batch.scans if scan.event is not None}
        markets = {market for scan in batch.scans for market in scan.markets}
        for scan in batch.scans:
            self.scans[scan.path] = scan
        for key in events | {("market", market) for market in markets}:
            self.owners.setdefault(key, set()).add(number)
        shared = {event for event in events if len(self.owners[event]) > 1}
        markets = {market for market in markets if len(self.owners[("market", market)]) > 1}
        if markets:
            shared |= {scan.event for scan in self.scans.values()
                       if scan.event is not None and not markets.isdisjoint(scan.markets)}
        newly = self._linked(shared) - self.split if shared - self.split else set()
        if newly:
            self.split |= newly
            gone, split_markets = self._paths_of(newly), self._markets_of(newly)
            self.results = [result.without(gone, set(split_markets)) for result in self.results]
            self.rows = [row for row in self.rows if row.market_id not in split_markets]
            self.tally.drop(split_markets)
            self.left_out = [entry for entry in self.left_out if entry.path not in gone]
            if self.writer is not None and self.record is not None:
                self.record.undo(sorted(gone - set(paths)), self.writer.drop(split_markets))
        split_here = self.split & events
        if not split_here:
            self._keep(paths, batch.left_out, batch.result)
            return
        gone = self._paths_of(split_here)
        self._keep([path for path in paths if path not in gone],
                   [entry for entry in batch.left_out if entry.path not in gone],
                   batch.result.without(gone, set(self._markets_of(split_here))))

    def again_done(self, paths: list[str], batch: BatchResult) -> None:
        """An event replayed whole: all it gives is kept."""
        self.redone += len(self.previous & set(paths))
        self._keep(paths, batch.left_out, batch.result)

    def _keep(self, paths: list[str], left_out: list[LeftOut], result: ChunkResult) -> None:
        new = list(map(unwire, result.rows))
        result.rows = []
        self.results.append(result)
        self.tally.add(new)
        self.left_out += left_out
        if self.record is not None and self.writer is not None:
            failed = {failed.path for failed in result.failed}
            done = [path for path in paths
                    if path in set(result.paths) - failed | {entry.path for entry in left_out}]
            self.record.chunk(done, self.writer.write(new),
                              [(path, event, scan.markets) for path in done
                               if (event := (scan := self.scans[path]).event)],
                              _facts(result, self.scans, done))
        else:
            self.rows += new
        self.bar.set_postfix({"orders": self.tally.orders,
                              "failed": sum(len(result.failed) for result in self.results)},
                             refresh=False)
        self.bar.update(len(paths))

    def died(self, paths: list[str], how: str) -> None:
        """A file whose replay ended its worker, alone: reported, and recorded as done, so that
        a resumed run goes past it."""
        self.died_in += [FailedFile(path, f"worker died: {how}") for path in paths]
        if self.record is not None and self.writer is not None:
            self.record.chunk(paths, self.writer.write([]), (),
                              {path: {"failed": f"worker died: {how}"} for path in paths})
        self.bar.update(len(paths))

    def replayed_again(self) -> set[str]:
        """The files of the events replayed again whole, the resumed run's among them."""
        return self._paths_of(self.split)

    def again(self) -> list[list[str]]:
        """The files of each split event (with the events it shares markets with), a batch of
        their own."""
        left = set(self.split)
        again = []
        while left:
            linked = self._linked({min(left)})
            left -= linked
            again.append(sorted(self._paths_of(linked), key=self._by_order))
        return again

    def _by_order(self, path: str) -> int:
        return self.order.get(path, -1)

    def totals(self) -> Totals:
        totals = Totals()
        unread = [FailedFile(scan.path, scan.error) for scan in self.scans.values()
                  if scan.error is not None]
        for result in self.results:
            totals.files += len(result.replayed)
            totals.books += sum(result.books.values())
            for shares in result.commission.values():
                for name, share in shares.items():
                    totals.commission[name] = totals.commission.get(name, 0.0) + share
            totals.failed += result.failed
            for key, count in result.errors.items():
                totals.errors[key] = totals.errors.get(key, 0) + count
        totals.failed = sorted(unread + self.died_in,
                               key=lambda failed: self._by_order(failed.path)) + totals.failed
        return totals

    def empty(self) -> list[str]:
        """Files that hold no market, in path order."""
        return sorted((scan.path for scan in self.scans.values()
                       if scan.error is None and not scan.markets), key=self._by_order)
