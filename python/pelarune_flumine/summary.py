"""A backtest's result: its orders, the files that failed or held no market, and a summary
table of the run and of each strategy."""

from __future__ import annotations

import dataclasses
import datetime
from collections.abc import Iterable, Sequence
from typing import Any, overload

from pelarune_flumine.rows import COLUMNS, FailedFile, OrderRow, read, write


@dataclasses.dataclass
class Totals:
    """What the chunks report besides their rows."""

    files: int = 0  # replayed
    books: int = 0
    # flumine's, market by market as it clears them, by strategy
    commission: dict[str, float] = dataclasses.field(default_factory=dict)
    failed: list[FailedFile] = dataclasses.field(default_factory=list)
    # (path, strategy name) -> strategy errors counted in the file's markets
    errors: dict[tuple[str, str], int] = dataclasses.field(default_factory=dict)


class Tally:
    """Orders, matched volume and P&L by market and strategy, with each market's start, kept
    as rows arrive: what the summary and the chart need, in memory that grows with the markets,
    not the orders."""

    def __init__(self) -> None:
        # market -> (its first row's start, strategy -> [orders, matched, P&L])
        self.markets: dict[str, tuple[datetime.datetime | None, dict[str, list[Any]]]] = {}
        self.orders = 0

    @classmethod
    def of(cls, rows: Iterable[OrderRow]) -> Tally:
        tally = cls()
        tally.add(rows)
        return tally

    def add(self, rows: Iterable[OrderRow]) -> None:
        for row in rows:
            _, strategies = self.markets.setdefault(row.market_id, (row.market_start, {}))
            entry = strategies.setdefault(row.strategy, [0, 0.0, 0.0])
            entry[0] += 1
            entry[1] += row.size_matched
            entry[2] += row.profit
            self.orders += 1

    def drop(self, markets: Iterable[str]) -> None:
        for market in markets:
            _, strategies = self.markets.pop(market, (None, {}))
            self.orders -= sum(entry[0] for entry in strategies.values())

    def by_strategy(self) -> dict[str, list[Any]]:
        """Strategy -> [orders, matched, P&L], summed market by market in market order."""
        table: dict[str, list[Any]] = {}
        for market in sorted(self.markets):
            for name, (orders, matched, profit) in self.markets[market][1].items():
                entry = table.setdefault(name, [0, 0.0, 0.0])
                entry[0] += orders
                entry[1] += matched
                entry[2] += profit
        return table

    def by_market(self) -> dict[str, tuple[datetime.datetime | None, float]]:
        """Market -> its start and P&L."""
        return {market: (start, sum(entry[2] for entry in strategies.values()))
                for market, (start, strategies) in self.markets.items()}


class BacktestResult(Sequence[OrderRow]):
    """Every order of every market, sorted by market and then in the order the strategy created
    them, with the files that failed and a summary. A run written to a file gives its orders
    from the file, read when first asked for, and its summary from running totals."""

    def __init__(self, rows: list[OrderRow] | None, totals: Totals, *, left_out: list[str],
                 empty: list[str], seconds: float, complete: bool = True,
                 skipped: int = 0, signal: int | None = None, tally: Tally | None = None,
                 source: str | None = None) -> None:
        self._rows = rows
        self._source = source  # the rows' file, when `rows` is None
        self.tally = tally if tally is not None else Tally.of(rows or [])
        self.failed = totals.failed
        self.files = totals.files  # replayed
        self.books = totals.books
        self.commission_by_strategy = totals.commission
        self.commission = round(sum(totals.commission.values()), 2)
        self.errors_by_file = totals.errors
        self.left_out = left_out  # files whose markets were all replayed from another file
        self.empty = empty  # files that hold no market: empty, or not a market stream
        self.seconds = seconds
        self.complete = complete  # False: interrupted
        self.signal = signal  # the one that stopped the run: SIGINT, SIGTERM or SIGHUP
        self.skipped = skipped  # files done by the run this one resumed

    @overload
    def __getitem__(self, index: int) -> OrderRow: ...

    @overload
    def __getitem__(self, index: slice) -> list[OrderRow]: ...

    def __getitem__(self, index: int | slice) -> OrderRow | list[OrderRow]:
        return self.rows[index]

    def __len__(self) -> int:
        return self.tally.orders

    @property
    def rows(self) -> list[OrderRow]:
        if self._rows is None:
            self._rows = list(read(self._source)) if self._source is not None else []
        return self._rows

    @property
    def profit(self) -> float:
        """Gross of commission."""
        profit: float = sum(entry[2] for entry in self.tally.by_strategy().values())
        return round(profit, 2)

    @property
    def matched(self) -> float:
        matched: float = sum(entry[1] for entry in self.tally.by_strategy().values())
        return round(matched, 2)

    @property
    def errors(self) -> int:
        """Exceptions out of the strategies' market methods, raised or passed over."""
        return sum(self.errors_by_file.values())

    @property
    def ok(self) -> bool:
        """Every file given was replayed (or left out as a duplicate) and the run completed."""
        return self.complete and not self.failed and not self.empty and \
            self.files + self.skipped > 0

    def by_strategy(self) -> dict[str, tuple[int, float, float, float, int]]:
        """Orders, matched volume, P&L gross and net of commission, and strategy errors of each
        strategy. A market's commission is shared among the strategies that won in it, by
        their winnings."""
        table = {name: [*entry, 0] for name, entry in self.tally.by_strategy().items()}
        for (_, strategy), count in self.errors_by_file.items():
            table.setdefault(strategy, [0, 0.0, 0.0, 0])[3] += count
        return {name: (orders, round(matched, 2), round(profit, 2),
                       round(profit - self.commission_by_strategy.get(name, 0.0), 2), errors)
                for name, (orders, matched, profit, errors) in sorted(table.items())}

    @property
    def summary(self) -> str:
        files = [f"{self.files:,} replayed", f"{len(self.failed):,} failed",
                 f"{len(self.empty):,} without markets"]
        if self.left_out:
            files.append(f"{len(self.left_out):,} left out as duplicates")
        if self.skipped:
            files.append(f"{self.skipped:,} done before")
        lines = [
            ("files", ", ".join(files)),
            ("books", f"{self.books:,}"),
            ("orders", f"{len(self):,}, matched {self.matched:,.2f}"),
            ("P&L", (f"{self.profit:+,.2f} gross, {self.profit - self.commission:+,.2f} net of "
                     f"{self.commission:,.2f} commission")),
            ("strategy errors", f"{self.errors:,}"),
            ("time", f"{self.seconds:,.1f} s"),
        ]
        if not self.complete:
            lines.append(("incomplete", "interrupted; what finished is kept"))
        text = [f"{name:<16}{value}" for name, value in lines]
        strategies = self.by_strategy()
        if strategies:
            width = max(len("strategy"), *map(len, strategies))
            text.append(f"{'strategy':<{width}}  {'orders':>8}  {'matched':>12}  "
                        f"{'P&L gross':>12}  {'net':>12}  {'errors':>6}")
            text += [f"{name:<{width}}  {orders:>8,}  {matched:>12,.2f}  {profit:>+12,.2f}  "
                     f"{net:>+12,.2f}  {errors:>6,}"
                     for name, (orders, matched, profit, net, errors) in strategies.items()]
        text += [f"  {failed.path}: {failed.error}" for failed in self.failed]
        text += [f"  {path}: no market" for path in self.empty]
        return "\n".join(text)

    def to_pandas(self) -> Any:
        try:
            import pandas
        except ImportError:
            raise ImportError("to_pandas needs pandas: pip install pandas") from None
        return pandas.DataFrame([dataclasses.astuple(row) for row in self.rows],
                                columns=COLUMNS)

    def write(self, path: str) -> None:
        """Writes the rows as CSV, or as Parquet when the path ends in .parquet."""
        write(self.rows, path)
