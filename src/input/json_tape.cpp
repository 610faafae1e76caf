// Number literals on the tape: unsigned, negative and floating literals stay apart (and -0 is
// a double), and short decimals take the compact form. This file stays free of Python.
#include "input/json_tape.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace pelarune {

void TapeWriter::put_double(double value) {
  uint64_t bits = std::bit_cast<uint64_t>(value);
  if constexpr (std::endian::native == std::endian::big)
    bits = __builtin_bswap64(bits);
  put_tag(tape::kDouble);
  char bytes[8];
  std::memcpy(bytes, &bits, 8);
  out_->append(bytes, 8);
}

bool TapeWriter::number(const char *text, size_t length) {
  const char *p = text;
  const char *end = text + length;
  bool negative = *p == '-';
  if (negative)
    ++p;

  // Significant digits (leading zeros skipped), fraction digit count and exponent.
  uint64_t mantissa = 0;
  int digits = 0;
  bool overflow = false; // more significant digits than 64 bits hold
  auto take_digit = [&](char c) {
    if (mantissa == 0 && c == '0')
      return;
    ++digits;
    if (__builtin_mul_overflow(mantissa, uint64_t(10), &mantissa) ||
        __builtin_add_overflow(mantissa, uint64_t(c - '0'), &mantissa))
      overflow = true;
  };
  int fraction_digits = 0;
  bool is_integer = true;
  for (; p != end && *p >= '0' && *p <= '9'; ++p)
    take_digit(*p);
  if (p != end && *p == '.') {
    is_integer = false;
    for (++p; p != end && *p >= '0' && *p <= '9'; ++p) {
      ++fraction_digits;
      take_digit(*p);
    }
  }
  long exponent = 0;
  if (p != end && (*p == 'e' || *p == 'E')) {
    is_integer = false;
    ++p;
    bool exponent_negative = false;
    if (p != end && (*p == '-' || *p == '+'))
      exponent_negative = *p++ == '-';
    for (; p != end && *p >= '0' && *p <= '9'; ++p)
      if (exponent < 100000) // far past any double's range; keeps the count bounded
        exponent = exponent * 10 + (*p - '0');
    if (exponent_negative)
      exponent = -exponent;
  }
  bool exact_digits = !overflow && p == end;

  if (is_integer && exact_digits) {
    if (!negative) {
      put_tag(tape::kUint);
      put_varint(mantissa);
      return true;
    }
    if (mantissa == 0) { // "-0" is the double -0.0
      put_double(-0.0);
      return true;
    }
    if (mantissa <= (uint64_t(1) << 63)) {
      put_tag(tape::kNegInt);
      put_varint(mantissa);
      return true;
    }
    // A negative literal below -2^63 falls through to a double.
  }

  // Clinger's fast path: at most 15 digits and an exact power of ten give the nearest double
  // with one division, and the (mantissa, scale) pair is the compact encoding.
  if (exact_digits && digits <= 15 && !(negative && mantissa == 0)) {
    long scale = long(fraction_digits) - exponent;
    while (scale < 0 && mantissa < (uint64_t(1) << 53) / 10) {
      mantissa *= 10;
      ++scale;
    }
    if (scale >= 0 && scale <= tape::kMaxDecimalScale) {
      int64_t signed_mantissa = negative ? -int64_t(mantissa) : int64_t(mantissa);
      put_tag(uint8_t(tape::kDecimal + scale));
      put_varint(tape::zigzag(signed_mantissa));
      return true;
    }
  }

  double value = 0.0;
  auto [ptr, ec] = std::from_chars(text, text + length, value);
  if (ec == std::errc::result_out_of_range) {
    // from_chars reports underflow and overflow alike; only overflow is an error.
    scratch_.assign(text, length);
    value = std::strtod(scratch_.c_str(), nullptr);
    if (std::isinf(value))
      return false;
  } else if (ec != std::errc() || ptr != text + length) {
    scratch_.assign(text, length);
    value = std::strtod(scratch_.c_str(), nullptr);
  }
  put_double(value);
  return true;
}

} // namespace pelarune
