"""What the command lines of runs share: mistakes in one line, defaults shown where they say
something, and Ctrl-C outside the run (while importing, or while reporting) ending it with one
line and status 130."""

from __future__ import annotations

import argparse
import signal
import sys
import threading
import warnings
from collections.abc import Callable
from typing import Any, NoReturn


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, not the usage: the mistake is what the user needs to see.
        self.exit(2, f"{self.prog}: error: {message}\n")


class Help(argparse.ArgumentDefaultsHelpFormatter):
    """Shows the defaults that say something: not an option's absence."""

    def _get_help_string(self, action: argparse.Action) -> str | None:
        if action.default in (None, False, {}):
            return action.help
        return super()._get_help_string(action)


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise ValueError(text)
    return value


positive.__name__ = "positive integer"


def _one_line(message: Any, category: Any, filename: str, lineno: int,
              line: str | None = None) -> str:
    return f"warning: {message}\n"


def interrupted() -> None:
    """From here on the run only reports and exits: a further Ctrl-C or SIGTERM, which would
    otherwise end the interpreter as it shuts down, is not news."""
    if threading.current_thread() is threading.main_thread():
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, signal.SIG_IGN)


def main(run: Callable[[list[str] | None], int], argv: list[str] | None) -> int:
    formatwarning = warnings.formatwarning
    warnings.formatwarning = _one_line
    try:
        return run(argv)
    except KeyboardInterrupt:
        # Before the run took Ctrl-C over (imports), or after it (the chart): nothing runs.
        interrupted()
        print("interrupted", file=sys.stderr)
        return 130
    finally:
        warnings.formatwarning = formatwarning
