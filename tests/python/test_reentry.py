"""Python code run during next() (a replaced datetime) that reaches back into the iterator."""

import datetime
import sys
import types

import pytest

import pelarune
from conftest import change, definition, instance_counts, mcm, rc

LINES = [mcm(1000, change(marketDefinition=definition(), rc=[rc(1, atb=[[2.0, 5]])])),
         mcm(2000, change(rc=[rc(2, ltp=3.0)])),
         mcm(3000, change(marketDefinition=definition(suspendTime="2021-03-01T14:30:00Z")))]


class ReentrantDatetime(types.ModuleType):
    """A datetime module whose conversions call back into `self.iterator`."""

    def __init__(self, method, action):
        super().__init__("datetime")
        self.seen = []
        outer = self

        class Datetime:
            @staticmethod
            def utcfromtimestamp(seconds):
                if method == "utcfromtimestamp":
                    action(outer)
                return datetime.datetime.utcfromtimestamp(seconds)

            @staticmethod
            def strptime(text, fmt):
                if method == "strptime":
                    action(outer)
                return datetime.datetime.strptime(text, fmt)

        self.datetime = Datetime
        self.iterator = None


def try_both(module):
    for call in (next, len):
        try:
            call(module.iterator)
        except RuntimeError as error:
            module.seen.append(str(error))
    module.seen.append(len(pelarune.iter_prices_file(module.path)))  # another is not busy


def summary(book):
    return (book.publish_time, book.publish_time_epoch,
            [(r.selection_id, r.last_price_traded) for r in book.runners],
            book.market_definition and book.market_definition.suspend_time)


@pytest.mark.parametrize("method", ["utcfromtimestamp", "strptime"])
def test_nested_calls_refused_then_normal(stream_file, monkeypatch, method):
    path = stream_file(*LINES)
    expected = [summary(b) for b in pelarune.iter_prices_file(path)]
    assert len(expected) == 3
    fake = ReentrantDatetime(method, try_both)
    fake.iterator = it = pelarune.iter_prices_file(path)
    fake.path = path
    monkeypatch.setitem(sys.modules, "datetime", fake)
    first = next(it)
    assert fake.seen[:3] == ["Already borrowed", "Already mutably borrowed", 3]
    monkeypatch.undo()
    assert [summary(first)] + [summary(b) for b in it] == expected
    assert len(it) == 3


def test_uncaught_error_from_callback_leaves_iterator_usable(stream_file, monkeypatch):
    def nested_next(module):
        next(module.iterator)

    fake = ReentrantDatetime("utcfromtimestamp", nested_next)
    fake.iterator = it = pelarune.iter_prices_file(stream_file(*LINES))
    monkeypatch.setitem(sys.modules, "datetime", fake)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        next(it)
    monkeypatch.undo()
    book = next(it)  # the first record stays consumed
    assert book.publish_time_epoch == 2000 and len(book.runners) == 2
    assert book.market_definition is not None  # built in the failed call, cached before it failed


def test_books_readable_during_next(stream_file, monkeypatch):
    # Books and runners are not guarded by the iterator: reading them from a callback is fine.
    books = []

    def read_previous(module):
        if books:
            module.seen.append([r.selection_id for r in books[-1].runners])

    fake = ReentrantDatetime("utcfromtimestamp", read_previous)
    fake.iterator = it = pelarune.iter_prices_file(stream_file(*LINES))
    monkeypatch.setitem(sys.modules, "datetime", fake)
    books.append(next(it))
    books.append(next(it))
    assert fake.seen == [[1, 2]]


def test_panic_raised_by_callback_is_resumed(stream_file, monkeypatch, capfd):
    # The exception type exists once a call into the interpreter has failed; it is reached
    # through BaseException since the module does not export it.
    with pytest.raises((OverflowError, ValueError, OSError)):
        next(pelarune.iter_prices_file(stream_file(mcm(2**62, change()))))
    (panic,) = [t for t in BaseException.__subclasses__() if t.__module__ == "extension_runtime"]
    base = instance_counts()

    def raise_panic(module):
        raise panic("raised by a callback")

    fake = ReentrantDatetime("utcfromtimestamp", raise_panic)
    fake.iterator = it = pelarune.iter_prices_file(stream_file(*LINES))
    monkeypatch.setitem(sys.modules, "datetime", fake)
    with pytest.raises(panic) as info:
        try:
            next(it)
        except Exception:
            pytest.fail("caught by except Exception")
    monkeypatch.undo()
    assert info.value.args == ("raised by a callback",)
    assert "raised by a callback" in capfd.readouterr().err
    assert next(it).publish_time_epoch == 2000  # unwound cleanly: flag free, record consumed
    del it, fake, info
    assert instance_counts() == base
