// A prices table as an Arrow C stream: each stream replays the loaded file afresh, owns what it
// reads and runs no Python, so a consumer may pull its batches from any thread. This file stays
// free of Python.
#pragma once

#include "tables/arrow_c.h"
#include "tables/prices_rows.h"

#include <memory>

namespace pelarune {

// Writes a new stream over `records` into `out` (a released structure, which the caller then
// owns). `options` must hold only known columns and batch_rows >= 1.
void export_prices_stream(std::shared_ptr<const MessageStore> records, TableOptions options,
                          ArrowArrayStream *out);

} // namespace pelarune
