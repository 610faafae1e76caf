"""Threads: separate iterators side by side, and one iterator shared by several threads (a
call meeting a busy iterator is the re-entry suite's)."""

import datetime
import sys
import threading
import time
import types

import pytest

import pelarune
from conftest import synthetic_lines

THREADS = 4


def summary(book):
    md = book.market_definition
    return (book.publish_time_epoch, book.publish_time, book.status, book.inplay,
            md and (md.status, md.suspend_time, len(md.runners)),
            [(r.selection_id, r.status, r.last_price_traded, r.total_matched,
              [(p.price, p.size) for p in r.ex.available_to_back], r.sp.near_price)
             for r in book.runners])


def switching_datetime():
    """A datetime module whose conversions first run Python code (time.sleep(0)), so the
    interpreter may switch threads there, and then the real conversion."""
    class Datetime:
        @staticmethod
        def utcfromtimestamp(seconds):
            time.sleep(0)
            return datetime.datetime.utcfromtimestamp(seconds)

        @staticmethod
        def strptime(text, fmt):
            time.sleep(0)
            return datetime.datetime.strptime(text, fmt)

    module = types.ModuleType("datetime")
    module.datetime = Datetime
    return module


def run_threads(count, target):
    """Runs target(i) on `count` threads; returns their results and re-raises their errors."""
    results, errors = [None] * count, []

    def body(i):
        try:
            results[i] = target(i)
        except BaseException as error:  # reported on the main thread
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
        assert not thread.is_alive(), "a thread hangs"
    if errors:
        raise errors[0]
    return results


@pytest.fixture
def frequent_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


@pytest.fixture(params=[False, True], ids=["plain", "switching-in-datetime"])
def maybe_yielding(request, monkeypatch, frequent_switches):
    """With the parameter set, every time conversion gives the other threads a turn. Even
    without it they get some: strptime, which parses definition times, is Python code."""
    if request.param:
        monkeypatch.setitem(sys.modules, "datetime", switching_datetime())
    return request.param


class TestSeparateIterators:
    def test_books_as_when_alone(self, stream_file, maybe_yielding):
        paths = [stream_file(*synthetic_lines(records=120, seed=seed), gz=seed % 2 == 1)
                 for seed in range(3)]
        alone = {path: [summary(b) for b in pelarune.iter_prices_file(path)] for path in paths}
        assert [len(books) for books in alone.values()] == [120] * 3

        def replay(i):
            return [[summary(b) for b in pelarune.iter_prices_file(paths[(i + k) % 3])]
                    for k in range(3)]

        for i, rounds in enumerate(run_threads(THREADS, replay)):
            assert rounds == [alone[paths[(i + k) % 3]] for k in range(3)]


class TestSharedIterator:
    def test_each_record_handed_out_once(self, stream_file, maybe_yielding):
        path = stream_file(*synthetic_lines(records=300))
        expected = [b.publish_time_epoch for b in pelarune.iter_prices_file(path)]
        assert len(set(expected)) == len(expected) == 300  # a publish time names its record
        it = pelarune.iter_prices_file(path)

        def pull(_):
            taken, refused = [], 0
            while True:
                try:
                    book = next(it)
                except StopIteration:
                    return taken, refused
                except RuntimeError as error:
                    assert str(error) == "Already borrowed"
                    refused += 1
                    continue
                taken.append(book.publish_time_epoch)

        results = run_threads(THREADS, pull)
        everything = [pt for taken, _ in results for pt in taken]
        assert sorted(everything) == expected
        for taken, _ in results:
            assert taken == sorted(taken)  # each thread sees the records in file order
        with pytest.raises(StopIteration):
            next(it)

