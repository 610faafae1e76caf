// Loading a stream file: every usable line's market changes and publish time, in file order,
// or the text of the first failure. This file stays free of Python.
#pragma once

#include "input/byte_source.h"
#include "input/message_store.h"

#include <string>
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

// The lines a lenient load passed over because they are not JSON, as flumine's stream passes
// them over (a recorder killed mid-write leaves its last line cut off).
struct SkippedLines {
  size_t count = 0;
  size_t first_line = 0;   // 1-based, blank lines counted; 0 while count is 0
  std::string first_error; // the parser's description of that line's fault
};

// Opens `path` (gzip-decoded when its extension is "gz" or "gzip", bzip2-decoded when it is
// "bz2") and loads it. `interrupted` can stop the load: see InterruptCheck. Given `skipped`, a
// line that is not JSON is counted there and passed over; without it, it fails the load. A line
// that is not UTF-8 fails either way. Running out of memory throws std::bad_alloc, as
// everywhere in the core.
LoadResult load_stream_messages(std::string_view path, LoadStats *stats = nullptr,
                                InterruptCheck interrupted = nullptr,
                                SkippedLines *skipped = nullptr);
LoadResult load_messages(ByteSource source, LoadStats *stats = nullptr,
                         InterruptCheck interrupted = nullptr, SkippedLines *skipped = nullptr);

// Empty, or only characters with the Unicode White_Space property. `line` is valid UTF-8.
bool is_blank_line(std::string_view line) noexcept;

} // namespace pelarune
