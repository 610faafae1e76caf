"""Recorded stream files as Arrow tables, written natively from pelarune's engine: pyarrow,
pandas, polars and DuckDB read them through the Arrow PyCapsule interface."""

from typing import TYPE_CHECKING, Any

from pelarune_tables.table import DEFINITION_KEYS, PricesTable, prices_table

if TYPE_CHECKING:
    from pelarune_tables.dataset import write_dataset

__all__ = ["DEFINITION_KEYS", "PricesTable", "prices_table", "write_dataset"]


def __getattr__(name: str) -> Any:
    # write_dataset is imported on first use: its runner (multiprocessing, concurrent.futures)
    # took `import pelarune_tables` from 80 ms to 315 ms, which a table alone does not need.
    if name != "write_dataset":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from pelarune_tables.dataset import write_dataset

    globals()[name] = write_dataset
    return write_dataset


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
