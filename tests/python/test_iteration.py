"""Stepping through the records: one book per record, markets, and the end of iteration."""

import pytest

import pelarune
from conftest import change, definition, mcm, rc


def books(stream_file, *lines):
    return list(pelarune.iter_prices_file(stream_file(*lines)))


class TestEnd:
    def test_empty_file(self, stream_file):
        it = pelarune.iter_prices_file(stream_file())
        assert len(it) == 0 and not it and iter(it) is it
        for _ in range(2):
            with pytest.raises(StopIteration):
                next(it)

    def test_exhaustion_repeats_and_len_stays(self, stream_file):
        it = pelarune.iter_prices_file(stream_file(mcm(1, change()), mcm(2, change())))
        assert len(it) == 2
        assert [b.publish_time_epoch for b in it] == [1, 2]
        for _ in range(3):
            with pytest.raises(StopIteration):
                next(it)
        assert len(it) == 2


class TestRecordsBeforeMarket:
    def test_passed_over_in_the_same_call(self, stream_file):
        # Records naming no market are consumed without a book; the first book comes from the
        # first record that names one, and iteration does not stop early.
        it = pelarune.iter_prices_file(stream_file(
            mcm(1, change(None, rc=[rc(9, ltp=2.0)])),
            mcm(2),
            mcm(3, change("")),
            mcm(4, change(rc=[rc(1, ltp=3.0)])),
            mcm(5, change(None, rc=[rc(2)]))))
        first = next(it)
        assert first.publish_time_epoch == 4 and first.market_id == "1.234"
        assert [r.selection_id for r in first.runners] == [1]  # runner 9 was never applied
        assert [b.publish_time_epoch for b in it] == [5]
        assert len(it) == 5

    def test_only_unnamed_records(self, stream_file):
        assert books(stream_file, mcm(1, change(None)), mcm(2, 7, [1])) == []

    def test_earlier_changes_of_creating_record_skipped(self, stream_file):
        (book,) = books(stream_file, mcm(1, change(None, rc=[rc(8)]), change(rc=[rc(1)])))
        assert [r.selection_id for r in book.runners] == [1]


class TestOtherMarkets:
    def test_changes_of_other_markets_left_out(self, stream_file):
        result = books(stream_file,
                       mcm(1, change(marketDefinition=definition(), rc=[rc(1, ltp=2.0)])),
                       mcm(2, change("1.999", rc=[rc(1, ltp=9.0)], tv=50)),
                       mcm(3, change("1.999", img=True), change(rc=[rc(2, ltp=4.0)])),
                       mcm(4, change("1.999", marketDefinition={"status": "CLOSED"})))
        assert [b.publish_time_epoch for b in result] == [1, 3]
        last = result[-1]
        assert last.market_id == "1.234" and last.total_matched == 0.0 and last.status == "OPEN"
        assert [r.last_price_traded for r in last.runners] == [2.0, 4.0]
        assert last.market_definition is result[0].market_definition

    def test_unnamed_and_non_object_changes_apply(self, stream_file):
        result = books(stream_file, mcm(1, change()), mcm(2, change(None, tv=5)), mcm(3, 42),
                       mcm(4, []), mcm(5))
        assert [b.publish_time_epoch for b in result] == [1, 2, 3, 4, 4]
        assert result[-1].total_matched == 5.0


class TestOneBookPerRecord:
    def test_all_changes_applied_before_the_book(self, stream_file):
        (book,) = books(stream_file, mcm(7, change(rc=[rc(1, ltp=2.0)]),
                                         change(rc=[rc(1, ltp=3.0), rc(2)])))
        assert [r.last_price_traded for r in book.runners] == [3.0, None]
        assert book.publish_time_epoch == 7

    def test_empty_record_gives_same_content(self, stream_file):
        first, second = books(stream_file, mcm(5, change(tv=3, rc=[rc(1, atb=[[2, 1]])])),
                              mcm(9))
        assert second is not first and second.runners is not first.runners
        assert second.runners == first.runners  # the same Runner objects
        assert (second.publish_time_epoch, second.total_matched) == (5, 3.0)

    def test_top_level_change_line(self, stream_file):
        line = {"pt": 3, "id": "1.5", "rc": [{"id": 4, "ltp": 1.5}]}
        (book,) = books(stream_file, line)
        assert book.market_id == "1.5" and book.runners[0].last_price_traded == 1.5

    def test_gzip_same_books(self, stream_file):
        lines = [mcm(1, change(marketDefinition=definition())), mcm(2, change(rc=[rc(1, ltp=2)]))]
        plain = [(b.publish_time_epoch, len(b.runners)) for b in books(stream_file, *lines)]
        assert len(plain) == 2
        zipped = pelarune.iter_prices_file(stream_file(*lines, gz=True))
        assert [(b.publish_time_epoch, len(b.runners)) for b in zipped] == plain


def test_books_outlive_iterator(stream_file):
    it = pelarune.iter_prices_file(stream_file(mcm(1, change(rc=[rc(1, atb=[[2, 1]])]))))
    book = next(it)
    del it
    assert book.runners[0].ex.available_to_back[0].price == 2.0
