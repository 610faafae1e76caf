"""Replay of real recordings: counts, runner order and reuse invariants."""

import bz2
import gzip
import json
import sys

import pytest

import pelarune
from conftest import recorded

COUNTS = {"BASIC-1.132153978": 480, "BASIC-1.132153978.gz": 480, "1.197931750": 166}
LADDER_KEYS = {"atb": "available_to_back", "atl": "available_to_lay", "trd": "traded_volume"}


def raw_records(path):
    """Each kept line's market changes, read independently of the extension."""
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rt", encoding="utf-8") as lines:
        for line in lines:
            if not line.strip():
                continue
            message = json.loads(line)
            pt = message.get("pt")
            if type(pt) is int and pt > 0 and isinstance(message.get("mc"), list):
                yield pt, message["mc"]


def mentioned(changes):
    """Selection ids a record touches through runner changes or definition entries."""
    ids = set()
    for mc in changes:
        for entry in mc.get("rc", []) + (mc.get("marketDefinition") or {}).get("runners", []):
            ids.add(entry["id"])
    return ids


def check_book(book, previous, pt, changes):
    assert book.publish_time_epoch == pt
    keys = [(r.selection_id, r.handicap) for r in book.runners]
    assert keys == sorted(keys) and book.number_of_runners == len(keys)
    assert book.number_of_active_runners == sum(r.status == "ACTIVE" for r in book.runners)
    if previous is None:
        return
    new_definition = any("marketDefinition" in mc for mc in changes)
    assert (book.market_definition is not previous.market_definition) == new_definition
    if any(mc.get("img") for mc in changes):
        assert not set(map(id, book.runners)) & set(map(id, previous.runners))
        return
    old = {(r.selection_id, r.handicap): r for r in previous.runners}
    touched = mentioned(changes)
    rc_keys = {entry["id"]: entry.keys() for mc in changes for entry in mc.get("rc", [])}
    for runner in book.runners:
        before = old.get((runner.selection_id, runner.handicap))
        if before is None:
            continue
        if runner.selection_id not in touched:
            assert runner is before
        for key, attribute in LADDER_KEYS.items():
            if key not in rc_keys.get(runner.selection_id, ()):
                assert getattr(runner.ex, attribute) is getattr(before.ex, attribute)


@pytest.mark.parametrize("name", sorted(COUNTS))
def test_replay_invariants(name):
    path = recorded(name)
    it = pelarune.iter_prices_file(path)
    raw = list(raw_records(path))
    assert len(it) == len(raw) == COUNTS[name]
    previous = None
    for book, (pt, changes) in zip(it, raw):
        check_book(book, previous, pt, changes)
        previous = book
    with pytest.raises(StopIteration):
        next(it)


def test_plain_and_gzip_agree():
    def summary(path):
        return [(b.publish_time_epoch, b.status, b.inplay,
                 [(r.selection_id, r.status, r.last_price_traded, r.total_matched)
                  for r in b.runners]) for b in pelarune.iter_prices_file(path)]

    plain = summary(recorded("BASIC-1.132153978"))
    assert len(plain) == COUNTS["BASIC-1.132153978"]
    assert summary(recorded("BASIC-1.132153978.gz")) == plain


@pytest.mark.parametrize("name", sorted(COUNTS))
def test_bzip2_replays_like_plain(name, tmp_path):
    with (gzip.open if name.endswith(".gz") else open)(recorded(name), "rb") as source:
        text = source.read()

    def books(data, file_name):
        path = tmp_path / file_name
        path.write_bytes(data)
        it = pelarune.iter_prices_file(str(path))
        return len(it), [(b.publish_time_epoch, b.publish_time, b.to_dict()) for b in it]

    plain = books(text, "plain.json")
    assert plain[0] == COUNTS[name]
    half = len(text) // 2
    assert books(bz2.compress(text), "one.json.bz2") == plain
    assert books(bz2.compress(text[:half], 1) + bz2.compress(text[half:]), "two.bz2") == plain
    with pytest.raises(ValueError, match="^truncated bzip2 stream$"):
        books(bz2.compress(text)[:-1], "cut.bz2")


def test_final_state_of_greyhound_market():
    books = list(pelarune.iter_prices_file(recorded("1.197931750")))
    assert len(books) == COUNTS["1.197931750"]
    last = books[-1]
    assert last.status == "CLOSED" and last.market_definition.name == "OR 280m"
    assert sorted(r.status for r in last.runners).count("WINNER") == 1


def test_held_objects_released_with_iterator():
    it = pelarune.iter_prices_file(recorded("1.197931750"))
    first = next(it)
    runner, definition = first.runners[0], first.market_definition
    counts = sys.getrefcount(runner), sys.getrefcount(definition)
    assert sum(1 for _ in it) == COUNTS["1.197931750"] - 1
    del it
    # Only the iterator's caches let go of them: one reference each.
    assert (sys.getrefcount(runner), sys.getrefcount(definition)) == (counts[0] - 1, counts[1] - 1)



def test_two_markets_in_one_file_count_every_record(tmp_path):
    # As the README shows: len() counts the other market's records, which are never yielded.
    path = tmp_path / "two.json"
    with open(path, "wb") as out:
        for name in ("BASIC-1.132153978", "1.197931750"):
            with open(recorded(name), "rb") as part:
                out.write(part.read())
    it = pelarune.iter_prices_file(str(path))
    books = list(it)
    assert (len(it), len(books)) == (646, 480)
    assert {book.market_id for book in books} == {"1.132153978"}
