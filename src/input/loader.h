// Loading a stream file: every usable line's market changes and publish time, in file order,
// or the text of the first failure. This file stays free of Python.
#pragma once

#include "input/line_reader.h"
#include "input/stream_message.h"

#include <string>
#include <string_view>
#include <variant>

namespace pelarune {

struct LoadError {
  std::string message; // the underlying error's own text, with no prefix
  friend bool operator==(const LoadError &, const LoadError &) = default;
};

// The records of a whole load, or its failure; a failed load keeps nothing.
class [[nodiscard]] LoadResult {
public:
  LoadResult(MessageStore store) noexcept : state_(std::move(store)) {}
  LoadResult(LoadError error) noexcept : state_(std::move(error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  MessageStore &value() { return std::get<0>(state_); }
  const MessageStore &value() const { return std::get<0>(state_); }
  const std::string &error() const { return std::get<1>(state_).message; }

  friend bool operator==(const LoadResult &, const LoadResult &) = default;

private:
  std::variant<MessageStore, LoadError> state_;
};

// Counts a load can report on the side, for benchmarks and tests.
struct LoadStats {
  size_t lines = 0;           // lines read, blank ones included
  size_t kept_lines = 0;      // lines that became a record
  size_t kept_line_bytes = 0; // text of the kept lines, terminators excluded
};

// Opens `path` (gzip-decoded when its extension is "gz" or "gzip") and loads it.
LoadResult load_stream_messages(std::string_view path, LoadStats *stats = nullptr);
LoadResult load_messages(ByteSource source, LoadStats *stats = nullptr);

// Empty, or only characters with the Unicode White_Space property. `line` is valid UTF-8.
bool is_blank_line(std::string_view line) noexcept;

} // namespace pelarune
