"""Argument binding and conversion errors of iter_prices_file."""

import pathlib

import pytest

import pelarune


def write(tmp_path, text, name="stream.jsonl"):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


class TestBinding:
    def test_missing(self):
        with pytest.raises(TypeError) as info:
            pelarune.iter_prices_file()
        assert str(info.value) == "iter_prices_file() missing 1 required positional argument: 'path'"

    @pytest.mark.parametrize("count", [2, 3])
    def test_too_many_positional(self, count):
        with pytest.raises(TypeError) as info:
            pelarune.iter_prices_file(*(["x"] * count))
        assert str(info.value) == (
            f"iter_prices_file() takes 1 positional arguments but {count} were given"
        )

    def test_multiple_values(self):
        with pytest.raises(TypeError) as info:
            pelarune.iter_prices_file("a", path="b")
        assert str(info.value) == "iter_prices_file() got multiple values for argument 'path'"

    def test_unexpected_keyword_even_with_path(self, tmp_path):
        path = write(tmp_path, "")
        with pytest.raises(TypeError) as info:
            pelarune.iter_prices_file(path=path, mode="r")
        assert str(info.value) == "iter_prices_file() got an unexpected keyword argument 'mode'"

    def test_first_error_decides(self):
        # Positional count is checked before keywords, keywords in the order given.
        with pytest.raises(TypeError, match="takes 1 positional arguments but 2 were given"):
            pelarune.iter_prices_file("a", "b", bogus=1)
        with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
            pelarune.iter_prices_file("a", bogus=1, path="c")
        with pytest.raises(TypeError, match="multiple values for argument 'path'"):
            pelarune.iter_prices_file("a", path="c", bogus=1)

    def test_unencodable_keyword_shown_escaped(self):
        with pytest.raises(TypeError) as info:
            pelarune.iter_prices_file(**{"p\udc80": 1})
        assert str(info.value) == (
            "iter_prices_file() got an unexpected keyword argument 'p\\udc80'"
        )

    def test_keyword_same_as_positional(self, tmp_path):
        path = write(tmp_path, '{"pt":1,"mc":[]}\n')
        assert len(pelarune.iter_prices_file(path=path)) == len(pelarune.iter_prices_file(path)) == 1


class TestPathConversion:
    @pytest.mark.parametrize(
        "value,type_name",
        [(pathlib.Path("x"), "PosixPath"), (b"x", "bytes"), (3, "int"), (None, "NoneType")],
    )
    def test_not_a_str(self, value, type_name):
        with pytest.raises(TypeError) as info:
            pelarune.iter_prices_file(value)
        assert str(info.value) == (
            f"argument 'path': '{type_name}' object cannot be converted to 'PyString'"
        )

    def test_str_subclass_accepted(self, tmp_path):
        class Name(str):
            pass

        assert len(pelarune.iter_prices_file(Name(write(tmp_path, "")))) == 0

    def test_lone_surrogate_is_an_encoding_error(self):
        with pytest.raises(UnicodeEncodeError):
            pelarune.iter_prices_file("bad\udc80name")
