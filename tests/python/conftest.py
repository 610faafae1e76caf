"""Shared helpers: stream files written to tmp_path, and change builders."""

import gzip
import itertools
import json
import os

import pytest

DATA_DIR = os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "data")

MARKET = "1.234"


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


def recorded(name):
    """Path of a recorded file, skipping the test when the recordings are not there."""
    path = os.path.join(DATA_DIR, name)
    if not os.path.exists(path):
        pytest.skip(f"recorded file {name} not available")
    return path
