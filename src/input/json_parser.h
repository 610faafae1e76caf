// Parses one line of text as exactly one JSON value onto the tape of json_tape.h.
// This file stays free of Python.
#pragma once

#include "input/json_tape.h"
#include "input/load_error.h"

#include <cstddef>
#include <string>

namespace pelarune {

// Nesting beyond this many arrays/objects fails the parse; the outermost counts as level 1.
inline constexpr int kMaxJsonDepth = 127;

class JsonParser {
public:
  // Parses line[0, length) and replaces `tape` with the encoded value. The parser works in
  // place: it may overwrite the line's bytes, and line[length] must be a writable byte,
  // which it sets to NUL. Any syntax or range error fails, with a description saying what
  // was wrong and at which column of the line.
  Expected<Unit, LoadError> parse(char *line, size_t length, std::string &tape);

private:
  TapeWriter writer_;
  std::string original_;
};

} // namespace pelarune
