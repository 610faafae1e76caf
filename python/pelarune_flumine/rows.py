"""A backtest's rows: the order row, the failed file, the rows' plain form for the trip back
from a worker, and the writers that put them on disk as chunks finish."""

from __future__ import annotations

import contextlib
import csv
import dataclasses
import datetime
import heapq
import os
import tempfile
from collections.abc import Iterable, Iterator
from typing import Any

from pelarune_runs.journal import Drop

__all__ = ["FailedFile", "OrderRow", "RowWriter"]


@dataclasses.dataclass(frozen=True)
class OrderRow:
    """One order of one market, as flumine's blotter holds it when the market's replay ends.
    Times are aware UTC datetimes."""

    market_id: str
    market_start: datetime.datetime | None  # the definition's marketTime
    event_id: str | None
    event_name: str | None
    selection_id: int
    handicap: float
    strategy: str
    side: str
    order_type: str
    price: float | None
    size: float | None  # the liability of an order on close
    size_matched: float
    average_price_matched: float | None
    status: str | None
    profit: float
    placed: datetime.datetime | None
    completed: datetime.datetime | None
    notes: str  # flumine's notes_str: the notes' values joined by commas


COLUMNS = [field.name for field in dataclasses.fields(OrderRow)]


@dataclasses.dataclass(frozen=True)
class FailedFile:
    """A file left out: it could not be read or replayed, it holds no market, or (with
    flumine's config.raise_errors, or from process_closed_market, which flumine does not
    guard) the strategy raised while it was replayed."""

    path: str
    error: str
    traceback: str | None = None


_TIMES = ("market_start", "placed", "completed")
_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.UTC)
_MICROSECOND = datetime.timedelta(microseconds=1)
# flumine's simulation swaps datetime.datetime for a subclass; rows hold the real class.
_DATETIME = datetime.datetime


def wire(row: OrderRow) -> tuple[Any, ...]:
    """A row as plain values. flumine's simulation swaps datetime.datetime for its own class
    while it runs, process-wide, and pickle refuses a datetime then: a Dask worker's event loop
    pickles one chunk's rows while the next chunk runs."""
    fields = dataclasses.asdict(row)
    for name in _TIMES:
        if fields[name] is not None:
            fields[name] = (fields[name] - _EPOCH) // _MICROSECOND
    return tuple(fields.values())


def unwire(values: tuple[Any, ...]) -> OrderRow:
    row = OrderRow(*values)
    times = {name: _EPOCH + getattr(row, name) * _MICROSECOND
             for name in _TIMES if getattr(row, name) is not None}
    return dataclasses.replace(row, **times)


def utc(moment: Any) -> datetime.datetime | None:
    if not isinstance(moment, _DATETIME):
        return None
    if moment.tzinfo is not None:
        moment = moment.astimezone(datetime.UTC)
    # pelarune's times are naive UTC.
    return _DATETIME(moment.year, moment.month, moment.day, moment.hour, moment.minute,
                     moment.second, moment.microsecond, datetime.UTC)


def rows_of(framework: Any) -> list[OrderRow]:
    """Every order of a finished simulation, market by market in blotter order."""
    rows = []
    for market in framework.markets:
        definition = market.market_book.market_definition if market.market_book else None
        for order in market.blotter:
            order_type = order.order_type
            price = getattr(order_type, "price", None)
            size = getattr(order_type, "size", getattr(order_type, "liability", None))
            average = order.average_price_matched
            rows.append(OrderRow(
                market_id=market.market_id,
                market_start=utc(definition.market_time if definition else None),
                event_id=definition.event_id if definition else None,
                event_name=definition.event_name if definition else None,
                selection_id=order.selection_id,
                handicap=float(order.handicap),
                strategy=order.trade.strategy.name,
                side=order.side,
                order_type=order_type.ORDER_TYPE.value,
                # Floats throughout, as pelarune gives them: the same CSV from either stream.
                price=float(price) if price is not None else None,
                size=float(size) if size is not None else None,
                size_matched=float(order.size_matched),
                average_price_matched=float(average) if average is not None else None,
                status=order.status.value if order.status else None,
                profit=float(order.profit),
                placed=utc(order.responses.date_time_placed),
                completed=utc(order.date_time_execution_complete),
                notes=order.notes_str,
            ))
    return rows


def _csv_values(row: OrderRow) -> list[Any]:
    return ["" if value is None else value.isoformat() if isinstance(value, datetime.datetime)
            else value for value in dataclasses.astuple(row)]


def parquet_schema() -> Any:
    import pyarrow

    timestamp = pyarrow.timestamp("us", tz="UTC")
    types = {"market_start": timestamp, "placed": timestamp, "completed": timestamp,
             "selection_id": pyarrow.int64(), "handicap": pyarrow.float64(),
             "price": pyarrow.float64(), "size": pyarrow.float64(),
             "size_matched": pyarrow.float64(), "average_price_matched": pyarrow.float64(),
             "profit": pyarrow.float64()}
    return pyarrow.schema([(name, types.get(name, pyarrow.string())) for name in COLUMNS])


def parquet_table(rows: Iterable[OrderRow]) -> Any:
    import pyarrow

    return pyarrow.Table.from_pylist([dataclasses.asdict(row) for row in rows],
                                     schema=parquet_schema())


def is_parquet(path: str) -> bool:
    return path.endswith(".parquet")


class RowWriter:
    """Appends rows to a CSV file, or adds a row group to a Parquet file, as each chunk
    finishes, so that a run that dies keeps what it finished. `close` takes out the rows
    dropped and sorts the file by market (stably: each market's orders stay in blotter order),
    which makes it the same whatever order the chunks finished in. Each chunk is written
    sorted (a Parquet file's as row groups of its own) and the chunks are merged at the end, a
    few blocks of each in memory at a time, not the file. With `keep` (a resumed run), the
    rows already in the file stay, but for `drops` the previous run made: a CSV is cut back to
    `keep` bytes, the size it had when its last chunk was recorded, and a Parquet file is read
    back into the new one a batch at a time."""

    def __init__(self, path: str, keep: int | None = None, drops: Iterable[Drop] = ()) -> None:
        self.path = path
        self.drops = list(drops)
        self._parquet: Any = None
        self._csv: Any = None
        self._rows = 0  # written to a Parquet file
        if is_parquet(path):
            import pyarrow.parquet

            self._partial = f"{path}.partial"
            self._parquet = pyarrow.parquet.ParquetWriter(self._partial, parquet_schema())
            if keep is not None:  # sorted when it was closed: one run
                for batch in pyarrow.parquet.ParquetFile(path).iter_batches(_GROUP):
                    self._parquet.write_table(
                        pyarrow.Table.from_batches([batch]).cast(parquet_schema()))
                    self._rows += batch.num_rows
            return
        if keep is not None:
            with open(path, "r+b") as out:
                out.truncate(min(keep, os.path.getsize(path)))
        # Open across chunks; close() closes it.
        self._csv = open(  # noqa: SIM115
            path, "a" if keep is not None else "w", newline="", encoding="utf-8")
        self._writer = csv.writer(self._csv)
        if keep is None:
            self._writer.writerow(COLUMNS)
            self._csv.flush()

    def write(self, rows: list[OrderRow]) -> int:
        """Writes the rows and returns the file's size, for the run's record."""
        if self._parquet is not None:
            if rows:
                self._parquet.write_table(parquet_table(sorted(rows, key=_market)))
                self._rows += len(rows)
            return self._rows
        # Stable: a market's orders stay in blotter order.
        self._writer.writerows(map(_csv_values, sorted(rows, key=_market)))
        self._csv.flush()
        os.fsync(self._csv.fileno())
        size: int = self._csv.tell()
        return size

    def drop(self, markets: list[str]) -> Drop:
        """Drops the rows of `markets` written so far, when the file is closed."""
        drop = Drop(markets, self._rows if self._parquet is not None else self._csv.tell())
        self.drops.append(drop)
        return drop

    def close(self) -> None:
        if self._parquet is not None:
            self._parquet.close()
            _merge_parquet(self._partial, f"{self.path}.merged", self.drops)
            os.replace(f"{self.path}.merged", self.path)
            os.remove(self._partial)
            return
        self._csv.close()
        drops = [(drop.size, set(drop.markets)) for drop in self.drops]
        with contextlib.ExitStack() as files:
            source = files.enter_context(open(self.path, "rb"))
            header = source.readline()
            size = os.fstat(source.fileno()).st_size
            runs = [(source.fileno(), start, stop)
                    for start, stop in _sorted_runs(source.fileno(), len(header), size)]
            # More runs than are merged at once (a long run's chunks, or the unsorted chunks
            # of an older version's file resumed after a crash): merged in groups first, each
            # into an anonymous file beside the output.
            while len(runs) > _FAN:
                merged = []
                for first in range(0, len(runs), _FAN):
                    part = files.enter_context(tempfile.TemporaryFile(
                        dir=os.path.dirname(os.path.abspath(self.path))))
                    for _, _, record in _merge(runs[first:first + _FAN], drops):
                        part.write(record)
                    part.flush()
                    merged.append((part.fileno(), 0, part.tell()))
                runs, drops = merged, []  # the drops are made
            with open(f"{self.path}.partial", "wb") as out:
                out.write(header)
                for _, _, record in _merge(runs, drops):
                    out.write(record)
        os.replace(f"{self.path}.partial", self.path)


# Runs merged at once, each read in blocks of 16 KB: about 4 MB, and 10 MB with the blocks'
# lines; 16 MB of blocks took 40 MB of a run of 1M orders (bench/bench_parent_memory.py).
_FAN = 256


def _merge(runs: list[tuple[int, int, int]], drops: list[tuple[int, set[str]]]
           ) -> Iterator[tuple[str, int, bytes]]:
    """The records of the runs (descriptor, start, stop) sorted stably by market: heapq.merge
    is stable across its inputs, which are in file order. A drop takes the rows of its markets
    written before it."""
    block = max(4096, (4 << 20) // max(1, len(runs)))
    for entry in heapq.merge(*(_records(fd, start, stop, block) for fd, start, stop in runs),
                             key=lambda entry: entry[0]):
        if not any(entry[1] <= at and entry[0] in markets for at, markets in drops):
            yield entry


# Rows of a Parquet file read and written at a time in its end-of-run merge: its row groups
# after the merge, and the rows of the runs' blocks together. A run of 1M orders peaks 76 MB
# above one of 10k (the whole table sorted: 448 MB); 16384 took 24 MB, in row groups a
# quarter the size (bench/bench_parent_memory.py).
_GROUP = 65536

# A sorted run of a Parquet file: the file, its row groups, and the rows before them.
_ParquetRun = tuple[Any, list[int], int]


def _merge_parquet(source: str, target: str, drops: list[Drop]) -> None:
    """Writes the rows of `source`, a Parquet file of sorted runs of row groups, to `target`
    sorted stably by market, but for the rows `drops` take: the same rows as the whole table
    sorted, with a few blocks of each run in memory at a time."""
    import pyarrow.parquet

    dropped = [(drop.size, set(drop.markets)) for drop in drops]
    with contextlib.ExitStack() as files:
        parquet = pyarrow.parquet.ParquetFile(source)
        runs = _parquet_runs(parquet)
        folder = os.path.dirname(os.path.abspath(target))
        while len(runs) > _FAN:  # as a CSV's: merged in groups first, into anonymous files
            merged: list[_ParquetRun] = []
            for first in range(0, len(runs), _FAN):
                part = files.enter_context(tempfile.TemporaryFile(dir=folder))
                with pyarrow.parquet.ParquetWriter(part, parquet.schema_arrow) as writer:
                    _write_merged(runs[first:first + _FAN], dropped, writer)
                part.seek(0)
                written = pyarrow.parquet.ParquetFile(part)
                merged.append((written, list(range(written.num_row_groups)), 0))
            runs, dropped = merged, []  # the drops are made
        with pyarrow.parquet.ParquetWriter(target, parquet_schema()) as writer:
            if not _write_merged(runs, dropped, writer):
                # No rows: a row group of none, as a whole empty table is written.
                writer.write_table(parquet_schema().empty_table())


def _parquet_runs(parquet: Any) -> list[_ParquetRun]:
    """The file's runs of row groups in market order: one a chunk, or one for the rows of a
    run this one resumed."""
    runs: list[_ParquetRun] = []
    previous = ""
    rows = 0
    for group in range(parquet.num_row_groups):
        ids = parquet.read_row_group(group, ["market_id"]).column(0).to_pylist()
        if not runs or (ids and ids[0] < previous):
            runs.append((parquet, [], rows))
        runs[-1][1].append(group)
        previous = ids[-1] if ids else previous
        rows += len(ids)
    return runs


def _write_merged(runs: list[_ParquetRun], drops: list[tuple[int, set[str]]],
                  writer: Any) -> int:
    """Writes the runs' rows merged stably by market (heapq.merge is stable across its
    inputs, which are in file order) as row groups of _GROUP rows; a drop takes the rows of its
    markets written before it. Returns the rows written."""
    import pyarrow

    block = max(256, _GROUP // max(1, len(runs)))
    slices: list[Any] = []  # the next row group, as slices of the runs' blocks
    batch: Any = None
    start = stop = pending = written = 0

    def flush() -> None:
        nonlocal pending, written
        if pending:
            writer.write_table(pyarrow.Table.from_batches(slices), row_group_size=pending)
            written += pending
        slices.clear()
        pending = 0

    for market, position, rows, index in heapq.merge(
            *(_parquet_rows(*run, block) for run in runs), key=lambda entry: entry[0]):
        if any(position <= at and market in markets for at, markets in drops):
            continue
        if rows is not batch or index != stop:
            if batch is not None and stop > start:
                slices.append(batch.slice(start, stop - start))
            batch, start, stop = rows, index, index
        stop += 1
        pending += 1
        if pending == _GROUP:
            slices.append(batch.slice(start, stop - start))
            start = stop
            flush()
    if batch is not None and stop > start:
        slices.append(batch.slice(start, stop - start))
    flush()
    return written


def _parquet_rows(parquet: Any, groups: list[int], before: int, block: int
                  ) -> Iterator[tuple[str, int, Any, int]]:
    """Each row of the run: its market, the rows of the file up to it, its block and its
    index there."""
    position = before
    for rows in parquet.iter_batches(block, row_groups=groups):
        for index, market in enumerate(rows.column("market_id").to_pylist()):
            position += 1
            yield market, position, rows, index


def _market(row: OrderRow) -> str:
    return row.market_id


def _lines(fd: int, start: int, stop: int, block: int) -> Iterator[tuple[int, bytes]]:
    """The lines of the file's bytes from `start` to `stop`, each with the offset it ends at."""
    tail = b""
    position = start
    while position < stop:
        data = os.pread(fd, min(block, stop - position), position)
        if not data:
            break
        offset = position - len(tail)
        position += len(data)
        lines = (tail + data).split(b"\n")
        tail = lines.pop()
        for line in lines:
            offset += len(line) + 1
            yield offset, line + b"\n"
    if tail:
        yield position, tail


def _records(fd: int, start: int, stop: int, block: int
             ) -> Iterator[tuple[str, int, bytes]]:
    """The CSV records from `start` to `stop` as written, each with its market and the offset
    it ends at; a quoted field may hold line ends (a strategy's notes)."""
    record = b""
    for end, line in _lines(fd, start, stop, block):
        record += line
        if record.count(b'"') % 2 == 0:
            first = record.split(b",", 1)[0]
            market = first.decode() if not first.startswith(b'"') else \
                next(csv.reader([record.decode()]))[0]
            yield market, end, record
            record = b""


def _sorted_runs(fd: int, start: int, stop: int) -> list[tuple[int, int]]:
    """Where the file's runs of rows in market order begin and end: one a chunk, or one for
    the rows of a run this one resumed, which it sorted when it stopped."""
    runs: list[tuple[int, int]] = []
    begin = last = start
    previous = ""
    for market, end, _ in _records(fd, start, stop, 1 << 20):
        if market < previous:
            runs.append((begin, last))
            begin = last
        previous, last = market, end
    if last > begin:
        runs.append((begin, last))
    return runs


_FLOATS = ("handicap", "price", "size", "size_matched", "average_price_matched", "profit")
_OPTIONAL = ("event_id", "event_name", "status")


def _from_csv(values: list[str]) -> OrderRow:
    fields: dict[str, Any] = {}
    for name, text in zip(COLUMNS, values, strict=True):
        if name in _TIMES:
            fields[name] = datetime.datetime.fromisoformat(text) if text else None
        elif name in _FLOATS:
            fields[name] = float(text) if text else None
        elif name == "selection_id":
            fields[name] = int(text)
        else:
            fields[name] = text or None if name in _OPTIONAL else text
    return OrderRow(**fields)


def read(path: str) -> Iterator[OrderRow]:
    """The rows of a file `write` or RowWriter wrote, one at a time."""
    if is_parquet(path):
        import pyarrow.parquet

        for batch in pyarrow.parquet.ParquetFile(path).iter_batches():
            for fields in batch.to_pylist():
                yield OrderRow(**fields)
        return
    with open(path, newline="", encoding="utf-8") as source:
        lines = csv.reader(source)
        next(lines, None)
        for values in lines:
            yield _from_csv(values)


def write(rows: list[OrderRow], path: str) -> None:
    """The rows, in their order, as CSV, or as Parquet for a .parquet path."""
    if is_parquet(path):
        import pyarrow.parquet

        pyarrow.parquet.write_table(parquet_table(rows), path)
        return
    with open(path, "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out)
        writer.writerow(COLUMNS)
        writer.writerows(map(_csv_values, rows))
