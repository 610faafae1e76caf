// Where a stream's bytes come from: the reader every kind of source implements and the owning
// handle the line reader takes. Each kind lives in its own file: memory in byte_source.cpp,
// file_source, gzip_source, bzip2_source. This file stays free of Python.
#pragma once

#include "input/load_error.h"

#include <cstddef>
#include <memory>
#include <string_view>

namespace pelarune {

class ByteReader {
public:
  virtual ~ByteReader() = default;
  // Fills out[0, n) and returns n, for some 0 < n <= capacity; 0 is the end of input.
  // capacity is never zero.
  virtual Expected<size_t, LoadError> read(char *out, size_t capacity) = 0;
};

// Gzip header fields FNAME and FCOMMENT may hold this many bytes before their terminating zero;
// longer ones fail. Real files carry a short file name at most.
inline constexpr size_t kMaxGzipFieldBytes = 65535;

// Owns its reader; moving the source moves the reader.
class ByteSource {
public:
  // Reads `bytes` in place; they must outlive the source.
  static ByteSource plain(std::string_view bytes);
  // Reads the open file descriptor from its current offset; closes it when destroyed. A read
  // interrupted by a signal is retried unless `interrupted` asks to stop.
  static ByteSource file(int fd, InterruptCheck interrupted = nullptr);
  // Decodes the concatenated gzip members of `compressed`. Bytes after a member that do not
  // start with the gzip magic end the input and are ignored.
  static ByteSource gzip(ByteSource compressed);
  static ByteSource gzip(std::string_view compressed) { return gzip(plain(compressed)); }
  // Decodes the concatenated bzip2 streams of `compressed`, likewise: bytes after a stream that
  // do not start with the bzip2 magic end the input and are ignored.
  static ByteSource bzip2(ByteSource compressed);
  static ByteSource bzip2(std::string_view compressed) { return bzip2(plain(compressed)); }

  explicit ByteSource(std::unique_ptr<ByteReader> reader) noexcept : reader_(std::move(reader)) {}
  Expected<size_t, LoadError> read(char *out, size_t capacity) {
    return reader_->read(out, capacity);
  }

private:
  std::unique_ptr<ByteReader> reader_;
};

} // namespace pelarune
