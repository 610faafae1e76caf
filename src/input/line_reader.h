// Byte sources (a file, bytes in memory, a gzip decoder over another source) and the buffered
// reader that splits one into UTF-8 lines. This file stays free of Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace pelarune {

enum class ReadErrorKind : uint8_t { Os, InvalidInput, InvalidData, UnexpectedEof };

struct ReadError {
  ReadErrorKind kind;
  std::string message; // what reaches the user, verbatim
  int os_code = 0;     // errno, for ReadErrorKind::Os only
};

// Bytes delivered by one read, or why reading failed. Zero bytes without an error is the end
// of input.
struct [[nodiscard]] ReadResult {
  size_t bytes = 0;
  std::optional<ReadError> error;
};

// The error texts shared by the readers. Built only when the failure happens.
[[gnu::cold, gnu::noinline]] ReadError os_error(int code);
[[gnu::cold, gnu::noinline]] ReadError unexpected_eof_error();

class ByteReader {
public:
  virtual ~ByteReader() = default;
  // Fills out[0, n) for some 0 < n <= capacity, or reports the end of input or an error.
  // capacity is never zero.
  virtual ReadResult read(char *out, size_t capacity) = 0;
};

// Where a stream's bytes come from. Owns its reader; moving it moves the reader.
class ByteSource {
public:
  // Reads the open file descriptor from its current offset; closes it when destroyed.
  static ByteSource file(int fd);
  // Reads `bytes` in place; they must outlive the source.
  static ByteSource plain(std::string_view bytes);
  // Decodes the gzip members read from `compressed`.
  static ByteSource gzip(ByteSource compressed);
  static ByteSource gzip(std::string_view compressed) { return gzip(plain(compressed)); }

  explicit ByteSource(std::unique_ptr<ByteReader> reader) noexcept : reader_(std::move(reader)) {}
  ReadResult read(char *out, size_t capacity) { return reader_->read(out, capacity); }

private:
  std::unique_ptr<ByteReader> reader_;
};

// One line without its terminator. It points into the reader's own storage and stays valid
// until the next call to next_line; the bytes may be changed, and data[size] is one more
// writable byte (an in-place parser puts a NUL there).
struct MutableLine {
  char *data = nullptr;
  size_t size = 0;
  std::string_view view() const noexcept { return {data, size}; }
};

enum class LineStatus : uint8_t { Line, End, Error };

// Splits a byte source into lines ending in LF or CR LF (a lone CR is not a terminator), and
// checks each line is UTF-8. A line lying wholly in the buffer is handed out in place; only
// a line longer than the buffer is assembled in a separate string.
class StreamLineReader {
public:
  // Large reads keep system calls few; the size affects speed only.
  static constexpr size_t kBufferSize = size_t(1) << 20;

  // buffer_size exists so tests can put line ends at every position around a refill.
  explicit StreamLineReader(ByteSource source, size_t buffer_size = kBufferSize);

  // Line: `line` is set. End: no more lines. Error: error() says why. End and Error repeat
  // on every later call.
  [[nodiscard]] LineStatus next_line(MutableLine &line);
  const ReadError &error() const noexcept { return *error_; }

private:
  LineStatus finish_line(MutableLine &line, char *data, size_t size, bool had_lf);
  LineStatus fail(ReadError error);

  ByteSource source_;
  size_t capacity_;
  std::unique_ptr<char[]> buffer_; // capacity_ + 1 bytes: the last is the writable byte
  size_t begin_ = 0;               // start of the unread part
  size_t end_ = 0;                 // end of the filled part
  bool at_eof_ = false;
  std::string long_line_; // a line longer than the buffer, assembled across refills
  std::optional<ReadError> error_;
  LineStatus sticky_ = LineStatus::Line; // End or Error once reached
};

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(const char *text, size_t size) noexcept;

// True when the path's extension is exactly "gz" or "gzip", the rule that chooses the decoder.
bool is_gzip_path(std::string_view path) noexcept;

// A reader over the file at `path` (gzip-decoded when is_gzip_path says so), or why the
// file could not be opened.
class [[nodiscard]] OpenResult {
public:
  OpenResult(StreamLineReader reader) : state_(std::move(reader)) {}
  OpenResult(ReadError error) : state_(std::move(error)) {}
  bool ok() const noexcept { return state_.index() == 0; }
  StreamLineReader &value() { return std::get<0>(state_); }
  const ReadError &error() const { return std::get<1>(state_); }

private:
  std::variant<StreamLineReader, ReadError> state_;
};

OpenResult open_stream_file(std::string_view path);

} // namespace pelarune
