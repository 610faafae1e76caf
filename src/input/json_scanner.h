// The fast path of line parsing: a one-pass scanner that writes the tape of json_tape.h
// straight from the line's text. It takes the lines a stream file is made of and declines
// everything else, leaving it to the RapidJSON path of json_parser, which then decides
// acceptance and words any error. This file stays free of Python.
#pragma once

#include <cstddef>
#include <cstdint>

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
  // parsed again as it is. The line need not be UTF-8: after a taken line, saw_non_ascii()
  // says whether it may hold other bytes than ASCII (only inside strings, which are copied as
  // they are), so whether it still needs the UTF-8 check.
  char *scan(const char *line, size_t length, char *out) noexcept;
  bool saw_non_ascii() const noexcept { return (high_bits_ & 0x8080808080808080ull) != 0; }

private:
  uint64_t high_bits_ = 0; // the OR of the string bytes seen, and maybe a few more of the line
};

} // namespace pelarune
