"""Reference and memory discipline: what the module holds, hands out and releases."""

import datetime
import gc
import itertools
import os
import sys
import tracemalloc
import types

import pytest

import pelarune
from conftest import (change, definition, instance_counts, mcm, rc, recorded, sanitized,
                      synthetic_lines)

RECORDED = ["1.197931750", "BASIC-1.132153978", "BASIC-1.132153978.gz"]
FAR_FUTURE = 2**62  # milliseconds: a kept record whose publish time datetime cannot hold
TIME_ERRORS = (OverflowError, ValueError, OSError)


@pytest.fixture
def replay_paths(stream_file):
    """A synthetic file, plain and gzip, and the recorded files."""
    lines = synthetic_lines()
    paths = [stream_file(*lines), stream_file(*lines, gz=True)]
    paths += [recorded(name) for name in RECORDED]
    return paths


def touch(book):
    """Reads everything a book leads to, the getters that build new objects included."""
    for runner in book.runners:
        sp = runner.sp
        seen = (runner.status, runner.last_price_traded, sp.near_price, sp.actual_sp,
                sp.back_stake_taken, sp.lay_liability_taken, runner.ex.available_to_back,
                runner.ex.available_to_lay, runner.ex.traded_volume)
        for prices in seen[-5:]:
            for price_size in prices:
                price_size.price, price_size.size
    if book.market_definition is not None:
        for entry in book.market_definition.runners:
            entry.name, entry.status, entry.bsp
        book.market_definition.market_time, book.market_definition.regulators
    if hasattr(book, "to_dict"):
        book.to_dict()
    return book.publish_time, book.market_id, book.status


class TestNoInstanceLeft:
    def test_counting_route_sees_every_instance(self, stream_file):
        # The route the other tests rely on: it must see instances, or equality proves nothing.
        base = instance_counts()
        it = pelarune.iter_prices_file(stream_file(*synthetic_lines(records=20)))
        books = list(it)
        grown = instance_counts()
        assert grown["MarketBook"] - base["MarketBook"] == len(books) == 20
        assert grown["PricesIterator"] - base["PricesIterator"] == 1
        for name in ("Runner", "ExchangePrices", "PriceSize", "MarketDefinition",
                     "MarketDefinitionRunner"):
            assert grown[name] > base[name], name
        sp = books[0].runners[0].sp
        assert instance_counts()["StartingPrices"] - base["StartingPrices"] == 1
        del it, books, sp
        assert instance_counts() == base

    def test_full_and_abandoned_replays_leave_nothing(self, replay_paths):
        base = instance_counts()
        for round_number in range(3):
            for path in replay_paths:
                it = pelarune.iter_prices_file(path)
                books = []
                for n, book in enumerate(it):
                    touch(book)
                    books.append(book)
                    if round_number == 1 and n == len(it) // 2:
                        break  # the iterator and its caches go half way
                del it, book
                books.reverse()  # books outlive the iterator and go in any order
                del books
        assert instance_counts() == base

    def test_failed_calls_leave_nothing(self, stream_file):
        base = instance_counts()
        good = synthetic_lines(records=10)
        for path in (stream_file(good[0], "{not json"), stream_file(good[0]) + ".missing"):
            with pytest.raises(ValueError):
                pelarune.iter_prices_file(path)
        with pytest.raises(TypeError):
            pelarune.iter_prices_file(b"path")
        # A publish time utcfromtimestamp rejects, then a definition time strptime rejects,
        # until a later definition replaces it.
        it = pelarune.iter_prices_file(stream_file(
            good[0], mcm(FAR_FUTURE, change(tv=1)),
            mcm(2000, change(marketDefinition=definition(marketTime="not a time"))),
            mcm(2001, change(marketDefinition=definition())), *good[1:]))
        kept = next(it)
        with pytest.raises(TIME_ERRORS):
            next(it)
        with pytest.raises(ValueError):
            next(it)
        rest = list(it)
        assert len(rest) == len(good)
        del it, kept, rest
        assert instance_counts() == base


class TestSharedObjectReferences:
    LINES = [
        mcm(1, change(marketDefinition=definition(), rc=[rc(1, atb=[[2.0, 5]]),
                                                         rc(2, atb=[[3.0, 5]])])),
        mcm(2, change(rc=[rc(2, ltp=3.0)])),            # runner 2 only
        mcm(3, change(rc=[rc(1, ltp=2.0)])),            # runner 1 rebuilt, its ladder kept
        mcm(FAR_FUTURE, change(tv=5)),                 # its book fails
        mcm(5, change(tv=6)),
    ]

    def test_each_holder_counts_once(self, stream_file):
        it = pelarune.iter_prices_file(stream_file(*self.LINES))
        first = next(it)
        runner, md = first.runners[0], first.market_definition
        atb = runner.ex.available_to_back

        def counts():
            return sys.getrefcount(runner), sys.getrefcount(atb), sys.getrefcount(md)

        start = counts()
        second = next(it)
        assert second.runners[0] is runner
        assert counts() == (start[0] + 1, start[1], start[2] + 1)
        third = next(it)
        assert third.runners[0] is not runner
        assert third.runners[0].ex.available_to_back is atb
        # The cache let go of the old runner; the new one's ExchangePrices holds the list.
        assert counts() == (start[0], start[1] + 1, start[2] + 2)
        with pytest.raises(TIME_ERRORS):
            next(it)
        assert counts() == (start[0], start[1] + 1, start[2] + 2)  # the failed book let go
        fifth = next(it)
        assert fifth.publish_time_epoch == 5
        assert counts() == (start[0], start[1] + 1, start[2] + 3)
        del second, fifth
        assert counts() == (start[0] - 1, start[1] + 1, start[2] + 1)
        del it
        assert counts() == (start[0] - 1, start[1], start[2])  # the caches let go
        del third
        assert counts() == (start[0] - 1, start[1] - 1, start[2] - 1)

    def test_refused_reentry_takes_nothing(self, stream_file, monkeypatch):
        it = pelarune.iter_prices_file(stream_file(*self.LINES))
        first = next(it)
        runner, md = first.runners[0], first.market_definition
        before = sys.getrefcount(it), sys.getrefcount(runner), sys.getrefcount(md)
        refused = []

        class Datetime:
            @staticmethod
            def utcfromtimestamp(seconds):
                for call in (next, len):
                    try:
                        call(it)
                    except RuntimeError as error:
                        refused.append(str(error))
                return datetime.datetime.utcfromtimestamp(seconds)

        fake = types.ModuleType("datetime")
        fake.datetime = Datetime
        monkeypatch.setitem(sys.modules, "datetime", fake)
        second = next(it)
        monkeypatch.undo()
        assert refused == ["Already borrowed", "Already mutably borrowed"]
        assert second.publish_time_epoch == 2
        del second
        assert (sys.getrefcount(it), sys.getrefcount(runner), sys.getrefcount(md)) == before

    def test_reads_take_no_reference(self, stream_file):
        (book, *_) = pelarune.iter_prices_file(stream_file(*synthetic_lines(records=5)))
        objects = [book, book.market_definition, *book.market_definition.runners]
        for runner in book.runners:
            objects += [runner, runner.ex, runner.sp, *runner.ex.available_to_back[:1]]
        for obj in objects:
            for name in dir(obj):
                if name.startswith("_") or name == "to_dict":
                    continue
                value = getattr(obj, name)
                held = sys.getrefcount(value), sys.getrefcount(obj)
                for _ in range(20):
                    getattr(obj, name)
                assert (sys.getrefcount(value), sys.getrefcount(obj)) == held, name


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class TestFlatMemory:
    @staticmethod
    def growth(action, warm_rounds, rounds):
        """Python-heap bytes, and resident bytes, still held after `rounds` more runs of
        `action`: tracing sees the objects, the resident size the native memory too."""

        def settle():
            gc.collect()
            # The interpreter's attribute cache holds the name strings of recent lookups, one
            # per slot it hashes their addresses to: a few under the usual allocator, up to
            # 4,096 under ASan's, which hands out fresh addresses. CPython 3.13 names the call
            # that clears it with the others, and 3.15 warns at the old name.
            (getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache)()
            return tracemalloc.get_traced_memory()[0], resident_bytes()

        tracemalloc.start()
        try:
            for _ in range(warm_rounds):
                action()
            before = settle()
            for _ in range(rounds):
                action()
            return [after - start for after, start in zip(settle(), before)]
        finally:
            tracemalloc.stop()

    def test_replays_with_dropped_iterators(self, replay_paths):
        rounds = itertools.count()

        def replay_all():
            drop = next(rounds) % 2
            for path in replay_paths:
                it = pelarune.iter_prices_file(path)
                for n, book in enumerate(it):
                    if n % 5 == 0:
                        touch(book)  # tracing makes reading everything slow: a fifth will do
                    if drop and n == len(it) // 2:
                        break

        # 1,440 books without the recorded files: a leak of one float per book would hold
        # 34 KB of Python heap. With them, 4,818 books: 256 native bytes a book would hold 1.2 MB.
        traced, resident = self.growth(replay_all, warm_rounds=2, rounds=4)
        assert traced < 8 * 1024
        assert sanitized() or resident < 2**20  # ASan's quarantine holds freed memory

    def test_failing_calls(self, stream_file):
        bad = stream_file(mcm(1, change()), "[1, 2")
        out_of_range = stream_file(mcm(FAR_FUTURE, change()))

        def fail():
            for _ in range(50):
                with pytest.raises(ValueError):
                    pelarune.iter_prices_file(bad)
                with pytest.raises(TypeError):
                    pelarune.iter_prices_file(path=None)
                with pytest.raises(TIME_ERRORS):
                    next(pelarune.iter_prices_file(out_of_range))

        # 200 calls of each kind: a leak of one float per call would hold 4.8 KB.
        assert self.growth(fail, warm_rounds=1, rounds=4)[0] < 4 * 1024
