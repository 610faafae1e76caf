"""Recorded stream files as Arrow tables, written natively from pelarune's engine: pyarrow,
pandas, polars and DuckDB read them through the Arrow PyCapsule interface."""

from pelarune_tables.table import DEFINITION_KEYS, PricesTable, prices_table

__all__ = ["DEFINITION_KEYS", "PricesTable", "prices_table"]
