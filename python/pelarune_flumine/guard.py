"""Whether the flumine code pelarune_flumine restates is the code it was checked against.

The native replay and middleware restate flumine's rules (and those of the betfairlightweight it
pins). Each function or class they restate, or whose private names they reach, is known here by a
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

# Checked on flumine 3.3.2 with betfairlightweight 2.24.0: the first 16 hex digits of the
# SHA-256 of inspect.getsource(), by "module:qualified name".
STREAM: dict[str, str] = {
    # The listener's filters, the stream's _process and what its generator yields.
    "flumine.streams.betfairhistoricalstream:HistoricListener.__init__": "d0e503d8e5d5bc66",
    "flumine.streams.betfairhistoricalstream:HistoricListener.on_data": "117d7734aaa5cc40",
    "flumine.streams.betfairhistoricalstream:FlumineMarketStream.__init__": "a03e65e48693cc55",
    "flumine.streams.betfairhistoricalstream:FlumineMarketStream._process": "e27bea0a878f8bec",
    "flumine.streams.betfairhistoricalstream:FlumineHistoricalGeneratorStream._read_loop":
        "5729feb8b4255719",
    # The constructor and generator our stream restates; flumine reads the _listener it sets.
    "flumine.streams.betfairhistoricalstream:BetfairHistoricalStream.__init__":
        "55f25a61c2fd814b",
    "flumine.streams.betfairhistoricalstream:BetfairHistoricalStream.create_generator":
        "9e9f7431ff277dab",
    "flumine.strategy.strategy:BaseStrategy.market_cached": "af499db7ca9fb049",
    # The caches and books whose rules and values the replay gives.
    "betfairlightweight.streaming.cache:Available": "d90971f1a36cd28c",
    "betfairlightweight.streaming.cache:RunnerBookCache": "8673748e9c5e9358",
    "betfairlightweight.streaming.cache:MarketBookCache": "3735c265f4011343",
    "betfairlightweight.resources.bettingresources:MarketBook": "bfebd8f67992f96a",
    "betfairlightweight.resources.bettingresources:RunnerBook": "679922f86f9f9e93",
    "betfairlightweight.resources.streamingresources:MarketDefinition": "4377ed5edc15e4de",
    "betfairlightweight.resources.streamingresources:MarketDefinitionRunner": "9639ca01225243b5",
}

MIDDLEWARE: dict[str, str] = {
    "flumine.markets.middleware:SimulatedMiddleware.__init__": "eea07fbb32560be0",
    "flumine.markets.middleware:SimulatedMiddleware.__call__": "4a938f715835d98e",
    "flumine.markets.middleware:SimulatedMiddleware._process_runner": "e476f1aea4c0cbcf",
    # Called as __call__ calls them; they read the analytics the native update fills.
    "flumine.markets.middleware:SimulatedMiddleware._process_runner_removal":
        "c946c8445d59d7f7",
    "flumine.markets.middleware:SimulatedMiddleware._process_simulated_orders":
        "ccd7abbe4c547bc7",
    "flumine.markets.middleware:RunnerAnalytics.__init__": "e13b8d96eb40663d",
    "flumine.markets.middleware:RunnerAnalytics.__call__": "48e89da376a05ccb",
    "flumine.markets.middleware:RunnerAnalytics._calculate_traded": "fb3773ce86b51494",
}

_CHECKED = {"stream": STREAM, "middleware": MIDDLEWARE}
_decided: dict[str, bool] = {}


def digest(name: str) -> str | None:
    """The digest of the installed source of "module:qualified name", or None when it cannot
    be found or read (an install without .py files)."""
    module_name, _, qualified_name = name.partition(":")
    try:
        found: object = importlib.import_module(module_name)
        for part in qualified_name.split("."):
            found = getattr(found, part)
        source = inspect.getsource(found)  # type: ignore[arg-type]
    except (ImportError, AttributeError, OSError, TypeError):
        return None
    return hashlib.sha256(source.encode()).hexdigest()[:16]


def changed(checked: dict[str, str]) -> list[str]:
    """The names whose installed source is not the source checked."""
    return [name for name, known in checked.items() if digest(name) != known]


def native(path: str) -> bool:
    """Whether the native `path` ("stream" or "middleware") restates the installed flumine; the
    first call that finds it does not warns."""
    decided = _decided.get(path)
    if decided is None:
        names = changed(_CHECKED[path])
        if names:
            warnings.warn(
                f"pelarune_flumine's {path}: the installed "
                f"{', '.join(name.replace(':', '.') for name in names)} differs from the code "
                f"it restates, or cannot be read; flumine's own {path} runs instead, giving "
                "flumine's results more slowly", RuntimeWarning,
                skip_file_prefixes=(os.path.dirname(__file__),))
        decided = _decided[path] = not names
    return decided
