"""MarketBook.streaming_unique_id: the one writable attribute, and its checks in order."""

import pytest

import pelarune
from conftest import change, mcm


@pytest.fixture
def book(stream_file):
    return next(pelarune.iter_prices_file(stream_file(mcm(1, change()))))


class Index:
    def __index__(self):
        return 12


@pytest.mark.parametrize("value, stored", [
    (7, 7), (True, 1), (Index(), 12), (2**31 - 1, 2**31 - 1), (-(2**31), -(2**31)), (None, None)])
def test_accepted(book, value, stored):
    assert book.streaming_unique_id is None
    book.streaming_unique_id = 5
    book.streaming_unique_id = value
    assert book.streaming_unique_id == stored


@pytest.mark.parametrize("value, error, message", [
    (2**31, OverflowError, None),
    (-(2**31) - 1, OverflowError, None),
    (2**64, OverflowError, None),
    ("7", TypeError,
     "^argument 'streaming_unique_id': 'str' object cannot be interpreted as an integer$"),
    (7.0, TypeError, "^argument 'streaming_unique_id': 'float' object cannot be interpreted"),
])
def test_refused_value_keeps_old(book, value, error, message):
    book.streaming_unique_id = 3
    with pytest.raises(error, match=message):
        book.streaming_unique_id = value
    assert book.streaming_unique_id == 3


def test_delete(book):
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del book.streaming_unique_id


class Subclass(int):
    pass


def test_books_are_independent(stream_file):
    first, second = pelarune.iter_prices_file(stream_file(mcm(1, change()), mcm(2, change())))
    first.streaming_unique_id = Subclass(9)
    assert (first.streaming_unique_id, second.streaming_unique_id) == (9, None)
    assert type(first.streaming_unique_id) is int
