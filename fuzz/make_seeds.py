#!/usr/bin/env python3
"""Writes the fuzzers' seed corpus: small inputs cut from a generated stream file and from the
recorded files of tests/data, plus hand-made edge cases.

    python3 fuzz/make_seeds.py OUT    # OUT/load/*, OUT/parse/*, OUT/apply/* and OUT/flumine/*

fuzz_load takes a whole stream file (its seeds also come gzip- and bzip2-compressed, since it
reads each input as a gzip and a bzip2 file too); fuzz_parse takes the plain ones, parsed line by
line; fuzz_apply takes one market change per line. The seeds depend only on the inputs: the same
files give the same seeds. Standard library only.
"""

import argparse
import bz2
import gzip
import hashlib
import io
import json
import os
import random
import struct
import subprocess
import sys
import tempfile
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RECORDED = os.path.join(ROOT, "tests", "data")

# Larger inputs slow every execution; the fuzz run's -max_len matches.
MAX_SEED_BYTES = 12 * 1024
WINDOWS_PER_FILE = 60

# Hand-made stream files: line endings, blank and white-space lines, publish times, the places
# where the keep rules and the JSON limits branch.
LOAD_EDGES = [
    b"",
    b"\n\n \t\r\n",
    b'{"pt":1,"mc":[]}',
    b'{"pt":1,"mc":[]}\r\n{"pt":2,"mc":[{"id":"1.1"}]}\r\n',
    b'{"pt":1,"mc":[]}\r',
    b'{"pt":1,"mc":[]}\r{"pt":2,"mc":[]}\r',
    b'\xef\xbb\xbf{"pt":1,"mc":[]}\n',
    b'\xc2\xa0\xe3\x80\x80\xe2\x80\xa8\n{"pt":1,"mc":[]}\xc2\xa0\n',
    b'{"pt":1,"mc":[]}\n\xff\n',
    b'{"pt":1,"mc":[{"id":"\xed\xa0\x80"}]}\n',
    b'{"pt":1,"mc":[{"id":"\\ud800\\udc00\\u0000\\n"}]}\n',
    b'{"pt":1,"mc":[{"id":"\\ud800"}]}\n',
    b'{"pt":0,"mc":[]}\n{"pt":-1,"mc":[]}\n{"pt":1.6e12,"mc":[]}\n{"pt":"5","mc":[]}\n',
    b'{"pt":9223372036854775807,"mc":[]}\n{"pt":9223372036854775808,"mc":[]}\n',
    b'{"pt":18446744073709551616,"mc":[]}\n{"pt":-9223372036854775809,"mc":[]}\n',
    b'{"pt":0,"mc":[],"pt":7}\n{"pt":7,"mc":[],"pt":0}\n',
    b'{"pt":3,"mc":null,"marketDefinition":{"status":"OPEN"},"id":"1.1"}\n',
    b'{"pt":3,"rc":[{"id":1,"ltp":2}],"id":"1.1"}\n',
    b'[1,2]\n"text"\n5\ntrue\nnull\n{}\n',
    b'{"pt":1,"mc":[]} {"pt":2}\n',
    b'{"pt":1,"mc":[1e400]}\n',
    b'{"pt":1,"mc":[-0,0.0,-0.0,1E-400,5e-324]}\n',
    b'{"pt":1,"mc":["\x01"]}\n',
    b'{"pt":1,"mc":[' + b"[" * 125 + b"]" * 125 + b"]}\n",
    b'{"pt":1,"mc":[' + b"[" * 126 + b"]" * 126 + b"]}\n",
]

# Hand-made change sequences for the engine, one change per line.
APPLY_EDGES = [
    [{"id": "1.1", "img": True, "rc": [{"id": 1, "hc": -0.125, "atb": [[1.5, 10], [1.5, 0]],
                                        "trd": [[2, 5]], "spn": "NaN"}]},
     {"marketDefinition": {"runners": [{"id": 1, "status": "REMOVED"}]}}],
    [{"rc": [{"id": 7, "hc": 0.005}, {"id": 7, "hc": 0.004}, {"id": 7, "hc": "x"},
             {"id": 7.0}, {"id": "7"}, {"id": -1, "hc": 1e300}, {"id": 2, "hc": -1e300}]}],
    [{"rc": [{"id": 1, "atb": [[1.5, 10]], "atl": [[2, 5], [2.0, 0]], "spb": [[3.0, 4]],
              "spl": [["x", 5], [None, 5], [1.5], [1.5, 10, 99], [1.5, None]]}]},
     {"rc": [{"id": 1, "atb": [1.5, 10], "trd": [], "spf": None, "ltp": 2, "tv": 5}]},
     {"rc": [{"id": 1, "ltp": 2, "tv": 5}]}],
    [{"betDelay": 4294967297, "version": 9223372036854775808, "lastMatchTime": -3,
      "tv": 1e308, "status": "SUSPENDED", "inPlay": True, "complete": False},
     {"betDelay": 5.0, "version": -3, "img": 1},
     {"img": "true"}, {"img": False}, [], 5, "x", None],
    [{"marketDefinition": None}, {"marketDefinition": {"regulators": ["A", 3, "B"]}},
     {"marketDefinition": {"regulators": "A", "runners": [5, None, {"id": 3, "bsp": 2.5},
                                                          {"id": 3, "bsp": "NaN"}]}},
     {"marketDefinition": {"runners": []}}],
    [{"marketDefinition": {"status": "OPEN", "numberOfWinners": -1, "eachWayDivisor": 4,
                           "runners": [{"id": 1, "adjustmentFactor": 5, "removalDate": "x",
                                        "sortPriority": 4294967296}]},
      "status": "CLOSED"},
     {"rc": [{"id": 1, "status": "WINNER", "removalDate": "x", "adjustmentFactor": 5}]},
     {"img": True}, {"rc": [{"id": 2}]}],
]


def seed_name(prefix, data):
    return "%s-%s" % (prefix, hashlib.sha1(data).hexdigest()[:12])


def gzip_bytes(data, name=None):
    """One gzip member; with a name it carries FNAME, as gzip(1) writes it."""
    out = io.BytesIO()
    with gzip.GzipFile(filename=name or "", mode="wb", fileobj=out, mtime=0) as stream:
        stream.write(data)
    return out.getvalue()


def gzip_with_all_fields(data):
    """A member with FEXTRA, FNAME, FCOMMENT and FHCRC set."""
    header = b"\x1f\x8b\x08\x1e" + b"\x00" * 4 + b"\x00\x03"
    header += struct.pack("<H", 4) + b"AB\x00\x00" + b"day.json\x00" + b"recorded\x00"
    header += struct.pack("<H", zlib.crc32(header) & 0xFFFF)
    deflate = zlib.compressobj(6, zlib.DEFLATED, -15)
    body = deflate.compress(data) + deflate.flush()
    return header + body + struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)


def windows(lines, rng, count):
    """Runs of consecutive lines, the first line (an image, as a rule) always among them."""
    yield lines[:3]
    for _ in range(count):
        start = rng.randrange(len(lines))
        yield lines[start:start + rng.choice([1, 1, 2, 3, 5, 8])]


def stream_lines(path):
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rb") as source:
        return [line.rstrip(b"\r\n") for line in source if line.strip()]


def changes_of(line):
    try:
        message = json.loads(line)
    except ValueError:
        return []
    changes = message.get("mc") if isinstance(message, dict) else None
    return [json.dumps(c, separators=(",", ":")).encode() for c in changes or []]


def cut(lines, rng, prefix, load, apply):
    for window in windows(lines, rng, WINDOWS_PER_FILE):
        ending = rng.choice([b"\n", b"\n", b"\r\n"])
        text = ending.join(window) + (ending if rng.random() < 0.8 else b"")
        if len(text) <= MAX_SEED_BYTES:
            load[seed_name(prefix, text)] = text
            roll = rng.random()
            if roll < 0.3:
                zipped = gzip_bytes(text, "day.json" if rng.random() < 0.5 else None)
                load[seed_name(prefix + "-gz", zipped)] = zipped
            elif roll < 0.4:
                bzipped = bz2.compress(text, 1)
                load[seed_name(prefix + "-bz2", bzipped)] = bzipped
        changes = b"\n".join(c for line in window for c in changes_of(line))
        if changes and len(changes) <= MAX_SEED_BYTES:
            apply[seed_name(prefix, changes)] = changes


def generated_lines():
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "stream.json")
        subprocess.run([sys.executable, os.path.join(ROOT, "bench", "generate.py"), "-o", path,
                        "--markets", "2", "--updates", "300", "--seed", "7"],
                       check=True, stderr=subprocess.DEVNULL)
        return stream_lines(path)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", help="folder to write load/, parse/ and apply/ into")
    parser.add_argument("--recorded", default=RECORDED,
                        help="folder of recorded files (default %(default)s)")
    args = parser.parse_args(argv)

    rng = random.Random(20220419)
    load, apply = {}, {}
    cut(generated_lines(), rng, "gen", load, apply)
    for name in sorted(os.listdir(args.recorded)):
        path = os.path.join(args.recorded, name)
        if name.endswith(".md") or name == "LICENSE" or not os.path.isfile(path):
            continue
        cut(stream_lines(path), rng, "rec", load, apply)

    for text in LOAD_EDGES:
        load[seed_name("edge", text)] = text
    sample = LOAD_EDGES[3]
    for zipped in (gzip_bytes(sample), gzip_with_all_fields(sample),
                   gzip_bytes(b"one\n") + gzip_bytes(sample),       # two members
                   gzip_bytes(sample) + b"\x00" * 16,               # padding after the member
                   gzip_bytes(sample) + b"\x1f",                    # a lone magic byte after it
                   gzip_bytes(sample)[:-4],                         # cut inside the trailer
                   gzip_bytes(b""), b"\x1f\x8b\x08\x00"):
        load[seed_name("edge-gz", zipped)] = zipped
    for bzipped in (bz2.compress(sample, 1),
                    bz2.compress(b"one\n", 1) + bz2.compress(sample, 9),  # two streams
                    bz2.compress(sample, 1) + b"\x00" * 16,               # padding after it
                    bz2.compress(sample, 1) + b"BZ",                      # a magic start after it
                    bz2.compress(sample, 1)[:-4],                         # cut inside the CRC
                    bz2.compress(b"", 1), b"BZh9", b"BZh0"):
        load[seed_name("edge-bz2", bzipped)] = bzipped
    for changes in APPLY_EDGES:
        text = b"\n".join(json.dumps(c, separators=(",", ":")).encode() for c in changes)
        apply[seed_name("edge", text)] = text

    parse = {name: data for name, data in load.items() if "-gz-" not in name}
    # fuzz_flumine: a byte of listener filters, then the same changes, one record a line.
    flumine = {name: bytes([n % 32]) + data
               for n, (name, data) in enumerate(sorted(apply.items()))}
    for target, seeds in (("load", load), ("parse", parse), ("apply", apply), ("flumine", flumine)):
        folder = os.path.join(args.out, target)
        os.makedirs(folder, exist_ok=True)
        for name in os.listdir(folder):
            os.remove(os.path.join(folder, name))
        for name, data in sorted(seeds.items()):
            with open(os.path.join(folder, name), "wb") as out:
                out.write(data)
        print("%s: %d seeds for fuzz_%s" % (folder, len(seeds), target))


if __name__ == "__main__":
    main()
