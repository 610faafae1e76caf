// Loading a stream file: every usable line's market changes and publish time, in file order,
// or the text of the first failure. This file stays free of Python.
#pragma once

#include "input/byte_source.h"
#include "input/message_store.h"

#include <string_view>

namespace pelarune {

// The records of a whole load, or its failure; a failed load keeps nothing.
using LoadResult = Expected<MessageStore, LoadError>;

// Counts a load can report on the side, for benchmarks and tests.
struct LoadStats {
  size_t lines = 0;           // lines read, blank ones included
  size_t kept_lines = 0;      // lines that became a record
  size_t kept_line_bytes = 0; // text of the kept lines, terminators excluded
};

// Opens `path` (gzip-decoded when its extension is "gz" or "gzip", bzip2-decoded when it is
// "bz2") and loads it. `interrupted` can stop the load: see InterruptCheck. Running out of
// memory throws std::bad_alloc, as everywhere in the core.
LoadResult load_stream_messages(std::string_view path, LoadStats *stats = nullptr,
                                InterruptCheck interrupted = nullptr);
LoadResult load_messages(ByteSource source, LoadStats *stats = nullptr,
                         InterruptCheck interrupted = nullptr);

// Empty, or only characters with the Unicode White_Space property. `line` is valid UTF-8.
bool is_blank_line(std::string_view line) noexcept;

} // namespace pelarune
