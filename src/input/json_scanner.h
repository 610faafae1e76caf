// The fast path of line parsing: a one-pass scanner that writes the tape of json_tape.h
// straight from the line's text. It takes the lines a stream file is made of and declines
// everything else, leaving it to the RapidJSON path of json_parser, which then decides
// acceptance and words any error. This file stays free of Python.
#pragma once

#include <cstddef>

namespace pelarune {

// Where the scanner declines, RapidJSON decides; where it accepts, the tape is byte for byte
// the one the RapidJSON path writes. Declined: escapes in strings, numbers near the limits
// RapidJSON checks, nesting at the depth limit, and anything not in JSON's grammar.
class JsonScanner {
public:
  // Room `out` must have for a line of `length` bytes: every text byte writes at most five tape
  // bytes ("-0" in two bytes writes nine), and each open container at most five more.
  static constexpr size_t tape_bound(size_t length) noexcept { return 5 * length + 1024; }

  // Writes the tape of line[0, length) at out and returns its end, or null when it declines.
  // line[length] must be a NUL; the line itself is only read, so a declined line can be
  // parsed again as it is.
  char *scan(const char *line, size_t length, char *out) noexcept;
};

} // namespace pelarune
