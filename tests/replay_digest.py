"""Prints a digest of what the installed pelarune gives for the repository's recorded files, for
comparing two installs (an emulated aarch64 wheel against the x86_64 one): per file and form
(plain, .gz, .bz2) the number of books and a SHA-256 of every book's to_dict(), then the orders
of a flumine backtest of one file on pelarune_flumine's stream.

Usage: replay_digest.py
"""

import bz2
import gzip
import hashlib
import json
import logging
import os
import sys
import tempfile
import warnings

import pelarune

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "python"))
DATA = os.path.join(HERE, "data")
FILES = ["1.197931750", "1.197931751", "BASIC-1.132153978"]


def digest(values):
    text = json.dumps(values, sort_keys=True, default=repr)
    return hashlib.sha256(text.encode()).hexdigest()


def main():
    import pelarune_flumine

    logging.disable(logging.CRITICAL)  # flumine logs every order and market
    warnings.filterwarnings("ignore", "datetime.datetime.utcfromtimestamp", DeprecationWarning)
    from test_flumine import backtest

    with tempfile.TemporaryDirectory() as folder:
        for name in FILES:
            with open(os.path.join(DATA, name), "rb") as file:
                data = file.read()
            forms = {"": data, ".gz": gzip.compress(data, mtime=0), ".bz2": bz2.compress(data)}
            for suffix, content in forms.items():
                path = os.path.join(folder, name + suffix)
                with open(path, "wb") as file:
                    file.write(content)
                books = [book.to_dict() for book in pelarune.iter_prices_file(path)]
                print(f"{name}{suffix}: {len(books)} books {digest(books)}")
        result = backtest(os.path.join(DATA, FILES[0]), pelarune_flumine.BetfairHistoricalStream)
        print(f"backtest of {FILES[0]}: {len(result['orders'])} orders {digest(result)}")


if __name__ == "__main__":
    main()
