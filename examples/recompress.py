"""Recompresses every .bz2 market file under a folder to gzip, once, for files replayed many
times: decoding bzip2 is most of a replay's cost, decoding gzip little of it.

    python examples/recompress.py FOLDER [--workers N]

Each X.bz2 gets an X.gz beside it and is kept. The .gz is written under a temporary name and
renamed when complete, so an interrupted run leaves no partial file and a second run does only
the files still missing. A file that cannot be decompressed is reported and left alone.
"""

from __future__ import annotations

import argparse
import bz2
import gzip
import os
import pathlib
import shutil
import sys
from concurrent.futures import ProcessPoolExecutor


def recompress(source: str) -> str | None:
    """Writes the gzip form of the .bz2 file `source` beside it; the error text if it fails."""
    target = source.removesuffix(".bz2") + ".gz"
    partial = target + ".partial"
    try:
        # Level 6: decoding speed hardly depends on the level, and 9 takes far longer to write.
        with bz2.open(source, "rb") as data, gzip.open(partial, "wb", compresslevel=6) as out:
            shutil.copyfileobj(data, out, 1 << 20)
    except (OSError, EOFError) as error:  # damaged or truncated bzip2, or a full disk
        if os.path.exists(partial):
            os.remove(partial)
        return str(error)
    os.replace(partial, target)
    return None


def main(argv: list[str]) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("folder")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    args = parser.parse_args(argv)

    sources = sorted(str(path) for path in pathlib.Path(args.folder).rglob("*.bz2"))
    todo = [path for path in sources if not os.path.exists(path.removesuffix(".bz2") + ".gz")]
    chunk = max(1, len(todo) // (args.workers * 8))
    with ProcessPoolExecutor(max_workers=args.workers) as pool:
        errors = list(pool.map(recompress, todo, chunksize=chunk))
    failed = 0
    for path, error in zip(todo, errors):
        if error is not None:
            failed += 1
            print(f"{path}: {error}", file=sys.stderr)
    print(f"{len(todo) - failed} files recompressed, {failed} failed, "
          f"{len(sources) - len(todo)} already had a .gz")


if __name__ == "__main__":
    main(sys.argv[1:])
