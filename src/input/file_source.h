// Stream files by path: opening one, and the file-name rule that chooses its decoder.
// This file stays free of Python.
#pragma once

#include "input/byte_source.h"

#include <string_view>

namespace pelarune {

// True when the path's extension is exactly "gz" or "gzip", the rule that chooses the decoder.
bool is_gzip_path(std::string_view path) noexcept;

// The bytes of the file at `path` (gzip-decoded when is_gzip_path says so), or why the file
// could not be opened.
Expected<ByteSource, LoadError> open_stream_file(std::string_view path);

} // namespace pelarune
