// Stream files by path: opening one, and the file-name rule that chooses its decoder.
// This file stays free of Python.
#pragma once

#include "input/byte_source.h"

#include <string_view>

namespace pelarune {

// True when the path's extension is exactly "gz" or "gzip", the rule that chooses the decoder.
bool is_gzip_path(std::string_view path) noexcept;
// True when the path's extension, found as for is_gzip_path, is exactly "bz2".
bool is_bzip2_path(std::string_view path) noexcept;

// The bytes of the file at `path` (gzip- or bzip2-decoded when the name says so), or why the
// file could not be opened. Opening (a FIFO waits for a writer) and reading ask `interrupted`
// when a signal arrives.
Expected<ByteSource, LoadError> open_stream_file(std::string_view path,
                                                 InterruptCheck interrupted = nullptr);

} // namespace pelarune
