// The buffered reader that splits a byte source into UTF-8 lines. This file stays free of
// Python.
#pragma once

#include "input/byte_source.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace pelarune {

// One line without its terminator. It points into the reader's own storage and stays valid
// until the next call to next_line; the bytes may be changed, and data[size] is one more
// writable byte (an in-place parser puts a NUL there).
struct MutableLine {
  char *data = nullptr;
  size_t size = 0;
  std::string_view view() const noexcept { return {data, size}; }
};

// Splits a byte source into lines ending in LF or CR LF (a lone CR is not a terminator), and
// checks each line is UTF-8. A line lying wholly in the buffer is handed out in place; only
// a line longer than the buffer is assembled in a separate string.
class StreamLineReader {
public:
  // Large reads keep system calls few; the size affects speed only.
  static constexpr size_t kBufferSize = size_t(1) << 20;

  // buffer_size exists so tests can put line ends at every position around a refill. Without
  // check_utf8 the caller checks each line itself (the loader does it while parsing).
  // `interrupted` is asked before every read, so a stop takes effect within a buffer's worth
  // of input, also in a line that never ends.
  explicit StreamLineReader(ByteSource source, size_t buffer_size = kBufferSize,
                            bool check_utf8 = true, InterruptCheck interrupted = nullptr);

  // True with `line` set, or false at the end. The end and an error repeat on every later
  // call.
  Expected<bool, LoadError> next_line(MutableLine &line);

private:
  Expected<bool, LoadError> finish_line(MutableLine &line, char *data, size_t size, bool had_lf);
  Expected<bool, LoadError> stop(Expected<bool, LoadError> outcome);

  ByteSource source_;
  InterruptCheck interrupted_;
  size_t capacity_;
  bool check_utf8_;
  std::unique_ptr<char[]> buffer_; // capacity_ + 1 bytes: the last is the writable byte
  size_t begin_ = 0;               // start of the unread part
  size_t end_ = 0;                 // end of the filled part
  bool at_eof_ = false;
  std::string long_line_; // a line longer than the buffer, assembled across refills
  std::optional<Expected<bool, LoadError>> stopped_; // the end or the error, once reached
};

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(const char *text, size_t size) noexcept;

// The failure of a line that is not UTF-8.
LoadError invalid_utf8_error();

} // namespace pelarune
