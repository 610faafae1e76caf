"""The mistakes a backtest's call can hold, found before any file is read and told in one line
each: the factory and the listener's keys (the engine's settings and the output paths are
pelarune_runs.checks')."""

from __future__ import annotations

import difflib
import importlib
import inspect
import os
import pickle
import sys
from typing import Any

from pelarune_runs.checks import SetupError

_NUMBERS = ("seconds_to_start", "max_inplay_seconds")


def factory_from_spec(spec: str) -> Any:
    """The function `module:function` names, imported from the working directory as for
    `python -m`, so that a strategy beside the data imports."""
    module_name, _, name = spec.partition(":")
    if module_name.endswith(".py"):
        raise SetupError(f"factory {spec!r}: name the module, not its file "
                         f"({module_name[:-3].replace(os.sep, '.')}:{name or 'function'})")
    if not module_name or not name:
        raise SetupError(f"factory {spec!r}: expected module:function")
    if os.getcwd() not in sys.path and "" not in sys.path:
        sys.path.insert(0, os.getcwd())
    try:
        module = importlib.import_module(module_name)
    except Exception as error:  # noqa: BLE001  # the user's module may raise anything
        raise SetupError(f"factory {spec!r}: cannot import {module_name} "
                         f"({type(error).__name__}: {error})") from None
    try:
        return getattr(module, name)
    except AttributeError:
        raise SetupError(f"factory {spec!r}: {module_name} has no {name}") from None


def check_factory(factory: Any, engine: str) -> None:
    """Calls it once on no files, as a chunk would, and makes sure the workers can have it."""
    from flumine import BaseStrategy

    name = getattr(factory, "__qualname__", repr(factory))
    if not callable(factory):
        raise SetupError(f"factory {name}: not callable")
    try:
        strategies = factory([])
    except Exception as error:  # noqa: BLE001  # the user's factory may raise anything
        raise SetupError(f"factory {name}([]) raised {type(error).__name__}: {error}"
                         ) from None
    listed = strategies if isinstance(strategies, (list, tuple)) else [strategies]
    if not listed or not all(isinstance(strategy, BaseStrategy) for strategy in listed):
        raise SetupError(f"factory {name} returned {type(strategies).__name__}: expected a "
                         "flumine BaseStrategy or a list of them")
    if engine == "serial":
        return
    try:
        pickle.dumps(factory)
    except Exception:  # noqa: BLE001  # pickling fails in many ways
        raise SetupError(f"factory {name} cannot be sent to the {engine} workers (a lambda, "
                         "closure or local function): define it at the top level of a module, "
                         "or use --engine serial") from None


def check_listener_kwargs(kwargs: Any, stream_class: Any) -> None:
    """The keys flumine's HistoricListener takes, with the types its filters compare."""
    from flumine.streams.betfairhistoricalstream import HistoricListener

    if not isinstance(kwargs, dict):
        raise SetupError(f"listener kwargs must be a JSON object, not {kwargs!r}")
    # The stream passes output_queue and max_latency itself.
    known = {name for cls in HistoricListener.__mro__ if cls is not object
             for name in inspect.signature(cls.__init__).parameters
             if name not in ("self", "kwargs", "output_queue", "max_latency")}
    for key, value in kwargs.items():
        if key not in known:
            close = difflib.get_close_matches(key, sorted(known), n=1)
            hint = f" (did you mean {close[0]!r}?)" if close else ""
            raise SetupError(f"listener kwargs: unknown key {key!r}{hint}")
        if key in _NUMBERS and (isinstance(value, bool)
                                or not isinstance(value, (int, float, type(None)))):
            raise SetupError(f"listener kwargs: {key} must be a number of seconds, "
                             f"not {value!r}")
        if key == "inplay" and not isinstance(value, (bool, type(None))):
            raise SetupError(f"listener kwargs: inplay must be true, false or null, "
                             f"not {value!r}")
        if key == "event_type_ids" and value is not None and not (
                isinstance(value, (list, tuple)) and all(
                    isinstance(i, (str, int)) and not isinstance(i, bool) for i in value)):
            raise SetupError(f"listener kwargs: event_type_ids must be a list of ids, "
                             f"such as [\"7\"], not {value!r}")
    from pelarune_flumine import BetfairHistoricalStream
    from pelarune_flumine.stream import unsupported

    refused = unsupported(kwargs)
    if stream_class is BetfairHistoricalStream and refused:
        raise SetupError(f"listener kwargs: {refused}")


def chart_formats() -> dict[str, str]:
    try:
        import matplotlib

        matplotlib.use("Agg")  # files only: no display is needed or wanted
        from matplotlib.backends.backend_agg import FigureCanvasAgg
    except ImportError:
        raise SetupError("a chart needs matplotlib: pip install matplotlib") from None
    return {name: "" for name in FigureCanvasAgg.get_supported_filetypes()}
