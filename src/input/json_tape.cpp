// Number literals on the tape: unsigned, negative and floating literals stay apart (and -0 is
// a double), and short decimals take the compact form. This file stays free of Python.
#include "input/json_tape.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace pelarune {

namespace tape {

char *encode_double_literal(const char *text, size_t length, char *out) {
  double value = 0.0;
  auto [ptr, ec] = std::from_chars(text, text + length, value);
  if (ec == std::errc::result_out_of_range || ec != std::errc() || ptr != text + length) {
    // from_chars reports underflow and overflow alike; only overflow is an error. strtod
    // needs the literal NUL-terminated.
    std::string literal(text, length);
    value = std::strtod(literal.c_str(), nullptr);
    if (ec == std::errc::result_out_of_range && std::isinf(value))
      return nullptr;
  }
  *out++ = char(kDouble);
  return write_le_double(out, value);
}

char *encode_number_literal(const char *text, size_t length, char *out) {
  const char *p = text;
  const char *end = text + length;
  NumberParts n;
  n.negative = *p == '-';
  if (n.negative)
    ++p;
  bool overflow = false; // more significant digits than 64 bits hold
  auto take_digit = [&](char c) {
    if (n.mantissa == 0 && c == '0')
      return;
    ++n.digits;
    if (__builtin_mul_overflow(n.mantissa, uint64_t(10), &n.mantissa) ||
        __builtin_add_overflow(n.mantissa, uint64_t(c - '0'), &n.mantissa))
      overflow = true;
  };
  for (; p != end && *p >= '0' && *p <= '9'; ++p)
    take_digit(*p);
  if (p != end && *p == '.') {
    n.is_integer = false;
    for (++p; p != end && *p >= '0' && *p <= '9'; ++p) {
      ++n.fraction_digits;
      take_digit(*p);
    }
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    n.is_integer = false;
    ++p;
    bool exponent_negative = false;
    if (p != end && (*p == '-' || *p == '+'))
      exponent_negative = *p++ == '-';
    for (; p != end && *p >= '0' && *p <= '9'; ++p)
      if (n.exponent < 100000) // far past any double's range; keeps the count bounded
        n.exponent = n.exponent * 10 + (*p - '0');
    if (exponent_negative)
      n.exponent = -n.exponent;
  }
  n.exact = !overflow && p == end;
  return encode_number(n, text, length, out);
}

} // namespace tape

bool TapeWriter::number(const char *text, size_t length) {
  char bytes[tape::kMaxNumberBytes];
  char *stop = tape::encode_number_literal(text, length, bytes);
  if (!stop)
    return false;
  out_->append(bytes, size_t(stop - bytes));
  return true;
}

} // namespace pelarune
