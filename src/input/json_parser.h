// Parses one line of text as exactly one JSON value into the tape form of json_value.h.
// This file stays free of Python.
#pragma once

#include <cstddef>
#include <string>

namespace pelarune {

// Nesting beyond this many arrays/objects fails the parse; the outermost counts as level 1.
inline constexpr int kMaxJsonDepth = 127;

class JsonParser {
public:
  // Parses line[0, length) and replaces `tape` with the encoded value. The parser works in
  // place: it may overwrite the line's bytes, and line[length] must be a writable byte,
  // which it sets to NUL. Returns false on any syntax or range error, with error() set to a
  // description saying what was wrong and at which column of the line.
  [[nodiscard]] bool parse(char *line, size_t length, std::string &tape);

  const std::string &error() const noexcept { return error_; }

private:
  std::string error_;
  std::string scratch_;
  std::string original_;
};

} // namespace pelarune
