"""flumine's historical stream, replayed by pelarune's engine."""

import importlib.machinery
import importlib.util
import json
import os
import sys
import warnings
from collections.abc import Callable, Iterator
from types import ModuleType
from typing import TYPE_CHECKING, Any

import pelarune
from betfairlightweight.resources.baseresource import BaseResource
from betfairlightweight.resources.bettingresources import PriceLadderDescription
from flumine.clients import VenueType
from flumine.streams import betfairhistoricalstream as _flumine
from flumine.streams.betfairhistoricalstream import HistoricListener

from pelarune_flumine import guard

# Listener keys that change the books betfairlightweight builds. Our books cannot carry their
# results (dicts, recomputed volumes), so a true value is refused rather than ignored.
_UNSUPPORTED_LISTENER_KEYS = ("lightweight", "calculate_market_tv", "cumulative_runner_tv")
_NATIVE_NAME = "pelarune_flumine._replay"


def _native() -> ModuleType:
    """The replay's native module. It lives in pelarune's own library, so its books are
    pelarune's classes; loading it by its own name runs that library's second init function."""
    module = sys.modules.get(_NATIVE_NAME)
    if module is None:
        loader = importlib.machinery.ExtensionFileLoader(_NATIVE_NAME, pelarune.__file__)
        spec = importlib.util.spec_from_file_location(_NATIVE_NAME, pelarune.__file__,
                                                      loader=loader)
        assert spec is not None
        module = importlib.util.module_from_spec(spec)
        loader.exec_module(module)
        sys.modules[_NATIVE_NAME] = module
    return module


if TYPE_CHECKING:
    from pelarune_flumine import _replay  # its stub, _replay.pyi

    native = _replay
else:
    native = _native()


class BetfairHistoricalStream:
    """flumine's historical stream, replayed by pelarune: the same constructor, keywords,
    attributes, listener filters and yielded lists, every market of a file."""

    LISTENER = HistoricListener
    MAX_LATENCY = None
    VENUE = VenueType.BETFAIR

    def __init__(
        self,
        file_path: Any,
        listener_kwargs: dict[str, Any] | None = None,
        stream_id: int | None = None,
        event_processing: bool = False,
        event_group: str | None = None,
        event_id: str | None = None,
        operation: str = "marketSubscription",
    ) -> None:
        self.file_path = os.fspath(file_path) if isinstance(file_path, os.PathLike) \
            else file_path
        self.listener_kwargs = listener_kwargs or {}
        self.stream_id = stream_id
        self.event_processing = event_processing
        self.event_group = event_group
        self.event_id = event_id
        self.operation = operation
        # flumine's event-group path logs it; a file replays every market it holds, unfiltered.
        self.market_filter: dict[str, Any] | None = None
        # Built as flumine builds it, so that a misspelt key fails the same way.
        self._listener = self.LISTENER(output_queue=None, max_latency=self.MAX_LATENCY,
                                       **self.listener_kwargs)
        refused = unsupported(self.listener_kwargs)
        if self._ours() and refused:
            raise ValueError(f"listener_kwargs {refused}; use flumine's BetfairHistoricalStream")

    def _remote(self) -> bool:
        return isinstance(self.file_path, str) and "://" in self.file_path

    def _ours(self) -> bool:
        # Race and cricket data, files behind a URL, and every file while the installed
        # flumine's stream is not the code the replay restates, are flumine's own stream's.
        return self.operation == "marketSubscription" and not self._remote() \
            and guard.restates_installed("stream")

    def stop(self) -> None:
        return

    def create_generator(self) -> Callable[[], Iterator[list[Any]]]:
        if not self._ours():
            if self.operation == "marketSubscription" and self._remote():
                warnings.warn(f"{self.file_path} is read by flumine's own stream: pelarune "
                              "reads local files only", stacklevel=2)
            # flumine reads a file loaded for our replay again, by its path.
            path = self.file_path.path if isinstance(self.file_path, native.LoadedFile) \
                else self.file_path
            stream = _flumine.BetfairHistoricalStream(
                path, self.listener_kwargs, self.stream_id, self.event_processing,
                self.event_group, self.event_id, self.operation)
            generator: Callable[[], Iterator[list[Any]]] = stream.create_generator()
            return generator
        # flumine assigns stream_id after construction: read it when the replay starts.
        return self._replay

    def _replay(self) -> Iterator[list[Any]]:
        options = self.listener_kwargs
        inplay = options.get("inplay")
        event_type_ids = options.get("event_type_ids")
        books: Iterator[list[Any]] = native.replay(
            self.file_path, bool(inplay), inplay is False, options.get("seconds_to_start"),
            options.get("max_inplay_seconds"),
            [str(i) for i in event_type_ids] if isinstance(event_type_ids, (list, tuple))
            else None,
            self.stream_id, PriceLadderDescription, BaseResource.strip_datetime)
        return books

    @property
    def stream_hash(self) -> int:
        # The module too: flumine reuses a stream whose hash it already has, and its own class
        # has the same name.
        return hash((self.__class__.__module__, self.__class__.__name__, self.file_path,
                     json.dumps(self.listener_kwargs), self.event_processing, self.event_group,
                     self.event_id, self.operation))


def unsupported(listener_kwargs: dict[str, Any]) -> str | None:
    """What is wrong with listener keys our stream refuses, or None."""
    refused = [key for key in _UNSUPPORTED_LISTENER_KEYS if listener_kwargs.get(key)]
    if not refused:
        return None
    return f"{', '.join(refused)} not supported by pelarune_flumine's stream"


def markets_of(path: str) -> list[tuple[str, str | None]]:
    """(market id, event id or None) of each market a file's changes name, in the order first
    met; the event is the first definition's that names one. ValueError when it cannot be
    read, as for a replay."""
    markets: list[tuple[str, str | None]] = native.markets(os.fspath(path))
    return markets


def load(path: str) -> Any:
    """The file loaded once, so that a backtest reads its markets and replays it from one read:
    its `.markets` is markets_of(path), and a stream given it as its file_path replays it (once;
    a second replay raises ValueError). Lines that are not JSON warn when it is replayed."""
    return native.load(os.fspath(path))
