"""The installed stubs against what the module really returns: stubtest (run by make typecheck)
compares names and signatures, this compares every property's value with its annotated type."""

import functools
import importlib.metadata
import json
import os
import subprocess
import sys
import types
import typing

import pytest

import pelarune
from conftest import change, definition, mcm, recorded, synthetic_lines

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def installed_stubs():
    """The stub files the wheel installed: the stub-only package mypy reads, then the .pyi
    beside the module that editors read."""
    distribution = importlib.metadata.distribution("pelarune")
    return [distribution.locate_file(name)
            for name in ("pelarune-stubs/__init__.pyi", "pelarune.pyi")]


def test_installed_stubs_are_the_repositorys():
    with open(os.path.join(ROOT, "stubs", "pelarune.pyi"), encoding="utf-8") as source:
        text = source.read()
    package, beside = installed_stubs()
    assert package.read_text(encoding="utf-8") == text
    assert beside.read_text(encoding="utf-8") == text
    assert package.parent.joinpath("py.typed").is_file()


@pytest.fixture(scope="module")
def stub():
    """The installed stub file run as a module (a .pyi is valid Python once annotations are
    deferred)."""
    code = "from __future__ import annotations\n" + installed_stubs()[0].read_text(encoding="utf-8")
    module = types.ModuleType("pelarune_stub")
    exec(compile(code, "pelarune.pyi", "exec"), module.__dict__)
    return module


@functools.cache
def typeddict_hints(typeddict, stub):
    return typing.get_type_hints(typeddict, vars(stub))


def conforms(value, hint, stub):
    """Whether value is of the annotated type; stub classes stand for the module's classes."""
    origin, args = typing.get_origin(hint), typing.get_args(hint)
    if hint is typing.Any:
        return True
    if hint is None or hint is type(None):
        return value is None
    if origin in (typing.Union, types.UnionType):
        return any(conforms(value, arg, stub) for arg in args)
    if origin is typing.Literal:
        return any(value is arg for arg in args)
    if origin is list:
        return type(value) is list and all(conforms(item, args[0], stub) for item in value)
    if typing.is_typeddict(hint):
        hints = typeddict_hints(hint, stub)
        return (type(value) is dict and hint.__required_keys__ <= value.keys() <= hints.keys()
                and all(conforms(value[key], hints[key], stub) for key in value))
    if getattr(stub, hint.__name__, None) is hint:
        return type(value) is getattr(pelarune, hint.__name__)
    return type(value) is hint  # exact: a bool is no int, an int no float


def books(tmp):
    """Books from a synthetic market, a generated one and the recordings."""
    synthetic = os.path.join(tmp, "synthetic.jsonl")
    with open(synthetic, "w") as out:
        # Keys the other files leave out.
        rare = mcm(10**6, change(lastMatchTime=10**6, marketDefinition=definition(
            raceType="Flat", eachWayDivisor=4, betDelayModels=["PASSIVE"])))
        out.writelines(json.dumps(line) + "\n" for line in synthetic_lines() + [rare])
    generated = os.path.join(tmp, "generated.jsonl")
    subprocess.run([sys.executable, os.path.join(ROOT, "bench", "generate.py"), "--markets", "1",
                    "--updates", "300", "-o", generated], check=True, stderr=subprocess.DEVNULL)
    paths = [synthetic, generated, recorded("BASIC-1.132153978"), recorded("1.197931750")]
    for path in paths:
        yield from pelarune.iter_prices_file(path)


def test_every_property_has_its_annotated_type(stub, tmp_path):
    hints = {name: {attribute: typing.get_type_hints(member.fget, vars(stub))["return"]
                    for attribute, member in vars(getattr(stub, name)).items()
                    if isinstance(member, property)}
             for name in pelarune.__all__[1:]}
    seen, checked = {}, set()

    def check(obj):
        if id(obj) in seen:  # reused objects are checked once (and kept, so ids stay unique)
            return
        seen[id(obj)] = obj
        name = type(obj).__name__
        for attribute, hint in hints[name].items():
            value = getattr(obj, attribute)
            assert conforms(value, hint, stub), f"{name}.{attribute} = {value!r}, not {hint}"
            checked.add((name, attribute, value is None))
            items = value if type(value) is list else [value]
            if items and type(items[0]) is pelarune.PriceSize:
                items = items[:1]  # conforms() saw the type of the others; one is enough
            for item in items:
                if type(item).__name__ in hints and type(item).__module__ == "builtins":
                    check(item)

    export = typing.get_type_hints(stub.MarketBook.to_dict, vars(stub))["return"]
    for number, book in enumerate(books(tmp_path)):
        book.streaming_unique_id = 7
        check(book)
        if number % 8 == 0 or book.status == "CLOSED":
            assert conforms(book.to_dict(), export, stub)
    assert number + 1 == 241 + 293 + 480 + 166  # synthetic, generated and recorded books
    # Every optional attribute was seen with a value, not only as None.
    optional = {(name, attribute) for name, table in hints.items()
                for attribute, hint in table.items() if type(None) in typing.get_args(hint)}
    assert optional - {(name, attribute) for name, attribute, none in checked if not none} == set()
