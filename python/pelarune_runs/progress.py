"""The progress bar of a run."""

from __future__ import annotations

import sys
from typing import Any


def progress_bar(total: int, unit: str, progress: bool | None) -> Any:
    from tqdm import tqdm

    # Shown on a terminal only, unless asked; a job's log or a test's output stays clean.
    shown = sys.stderr.isatty() if progress is None else progress
    return tqdm(total=total, unit=unit, disable=not shown, dynamic_ncols=True, file=sys.stderr)
