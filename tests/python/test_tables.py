"""pelarune_tables.prices_table: the rows equal rows built in plain Python from pelarune's own
books (pelarune_flumine's where best offers matter; each market's own file where a file holds
several), and pyarrow, polars, DuckDB and pandas read the same stream."""

import gc
import json
import os
import subprocess
import sys
import threading

import duckdb
import pandas
import pelarune
import pelarune_flumine
import pelarune_tables
import polars
import pyarrow
import pyarrow.parquet
import pytest
from conftest import change, definition, event_level_file, mcm, rc, recorded

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
RECORDED = ["1.197931750", "1.197931751", "BASIC-1.132153978", "BASIC-1.132153978.gz"]


def book_rows(book, format, levels=None, ex_of=None, columns=()):
    """The rows of one book, from its runners; ex_of(runner) gives the ladders when not its own."""
    rows = []
    market_dict = book.to_dict().get("marketDefinition") if columns else None
    names = {(r.selection_id, r.handicap): r.name
             for r in (book.market_definition.runners if book.market_definition else [])}
    for runner in book.runners:
        key = (book.market_id, book.publish_time_epoch, book.inplay, runner.selection_id,
               runner.handicap)
        extras = []
        for column in columns:
            if column == "runner_status":
                extras.append(runner.status)
            elif column == "runner_name":
                extras.append(names.get((runner.selection_id, runner.handicap)))
            else:
                extras.append(None if market_dict is None else market_dict[column])
        if format == "last_price_traded":
            rows.append(key + (runner.last_price_traded,) + tuple(extras))
            continue
        ex = ex_of(runner) if ex_of else runner.ex
        for side, prices in (("Back", ex.available_to_back), ("Lay", ex.available_to_lay)):
            for depth, level in enumerate(prices[:levels]):
                rows.append(key + (side, depth, level.price, level.size) + tuple(extras))
    return rows


def reference(path, format="full_ladder", levels=None, keep=lambda book: True, columns=()):
    """(books, rows) of a one-market file, from iter_prices_file's books."""
    books = [b for b in pelarune.iter_prices_file(path) if keep(b)]
    return len(books), [row for b in books for row in book_rows(b, format, levels,
                                                                 columns=columns)]


def table_rows(table):
    data = pyarrow.table(table)
    data = data.set_column(1, "publish_time", data["publish_time"].cast(pyarrow.int64()))
    return list(zip(*data.to_pydict().values()))


def plain(table):
    """The table with dictionary columns decoded and types as ours, in one chunk each."""
    columns = []
    for name in table.column_names:
        column = table[name]
        if pyarrow.types.is_dictionary(column.type) or pyarrow.types.is_large_string(column.type):
            column = column.cast(pyarrow.string())
        columns.append(column.combine_chunks())
    return pyarrow.table(columns, names=table.column_names)


def generated(tmp_path, *arguments):
    path = tmp_path / ("generated" + "".join(arguments).replace("-", "_"))
    subprocess.run([sys.executable, os.path.join(ROOT, "bench", "generate.py"), "-o", str(path),
                    *arguments], check=True, capture_output=True)
    return str(path)


def split_by_market(path, folder):
    """Each market's changes in a file of its own: a record's changes of one market on one line."""
    lines = {}
    with open(path) as file:
        for line in file:
            if not line.strip():
                continue
            message = json.loads(line)
            per_market = {}
            for market_change in message.get("mc", []):
                per_market.setdefault(market_change["id"], []).append(market_change)
            for market, changes in per_market.items():
                lines.setdefault(market, []).append(json.dumps(
                    {"op": "mcm", "pt": message["pt"], "mc": changes}))
    os.makedirs(folder, exist_ok=True)
    paths = {}
    for market, market_lines in lines.items():
        paths[market] = os.path.join(folder, market)
        with open(paths[market], "w") as file:
            file.write("\n".join(market_lines) + "\n")
    return paths


def edge_file(stream_file):
    """Line-market handicaps, a runner removed and re-added, suspended, in-play and closed books,
    an img mid-file, runners with one side or none, heartbeats, names in a later definition."""
    def runners(removed=False, names=False):
        entries = [{"id": 1, "hc": -1.5, "sortPriority": 1}, {"id": 1, "hc": 1.5, "sortPriority": 2},
                   {"id": 2, "sortPriority": 3, "status": "REMOVED" if removed else "ACTIVE"}]
        if names:
            for entry, name in zip(entries, ["Home -1.5", "Home +1.5", "Draw"]):
                entry["name"] = name
        return entries

    line = {"marketType": "ASIAN_HANDICAP_DOUBLE_LINE", "eventId": "77", "venue": "Ascot"}
    return stream_file(
        mcm(1, change(img=True, marketDefinition=definition(runners(), **line), rc=[
            rc(1, hc=-1.5, atb=[[2.0, 5], [1.9, 3], [1.8, 1]], atl=[[2.1, 4]]),
            rc(1, hc=1.5, atb=[[1.8, 2]]), rc(2, atl=[[3.0, 1], [3.2, 2]], ltp=3.1)])),
        mcm(2, change(rc=[rc(1, hc=-1.5, atb=[[2.0, 0]], ltp=2.0)])),
        mcm(3, change(marketDefinition=definition(runners(removed=True), status="SUSPENDED",
                                                  **line))),
        mcm(4),
        mcm(5, change(marketDefinition=definition(runners(names=True), inPlay=True, **line),
                      rc=[rc(2, atb=[[2.9, 7]])])),
        mcm(6, change(img=True, rc=[rc(3, atb=[[5.0, 1]]), rc(1, hc=1.5)])),
        mcm(7, change(marketDefinition=definition(runners(names=True), status="CLOSED",
                                                  inPlay=True, **line))))


@pytest.fixture(scope="module")
def generated_one(tmp_path_factory):
    return generated(tmp_path_factory.mktemp("tables"), "--markets", "1", "--updates", "300")


class TestRowsEqualBooks:
    @pytest.mark.parametrize("name", RECORDED)
    @pytest.mark.parametrize("format", ["full_ladder", "last_price_traded"])
    def test_recorded(self, name, format):
        books, rows = reference(recorded(name), format)
        assert books > 100
        assert table_rows(pelarune_tables.prices_table(recorded(name), format=format)) == rows

    @pytest.mark.parametrize("format", ["full_ladder", "last_price_traded"])
    def test_generated_and_edge_cases(self, generated_one, stream_file, format):
        for path, minimum in ((generated_one, 200), (edge_file(stream_file), 7)):
            books, rows = reference(path, format)
            assert books >= minimum
            assert table_rows(pelarune_tables.prices_table(path, format=format)) == rows

    def test_levels_and_filters(self, stream_file):
        path = edge_file(stream_file)
        cases = [
            ({"levels": 1}, {"levels": 1}),
            ({"levels": 2, "inplay_only": True}, {"levels": 2, "keep": lambda b: b.inplay}),
            ({"market_types": ["WIN", "ASIAN_HANDICAP_DOUBLE_LINE"]}, {}),
            ({"market_types": ["WIN"]}, {"keep": lambda b: False}),
        ]
        for arguments, expected in cases:
            books, rows = reference(path, **expected)
            assert table_rows(pelarune_tables.prices_table(path, **arguments)) == rows, arguments
        assert books == 0 and len(rows) == 0

    def test_extra_columns(self, stream_file):
        # Definition keys against each book's to_dict, runner names as the last definition
        # gives them at each book.
        keys = ["marketType", "eventId", "venue", "status", "inPlay", "version", "marketTime",
                "bspMarket", "numberOfActiveRunners", "numberOfWinners", "betDelay",
                "marketBaseRate", "eventTypeId"]
        columns = ["runner_status", *keys, "runner_name"]
        for path in (edge_file(stream_file), recorded("1.197931750")):
            for format in ("full_ladder", "last_price_traded"):
                books, rows = reference(path, format, columns=columns)
                assert books >= 7
                got = table_rows(pelarune_tables.prices_table(path, format=format,
                                                              columns=columns))
                assert got == rows
                names = {row[-1] for row in got}
        assert names >= {"1. Paradise Mission", None}


class TestSeveralMarkets:
    def test_each_market_equals_its_own_file(self, tmp_path):
        for path in (generated(tmp_path, "--markets", "3", "--updates", "150", "--runners", "4"),
                     event_level_file(tmp_path)):
            by_market = {}
            for row in table_rows(pelarune_tables.prices_table(path)):
                by_market.setdefault(row[0], []).append(row)
            own_files = split_by_market(path, str(tmp_path / "split" / os.path.basename(path)))
            assert len(own_files) >= 2
            assert set(by_market) == set(own_files)
            for market, own in own_files.items():
                books, rows = reference(own)
                assert books > 50
                assert by_market[market] == rows, market


def flumine_books(path):
    stream = pelarune_flumine.BetfairHistoricalStream(path)
    stream.stream_id = 7
    return [books for books in stream.create_generator()()]


def test_best_offers_as_flumine_books(stream_file):
    # Sides with only best offers, only best display offers, both, and a full ladder that later
    # takes over: the rows follow the side's ladder as pelarune_flumine's books give it.
    path = stream_file(
        mcm(1, change(marketDefinition=definition([1, 2, 3]), rc=[
            rc(1, batb=[[0, 2.0, 5], [1, 1.9, 3]], batl=[[0, 2.1, 4]]),
            rc(2, bdatb=[[0, 3.0, 5]], batb=[[0, 2.9, 1]]), rc(3, atl=[[4.0, 1]])])),
        mcm(2, change(rc=[rc(1, batb=[[0, 1.9, 3], [1, 0, 0]]), rc(2, atb=[[3.1, 2]])])),
        mcm(3, change(rc=[rc(2, atb=[[3.1, 0]]), rc(1, bdatl=[[0, 2.2, 8], [1, 2.4, 1]])])))
    plain = list(pelarune.iter_prices_file(path))
    flumine = flumine_books(path)
    assert len(plain) == len(flumine) == 3
    rows = []
    for book, (theirs,) in zip(plain, flumine):
        ex = {(r.selection_id, r.handicap): r.ex for r in theirs.runners}
        rows += book_rows(book, "full_ladder", ex_of=lambda r, ex=ex: ex[(r.selection_id,
                                                                           r.handicap)])
    assert sum(row[3] == 1 for row in rows) == 3 + 2 + 3  # runner 1 has only best offers
    assert table_rows(pelarune_tables.prices_table(path)) == rows


class TestStream:
    def test_consumers_read_the_same_rows(self):
        path = recorded("1.197931750")
        prices = pelarune_tables.prices_table(path, batch_rows=4096, columns=["runner_status"])
        arrow = prices.to_pyarrow()
        arrow.validate(full=True)
        assert arrow.column_names == ["market_id", "publish_time", "inplay", "selection_id",
                                      "handicap", "side", "depth", "price", "size",
                                      "runner_status"]
        assert len(arrow.to_batches()) == 15  # 60,171 rows in batches of 4,096
        frame = prices.to_polars()
        assert frame.shape == (60171, 10)
        assert plain(frame.to_arrow()).equals(plain(arrow))
        assert polars.DataFrame(prices).shape == frame.shape
        # DuckDB asks for the stream more than once and reads it on its own threads.
        found = duckdb.sql("select side, count(*), sum(size) from prices group by side "
                           "order by side").fetchall()
        assert [(side, n) for side, n, _ in found] == [("Back", 32826), ("Lay", 27345)]
        assert found[0][2] == pytest.approx(pyarrow.compute.sum(
            arrow.filter(pyarrow.compute.equal(arrow["side"], "Back"))["size"]).as_py())
        assert pandas.DataFrame.from_arrow(prices).shape == (60171, 10)
        data_frame = prices.to_pandas()
        assert str(data_frame["publish_time"].dtype) == "datetime64[ms, UTC]"
        assert plain(pyarrow.Table.from_pandas(data_frame, preserve_index=False)).equals(
            plain(arrow))

    def test_streams_are_independent_and_outlive_their_table(self, generated_one):
        table = pelarune_tables.prices_table(generated_one, batch_rows=1000)
        first = pyarrow.RecordBatchReader.from_stream(table)
        second = pyarrow.RecordBatchReader.from_stream(table)
        head = first.read_next_batch()
        del table
        gc.collect()
        whole = second.read_all()
        rest = first.read_all()
        assert pyarrow.concat_tables([pyarrow.Table.from_batches([head]), rest]).equals(whole)
        assert whole.num_rows > 50_000

    def test_batches_pulled_from_another_thread(self, generated_one):
        # A capsule's stream taken on one thread and read on another, with the GIL held by
        # this one meanwhile.
        reader = pyarrow.RecordBatchReader.from_stream(pelarune_tables.prices_table(
            generated_one, format="last_price_traded", batch_rows=7))
        result = []
        worker = threading.Thread(target=lambda: result.append(reader.read_all()))
        worker.start()
        worker.join()
        assert result[0].num_rows == len(reference(generated_one, "last_price_traded")[1])

    def test_schema(self):
        table = pelarune_tables.prices_table(recorded("1.197931750"), format="last_price_traded",
                                             columns=["runner_name", "version", "inPlay"])
        schema = pyarrow.schema(table)
        assert [str(field.type) for field in schema] == [
            "dictionary<values=string, indices=int32, ordered=0>", "timestamp[ms, tz=UTC]", "bool",
            "int64", "double", "double", "string", "int64", "bool"]
        assert [f.nullable for f in schema] == [False] * 5 + [True] * 4
        assert schema == pyarrow.table(table).schema


class TestBadInput:
    @pytest.mark.parametrize("arguments, message", [
        ({"format": "ladder"}, "unknown format 'ladder'"),
        ({"columns": ["runner_status", "marketTyp"]}, "unknown column 'marketTyp'"),
        ({"columns": ["venue", "venue"]}, "column 'venue' given twice"),
        ({"levels": 0}, "levels must be at least 1"),
        ({"levels": 3, "format": "last_price_traded"}, "levels applies to the full ladder"),
        ({"batch_rows": 0}, "batch_rows must be at least 1"),
    ])
    def test_argument_errors_come_before_the_file_is_read(self, arguments, message):
        with pytest.raises(ValueError, match=message):
            pelarune_tables.prices_table("/nonexistent/file", **arguments)

    def test_damaged_files_fail_as_iter_prices_file(self, stream_file, tmp_path):
        truncated = tmp_path / "cut.gz"
        with open(recorded("BASIC-1.132153978.gz"), "rb") as whole:
            truncated.write_bytes(whole.read()[:-100])
        paths = [str(truncated), stream_file('{"op": "mcm", "pt": 1, "mc": [', gz=False),
                 str(tmp_path / "missing")]
        for path in paths:
            with pytest.raises(ValueError) as expected:
                pelarune.iter_prices_file(path)
            with pytest.raises(ValueError) as got:
                pelarune_tables.prices_table(path)
            assert str(got.value) == str(expected.value)


def test_readme_examples_run(tmp_path):
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as readme:
        blocks = [part.split("```", 1)[0] for part in readme.read().split("```python\n")[1:]]
    examples = [block for block in blocks if "pelarune_tables" in block]
    assert len(examples) == 5
    data = os.path.join(ROOT, "tests", "data") + os.sep
    for code in examples:
        run = subprocess.run([sys.executable, "-W", "error", "-c",
                              code.replace("tests/data/", data)], cwd=tmp_path,
                             capture_output=True, text=True, timeout=120, check=False)
        assert run.returncode == 0, run.stderr
    assert pyarrow.parquet.read_table(tmp_path / "prices.parquet").num_rows == 60171
    assert sorted(os.listdir(tmp_path / "prices")) == [
        ".pelarune_tables.run", "1.197931750.parquet", "1.197931751.parquet"]
