"""Loading stream files: which lines are kept, and every failure as ValueError."""

import errno
import gzip
import json
import os
import zlib

import pytest

import pelarune
from conftest import recorded

MC = '{"op":"mcm","pt":%d,"mc":[{"id":"1.1","rc":[{"id":1,"ltp":2.0}]}]}'


def write(tmp_path, data, name="stream.jsonl"):
    path = tmp_path / name
    if isinstance(data, str):
        data = data.encode()
    path.write_bytes(data)
    return str(path)


def load(tmp_path, data, name="stream.jsonl"):
    return pelarune.iter_prices_file(write(tmp_path, data, name))


def load_error(tmp_path, data, name="stream.jsonl"):
    with pytest.raises(ValueError) as info:
        load(tmp_path, data, name)
    return str(info.value)


class TestKeptLines:
    @pytest.mark.parametrize(
        "line,kept",
        [
            ('{"pt":5,"mc":[]}', True),
            ('{"pt":5,"rc":[]}', True),
            ('{"pt":5,"marketDefinition":{}}', True),
            ('{"pt":5,"mc":null,"marketDefinition":{}}', True),
            ('{"pt":5,"mc":{},"rc":1}', True),
            ('{"pt":5,"op":"mcm"}', False),
            ('{"pt":5,"mc":"x"}', False),
            ('{"pt":0,"mc":[]}', False),
            ('{"pt":-5,"mc":[]}', False),
            ('{"pt":1.6e12,"mc":[]}', False),
            ('{"pt":5.0,"mc":[]}', False),
            ('{"pt":"5","mc":[]}', False),
            ('{"mc":[]}', False),
            ('{"pt":9223372036854775807,"mc":[]}', True),
            ('{"pt":9223372036854775808,"mc":[]}', False),
            ('{"pt":0,"mc":[],"pt":7}', True),
            ('{"pt":7,"mc":[],"pt":0}', False),
            ("[1,2]", False),
            ('"text"', False),
            ("12", False),
            ("true", False),
            ("null", False),
            ("{}", False),
        ],
    )
    def test_keep_rule(self, tmp_path, line, kept):
        assert len(load(tmp_path, line + "\n")) == int(kept)

    def test_blank_lines_skipped(self, tmp_path):
        blank = "\t\x0b\x0c \u0085\u00a0\u1680\u2000\u200a\u2028\u2029\u202f\u205f\u3000"
        it = load(tmp_path, f"\n  \r\n{blank}\n\u00a0\u00a0\n")
        assert len(it) == 0 and not it

    def test_order_and_endings(self, tmp_path):
        text = "\r\n".join(MC % pt for pt in (30, 10, 20)) + "\n\n" + MC % 5
        assert len(load(tmp_path, text)) == 4

    def test_line_longer_than_buffer(self, tmp_path):
        ladder = ",".join(f"[{1 + i / 100},{i}]" for i in range(1, 120000))
        line = '{"pt":1,"mc":[{"id":"1.1","rc":[{"id":1,"atb":[%s]}]}]}' % ladder
        assert len(line) > 1 << 20
        assert len(load(tmp_path, line + "\n" + MC % 2 + "\n")) == 2


class TestGzip:
    LINES = "\n".join(MC % pt for pt in range(1, 6)) + "\n"

    @pytest.mark.parametrize("name", ["day.json.gz", "day.gzip", "..gz"])
    def test_gzip_names(self, tmp_path, name):
        assert len(load(tmp_path, gzip.compress(self.LINES.encode()), name)) == 5

    @pytest.mark.parametrize("name", ["day.GZ", "day.gz.bak", ".gz", "day."])
    def test_other_names_read_as_text(self, tmp_path, name):
        assert "UTF-8" in load_error(tmp_path, gzip.compress(self.LINES.encode()), name)

    def test_every_member_is_read(self, tmp_path):
        first, second = self.LINES.encode(), (MC % 99 + "\n").encode()
        data = gzip.compress(first) + gzip.compress(second)
        assert len(load(tmp_path, data, "a.gz")) == 6

    def test_trailing_garbage_ignored(self, tmp_path):
        data = gzip.compress(self.LINES.encode()) + b"\0\0garbage"
        assert len(load(tmp_path, data, "a.gz")) == 5

    def test_bad_second_member_fails(self, tmp_path):
        second = bytearray(gzip.compress(b"more\n"))
        second[-8] ^= 0xFF  # trailer CRC
        load_error(tmp_path, gzip.compress(self.LINES.encode()) + bytes(second), "a.gz")

    @pytest.mark.parametrize(
        "data",
        [b"", b"\x1f\x8b\x08", b"plain text", b"plain text that is long"],
        ids=["empty", "short", "short-text", "text"],
    )
    def test_not_gzip(self, tmp_path, data):
        load_error(tmp_path, data, "a.gz")

    def test_corrupt_and_truncated(self, tmp_path):
        data = gzip.compress(self.LINES.encode())
        load_error(tmp_path, data[:-4], "a.gz")
        load_error(tmp_path, data[: len(data) // 2], "a.gz")
        flipped = bytearray(data)
        flipped[12] ^= 0x55
        load_error(tmp_path, bytes(flipped), "a.gz")

    def test_crlf_recorded_file(self):
        assert len(pelarune.iter_prices_file(recorded("BASIC-1.132153978.gz"))) == 480


class TestFailures:
    def test_missing_file(self, tmp_path):
        with pytest.raises(ValueError) as info:
            pelarune.iter_prices_file(str(tmp_path / "absent.gz"))
        assert str(info.value) == f"{os.strerror(errno.ENOENT)} (os error {errno.ENOENT})"

    def test_directory(self, tmp_path):
        with pytest.raises(ValueError, match=r"\(os error \d+\)$"):
            pelarune.iter_prices_file(str(tmp_path))

    def test_nul_in_path(self, tmp_path):
        with pytest.raises(ValueError):
            pelarune.iter_prices_file(str(tmp_path) + "/a\0b")

    @pytest.mark.parametrize(
        "data",
        [
            MC % 1 + "\n" + '{"pt":2,"mc":[}' + "\n",
            '{"pt":2,"mc":[]} x\n',
            '{"pt":2,"mc":[]}\u00a0\n',
            "\ufeff" + MC % 1 + "\n",
            "[" * 128 + "]" * 128 + "\n",
            '{"pt":2,"mc":[1e400]}\n',
            '{"pt":2,"mc":["\\x"]}\n',
            '{"pt":2,"mc":["a\tb"]}\n',
            '{"pt":2,"mc":[{"id":"1.1\\ud800"}]}\n',
            '{"pt":2,"mc":[{"id":"1.1\\udc00"}]}\n',
        ],
        ids=["syntax", "trailing", "nbsp", "bom", "deep", "overflow", "escape", "control",
             "lone-high-surrogate", "lone-low-surrogate"],
    )
    def test_invalid_json(self, tmp_path, data):
        message = load_error(tmp_path, data)
        assert "column" in message

    def test_invalid_utf8_anywhere(self, tmp_path):
        for data in [b"\xff\n" + (MC % 1).encode(), (MC % 1).encode() + b"\n\xc3\x28\n"]:
            load_error(tmp_path, data)

    def test_error_line_does_not_need_newline(self, tmp_path):
        load_error(tmp_path, MC % 1 + "\n{")

    def test_deep_nesting_limit(self, tmp_path):
        line = '{"pt":1,"mc":[' + "[" * 125 + "]" * 125 + "]}"
        assert len(load(tmp_path, line)) == 1


def test_recorded_files():
    for name, count in [("BASIC-1.132153978", 480), ("1.197931750", 166)]:
        it = pelarune.iter_prices_file(recorded(name))
        assert len(it) == count
        assert iter(it) is it
