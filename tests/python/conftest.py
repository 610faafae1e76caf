"""Shared helpers: stream files written to tmp_path, change builders, a synthetic market
and live-instance counts."""

import gc
import gzip
import importlib.metadata
import itertools
import json
import os
import random
import sys

import pytest

import pelarune

# Recorded market files the repository carries (see the README there for their licence).
DATA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")

MARKET = "1.234"


def pytest_configure(config):
    # make pytest names the installed wheel's module, the sanitizer run its own build: a stale
    # or other module must not pass in its place. pelarune_flumine, pelarune_tables and
    # pelarune_runs are the installed ones (not the source tree's) and replay with the same
    # library.
    expected = os.environ.get("PELARUNE_EXPECT_MODULE")
    if expected:
        if os.path.realpath(pelarune.__file__) != os.path.realpath(expected):
            raise pytest.UsageError(f"imported {pelarune.__file__}, expected {expected}")
        import pelarune_flumine.stream

        installed = importlib.metadata.distribution("pelarune").locate_file(
            "pelarune_flumine/__init__.py")
        if os.path.realpath(pelarune_flumine.__file__) != os.path.realpath(installed):
            raise pytest.UsageError(f"imported {pelarune_flumine.__file__}, expected {installed}")
        native = pelarune_flumine.stream.native.__file__
        if os.path.realpath(native) != os.path.realpath(expected):
            raise pytest.UsageError(f"pelarune_flumine replays with {native}, expected {expected}")
        import pelarune_tables.table

        installed = importlib.metadata.distribution("pelarune").locate_file(
            "pelarune_tables/__init__.py")
        if os.path.realpath(pelarune_tables.__file__) != os.path.realpath(installed):
            raise pytest.UsageError(f"imported {pelarune_tables.__file__}, expected {installed}")
        native = pelarune_tables.table._native_module.__file__
        if os.path.realpath(native) != os.path.realpath(expected):
            raise pytest.UsageError(f"pelarune_tables reads with {native}, expected {expected}")
        import pelarune_runs

        installed = importlib.metadata.distribution("pelarune").locate_file(
            "pelarune_runs/__init__.py")
        if os.path.realpath(pelarune_runs.__file__) != os.path.realpath(installed):
            raise pytest.UsageError(f"imported {pelarune_runs.__file__}, expected {installed}")


def sanitized():
    """Whether AddressSanitizer runs in this process (its allocator keeps freed memory)."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def pytest_collection_modifyitems(items):
    # Every book's publish time goes through datetime.utcfromtimestamp, which warns on 3.12.
    for item in items:
        item.add_marker(pytest.mark.filterwarnings(
            "ignore:datetime.datetime.utcfromtimestamp:DeprecationWarning"))


@pytest.fixture
def stream_file(tmp_path):
    """write(*lines, gz=False) -> path; a line is a dict (written as JSON) or a raw str."""
    names = itertools.count()

    def write(*lines, gz=False):
        text = "".join((ln if isinstance(ln, str) else json.dumps(ln)) + "\n" for ln in lines)
        path = tmp_path / f"stream{next(names)}.{'gz' if gz else 'jsonl'}"
        path.write_bytes(gzip.compress(text.encode()) if gz else text.encode())
        return str(path)

    return write


def mcm(pt, *changes):
    """One stream message carrying `changes`."""
    return {"op": "mcm", "pt": pt, "mc": list(changes)}


def change(market_id=MARKET, **keys):
    """A market change for `market_id` (None leaves "id" out)."""
    body = {} if market_id is None else {"id": market_id}
    body.update(keys)
    return body


def definition(runners=(1, 2), **keys):
    """A market definition listing `runners` by selection id (or as given dicts)."""
    body = {
        "status": "OPEN",
        "marketTime": "2021-03-01T14:30:00.000Z",
        "openDate": "2021-03-01T14:00:00.000Z",
        "runners": [r if isinstance(r, dict) else {"id": r, "sortPriority": i + 1}
                    for i, r in enumerate(runners)],
    }
    body.update(keys)
    return body


def rc(selection_id, **keys):
    """A runner change."""
    return {"id": selection_id, **keys}


def event_level_file(tmp_path):
    """A race's WIN and PLACE recordings as the exchange ships an event: one file, records
    interleaved by publish time."""
    records = []
    for order, name in enumerate(["1.197931750", "1.197931751"]):
        with open(recorded(name)) as file:
            records += [(json.loads(line)["pt"], order, line) for line in file if line.strip()]
    path = tmp_path / "31389771"
    path.write_text("".join(line for _, _, line in sorted(records)))
    return str(path)


def recorded(name):
    """Path of a recorded file of the repository's data folder."""
    path = os.path.join(DATA_DIR, name)
    # A missing file fails the test with its name rather than as a load error further on.
    assert os.path.isfile(path), f"recorded file {path} is missing"
    return path


PRICES = [1.5, 1.98, 2.0, 2.02, 3.45, 10.0, 1000.0]


def synthetic_lines(records=240, seed=11):
    """A market's life: images, ladder churn, trades, starting prices, new definitions."""
    rng = random.Random(seed)
    ids = [101, 102, 103, 104, 105]

    def ladder():
        return [[rng.choice(PRICES), rng.choice([0, 0, 2, 10.5, 300])] for _ in range(3)]

    image = [rc(i, atb=ladder(), atl=ladder(), trd=ladder(), spb=ladder(), spl=ladder())
             for i in ids]
    lines = [mcm(1000, change(img=True, marketDefinition=definition(ids), rc=image))]
    for n in range(1, records):
        roll = rng.random()
        if roll < 0.05:
            body = change(marketDefinition=definition(ids, inPlay=n > records // 2,
                                                      suspendTime="2021-03-01T14:30:00Z"))
        elif roll < 0.07:
            body = change(img=True, rc=image[:rng.randint(1, len(ids))])
        else:
            body = change(tv=n, rc=[rc(rng.choice(ids), atb=ladder(), atl=ladder(),
                                       trd=ladder()[:1], ltp=rng.choice(PRICES),
                                       spn=rng.choice([None, 2.5, "NaN"]))])
        lines.append(mcm(1000 + n * 250, body))
    return lines


def instance_counts():
    """Live instances per class. Our classes are not tracked by gc, but each instance holds a
    reference to its heap type, so a type's reference count moves with its instances."""
    gc.collect()
    return {name: sys.getrefcount(getattr(pelarune, name)) for name in pelarune.__all__[1:]}


class MiddlewareMarket:
    """What a simulated middleware reads from flumine's Market while no order is live."""

    class Blotter:
        active = False

        def __iter__(self):
            return iter(())

    def __init__(self, market_id):
        self.market_id, self.context, self.market_book = market_id, {}, None
        self.blotter = self.Blotter()
