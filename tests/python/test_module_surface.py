"""The module's namespace, class objects and the refusal of construction from Python."""

import pytest

import pelarune

CLASSES = [
    ("PricesIterator", "Iterator that yields MarketBook objects with object reuse"),
    ("MarketBook", "A market book snapshot"),
    ("Runner", "A runner in the market"),
    ("ExchangePrices", "Exchange prices for a runner (back/lay/traded)"),
    ("StartingPrices", "Starting prices for a runner"),
    ("PriceSize", "A price/size pair in the order book"),
    ("MarketDefinition", "Market definition - metadata about the market"),
    ("MarketDefinitionRunner", "A runner in a market definition"),
]


def test_namespace_order_and_doc():
    assert pelarune.__all__ == ["iter_prices_file"] + [name for name, _ in CLASSES]
    assert pelarune.__doc__ == ""
    public = [name for name in vars(pelarune) if not name.startswith("__")]
    assert public == pelarune.__all__


def test_function_signature():
    function = pelarune.iter_prices_file
    assert function.__text_signature__ == "(path)"
    assert function.__doc__ is None
    assert function.__module__ == "pelarune"
    assert function.__self__ is pelarune


@pytest.mark.parametrize("name,doc", CLASSES)
class TestClassObjects:
    def test_names_and_doc(self, name, doc):
        cls = getattr(pelarune, name)
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == name
        assert cls.__name__ == name
        assert cls.__doc__ == doc
        assert cls.__text_signature__ is None
        assert cls.__bases__ == (object,)
        assert "__dict__" not in dir(cls)
        assert "__weakref__" not in dir(cls)

    def test_no_constructor(self, name, doc):
        cls = getattr(pelarune, name)
        with pytest.raises(TypeError) as info:
            cls()
        assert str(info.value) == f"No constructor defined for {name}"
        with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
            cls(1, key=2)


def test_reimport_gives_same_module():
    import importlib
    import sys

    module = sys.modules.pop("pelarune")
    try:
        again = importlib.import_module("pelarune")
        assert again is module
    finally:
        sys.modules["pelarune"] = module


def test_panic_exception_is_not_exported():
    assert not hasattr(pelarune, "PanicException")
    assert "extension_runtime" not in dir(pelarune)
