"""PriceSize: its positional repr and item access by "price" and "size"."""

import json
import random
import struct
from decimal import Decimal

import pytest

import pelarune


def price_sizes(stream_file, levels):
    """PriceSize objects of a traded ladder holding `levels` ([price, size] pairs)."""
    line = '{"pt": 1, "mc": [{"id": "1.1", "rc": [{"id": 1, "trd": [%s]}]}]}' % ", ".join(
        f"[{p}, {s}]" for p, s in levels)
    (book,) = pelarune.iter_prices_file(stream_file(line))
    return book.runners[0].ex.traded_volume


def random_doubles(rng, count):
    values = []
    while len(values) < count:
        x = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        if x == x and abs(x) != float("inf") and x != 0:
            values.append(abs(x))
    # Short decimals, the common case for prices and sizes.
    values += [round(rng.uniform(1, 1000), rng.randrange(0, 4)) for _ in range(count)]
    return values


def check_positional(text, x):
    assert "e" not in text and "E" not in text
    assert Decimal(text) == Decimal(repr(x))  # the same shortest digits as Python's repr
    assert float(text) == x
    if x == int(x):
        assert "." not in text
    else:
        assert not text.endswith("0")


class TestRepr:
    @pytest.mark.parametrize("price, size, text", [
        ("2.0", "10.0", "PriceSize(price=2, size=10)"),
        ("1.01", "123.45", "PriceSize(price=1.01, size=123.45)"),
        ("1000.0", "0.5", "PriceSize(price=1000, size=0.5)"),
        ("1e-7", "1e21", "PriceSize(price=0.0000001, size=1" + "0" * 21 + ")"),
        ("-1.5", "0.1", "PriceSize(price=-1.5, size=0.1)"),
        ("1e16", "12345678901234568e4",
         "PriceSize(price=10000000000000000, size=123456789012345680000)"),
        ("0.30000000000000004", "5e-324", "PriceSize(price=0.30000000000000004, size=0.000"),
    ])
    def test_examples(self, stream_file, price, size, text):
        (ps,) = price_sizes(stream_file, [(price, size)])
        assert repr(ps).startswith(text) and str(ps) == repr(ps)

    def test_random_doubles_match_python_digits(self, stream_file):
        rng = random.Random(20240501)
        values = random_doubles(rng, 500)
        levels = [(json.dumps(float(i + 1)), json.dumps(v)) for i, v in enumerate(values)]
        for ps in price_sizes(stream_file, levels):
            inner = repr(ps)[len("PriceSize(price="):-1]
            price_text, size_text = inner.split(", size=")
            check_positional(price_text, ps.price)
            check_positional(size_text, ps.size)


class TestItemAccess:
    @pytest.fixture
    def ps(self, stream_file):
        return price_sizes(stream_file, [("1.5", "20")])[0]

    def test_keys(self, ps):
        assert ps["price"] == ps.price == 1.5 and type(ps["price"]) is float
        assert ps["size"] == ps.size == 20.0

    def test_str_subclass_key(self, ps):
        class Key(str):
            pass

        assert ps[Key("size")] == 20.0

    @pytest.mark.parametrize("key", ["Price", "", "sizes"])
    def test_other_string_is_key_error(self, ps, key):
        with pytest.raises(KeyError) as raised:
            ps[key]
        assert raised.value.args == (key,)

    @pytest.mark.parametrize("key, name", [(0, "int"), (b"price", "bytes"), (None, "NoneType")])
    def test_non_string_key(self, ps, key, name):
        message = f"^argument 'key': '{name}' object cannot be converted to 'PyString'$"
        with pytest.raises(TypeError, match=message):
            ps[key]

    def test_not_iterable(self, ps):
        with pytest.raises(TypeError, match="argument 'key': 'int'"):
            list(ps)

    def test_identity_equality(self, stream_file):
        first, second = price_sizes(stream_file, [("1.5", "2")]) + price_sizes(
            stream_file, [("1.5", "2")])
        assert first != second and first == first
