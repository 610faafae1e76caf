// Gzip member framing (RFC 1952) over raw DEFLATE from zlib: header fields, header CRC and
// the CRC-32 / ISIZE trailer are checked here. This file stays free of Python.
#pragma once

#include "input/line_reader.h"

#include <memory>

namespace pelarune {

// Header fields FNAME and FCOMMENT may hold this many bytes before their terminating zero;
// longer ones fail. Real files carry a short file name at most.
inline constexpr size_t kMaxGzipFieldBytes = 65535;

// A reader of the concatenated gzip members of `compressed`. Bytes after a member that do not
// start with the gzip magic end the input and are ignored.
std::unique_ptr<ByteReader> make_gzip_reader(ByteSource compressed);

} // namespace pelarune
