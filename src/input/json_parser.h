// Parses one line of text as exactly one JSON value onto the tape of json_tape.h: the scanner
// of json_scanner.h for the common lines, RapidJSON's SAX reader for the rest and for every
// error. This file stays free of Python.
#pragma once

#include "input/json_scanner.h"
#include "input/json_tape.h"
#include "input/load_error.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace pelarune {

// Nesting beyond this many arrays/objects fails the parse; the outermost counts as level 1.
inline constexpr int kMaxJsonDepth = 127;

class JsonParser {
public:
  // Parses line[0, length) and returns the encoded value, valid until the next call. The
  // parser works in place: it may overwrite the line's bytes, and line[length] must be a
  // writable byte, which it sets to NUL. Any syntax or range error fails, with a description
  // saying what was wrong and at which column of the line.
  Expected<std::string_view, LoadError> parse(char *line, size_t length);
  // The same for a line not yet checked to be UTF-8: one that is not fails as the line reader
  // would have failed it, before any JSON error. Checks only the lines that need it.
  Expected<std::string_view, LoadError> parse_unchecked_utf8(char *line, size_t length);
  // The same, replacing `tape` with the encoded value.
  Expected<Unit, LoadError> parse(char *line, size_t length, std::string &tape);
  // RapidJSON's path alone, which takes every line the scanner declines. Each line must give
  // the same outcome both ways; tests hold the scanner to that.
  Expected<Unit, LoadError> parse_with_reader(char *line, size_t length, std::string &tape);

private:
  template <bool kCheckUtf8>
  Expected<std::string_view, LoadError> parse_line(char *line, size_t length);

  JsonScanner scanner_;
  std::unique_ptr<char[]> scanned_; // the scanner's tape
  size_t scanned_capacity_ = 0;
  std::string tape_; // the reader's tape
  TapeWriter writer_;
  std::string original_; // the line before the reader changed it, for a retry or an error
};

} // namespace pelarune
