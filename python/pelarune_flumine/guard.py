"""Whether the flumine code pelarune_flumine restates is the code it was checked against.

The native replay and middleware restate flumine's rules (and those of the betfairlightweight it
pins). Each function they restate, or whose private names they reach, is known here by a
digest of its source as checked. Where the installed source differs, or cannot be read, that
path falls back to flumine's own classes and warns once, naming what changed: results stay
flumine's, only slower. The version string decides nothing: a release that leaves this code
alone keeps the native paths.
"""

import hashlib
import importlib
import inspect
import os
import warnings
from typing import Any, Literal

Part = Literal["stream", "middleware"]

# Checked on flumine 3.3.2 with betfairlightweight 2.24.0: by module, each restated function's
# qualified name and the first 16 hex digits of the SHA-256 of inspect.getsource(). Methods, not
# whole classes: inspect finds a class's source by parsing its module, 3 to 10 ms a class, so the
# check took 93 ms a process with the seven classes whole and takes 12 ms with their methods.
STREAM: dict[str, dict[str, str]] = {
    # The listener's filters, the stream's record rule and what its generator yields; the
    # constructor ours restates, and the one reader of the _listener it sets.
    "flumine.streams.betfairhistoricalstream": {
        "HistoricListener.__init__": "d0e503d8e5d5bc66",
        "HistoricListener.on_data": "117d7734aaa5cc40",
        "FlumineMarketStream.__init__": "a03e65e48693cc55",
        "FlumineMarketStream._process": "e27bea0a878f8bec",
        "FlumineHistoricalGeneratorStream._read_loop": "5729feb8b4255719",
        "BetfairHistoricalStream.__init__": "55f25a61c2fd814b",
        "BetfairHistoricalStream.create_generator": "9e9f7431ff277dab",
    },
    "flumine.strategy.strategy": {
        "BaseStrategy.market_cached": "af499db7ca9fb049",
    },
    # The caches and books whose rules and values the replay gives.
    "betfairlightweight.streaming.cache": {
        "Available.__init__": "c7ff3f0b65fced2a",
        "Available.update": "8701771bfc85fca7",
        "Available.clear": "9705430b1e13b931",
        "Available.serialise": "9cc03e1fa1e4cb27",
        "Available.refresh": "a64196e650af190b",
        "Available._sort_order_book": "d9cc1766bf4f1814",
        "RunnerBookCache.__init__": "2db23719a3b9e76b",
        "RunnerBookCache.update_definition": "42e0d6c001d85078",
        "RunnerBookCache.update_traded": "c720da03f7db6f95",
        "RunnerBookCache.serialise_available_to_back": "8f037e70eebd42c9",
        "RunnerBookCache.serialise_available_to_lay": "dc73b20204b1896d",
        "RunnerBookCache.serialise": "0191a845f19bb6e9",
        "MarketBookCache.__init__": "5880b8fe4c0d494c",
        "MarketBookCache.update_cache": "b82a1a424262e7af",
        "MarketBookCache.refresh_cache": "cb8cf58d47fedfbe",
        "MarketBookCache._process_market_definition": "83b8730203f28052",
        "MarketBookCache._add_new_runner": "709849e2281f684a",
        "MarketBookCache.create_resource": "6662c13fcf2ca618",
        "MarketBookCache.closed": "1afdec27e24a7e4b",
        "MarketBookCache.serialise": "295be9f43e3dba21",
    },
    "betfairlightweight.resources.bettingresources": {
        "MarketBook.__init__": "0bd5612de44227f6",
        "RunnerBook.__init__": "7b6c997ad44aebd3",
        "RunnerBookEX.__init__": "dff7afbd6d29187c",
    },
    "betfairlightweight.resources.streamingresources": {
        "MarketDefinition.__init__": "b807218a86eea26a",
        "MarketDefinitionRunner.__init__": "f2f01f1c3f279eb6",
    },
}

MIDDLEWARE: dict[str, dict[str, str]] = {
    "flumine.markets.middleware": {
        "SimulatedMiddleware.__init__": "eea07fbb32560be0",
        "SimulatedMiddleware.__call__": "4a938f715835d98e",
        "SimulatedMiddleware._process_runner": "e476f1aea4c0cbcf",
        # Called as __call__ calls them; they read the analytics the native update fills.
        "SimulatedMiddleware._process_runner_removal": "c946c8445d59d7f7",
        "SimulatedMiddleware._process_simulated_orders": "ccd7abbe4c547bc7",
        "RunnerAnalytics.__init__": "e13b8d96eb40663d",
        "RunnerAnalytics.__call__": "48e89da376a05ccb",
        "RunnerAnalytics._calculate_traded": "fb3773ce86b51494",
    },
}

_CHECKED: dict[Part, dict[str, dict[str, str]]] = {"stream": STREAM, "middleware": MIDDLEWARE}
_decided: dict[Part, bool] = {}


def digest(module_name: str, qualified_name: str) -> str | None:
    """The digest of the installed source of a module's function (or property), or None when
    it cannot be found or read (an install without .py files)."""
    try:
        found: Any = importlib.import_module(module_name)
        for part in qualified_name.split("."):
            found = getattr(found, part)
        if isinstance(found, property):
            found = found.fget
        source = inspect.getsource(found)
    except (ImportError, AttributeError, OSError, TypeError):
        return None
    return hashlib.sha256(source.encode()).hexdigest()[:16]


def installed(checked: dict[str, dict[str, str]]) -> dict[str, dict[str, str | None]]:
    """The digests of the installed functions `checked` names, in its shape."""
    return {module_name: {name: digest(module_name, name) for name in functions}
            for module_name, functions in checked.items()}


def restates_installed(part: Part) -> bool:
    """Whether the native `part` (the stream or the middleware) restates the installed
    flumine's code. The first call that finds it does not warns, naming what differs."""
    decided = _decided.get(part)
    if decided is None:
        checked = _CHECKED[part]
        changed = [f"{module_name}.{name}"
                   for module_name, functions in installed(checked).items()
                   for name, found in functions.items() if found != checked[module_name][name]]
        if changed:
            warnings.warn(
                f"pelarune_flumine's {part}: the installed {', '.join(changed)} differs from "
                f"the code it restates, or cannot be read; flumine's own {part} runs instead, "
                "giving flumine's results more slowly", RuntimeWarning,
                skip_file_prefixes=(os.path.dirname(__file__),))
        decided = _decided[part] = not changed
    return decided
