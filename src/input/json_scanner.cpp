// The one-pass scanner behind the common lines: each byte is looked at once, numbers are read
// straight into their tape form, and the tape is written through a raw pointer. This file stays
// free of Python.
#include "input/json_scanner.h"

#include "input/json_parser.h"
#include "input/json_tape.h"

#include <cstdint>
#include <cstring>

namespace pelarune {
namespace {

// The RapidJSON path fails literals longer than about 308 digits or with an exponent above
// 308 (less the fraction's digits) before it converts them; below these it never does.
constexpr size_t kMaxPlainLiteralBytes = 300;
constexpr long kMaxPlainExponent = 300;

bool is_digit(char c) noexcept {
  return uint8_t(c - '0') < 10;
}

// Skips JSON's white space, which stream lines rarely hold: one test when there is none. The
// NUL after the line is none, so skipping stops there.
const char *skip_space(const char *p) noexcept {
  if (uint8_t(*p) > ' ') [[likely]]
    return p;
  while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
    ++p;
  return p;
}

// A high bit in each byte of the word that equals `byte`. Borrows may mark bytes above a
// marked one, so only the lowest mark is exact.
uint64_t bytes_equal(uint64_t word, uint8_t byte) noexcept {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  uint64_t x = word ^ (kOnes * byte);
  return (x - kOnes) & ~x & (kOnes * 0x80);
}

// The same for bytes below 0x20.
uint64_t control_bytes(uint64_t word) noexcept {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  return (word - kOnes * 0x20) & ~word & (kOnes * 0x80);
}

// Copies the content of the string whose opening quote is at p to out[1...] as a varint length
// and the bytes, and returns the closing quote, or null when the string holds an escape or a
// control character. Whole words are copied as they are tested, so up to 7 bytes past the
// content may be written too.
[[gnu::always_inline]] inline const char *copy_string(const char *p, const char *end, char *&out,
                                                      uint64_t &high_bits) noexcept {
  const char *start = ++p;
  char *o = out + 1; // a one-byte length first, the common case
  while (end - p >= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    std::memcpy(o, &word, 8);
    high_bits |= word;
    uint64_t quotes = bytes_equal(word, '"');
    if (uint64_t marks = quotes | bytes_equal(word, '\\') | control_bytes(word)) {
      // The lowest mark is exact in each part, so whether it is the quote is read from the
      // word, without waiting for a load of the byte.
      if ((quotes & marks & (0 - marks)) == 0)
        return nullptr;
      size_t at = size_t(std::countr_zero(marks) / 8);
      p += at;
      o += at;
      goto done;
    }
    p += 8;
    o += 8;
  }
  for (;; ++p) { // the NUL after the line stops this loop
    auto c = uint8_t(*p);
    if (c == '"')
      break;
    if (c == '\\' || c < 0x20)
      return nullptr;
    high_bits |= c;
    *o++ = char(c);
  }
done:
  size_t n = size_t(p - start);
  if (n >= 0x80) [[unlikely]] {
    size_t extra = tape::varint_size(n) - 1;
    std::memmove(out + 1 + extra, out + 1, n);
    o += extra;
  }
  tape::write_varint(out, n);
  out = o;
  return p;
}

} // namespace

char *JsonScanner::scan(const char *line, size_t length, char *out) noexcept {
  const char *p = line;
  const char *const end = line + length;
  char *const base = out;
  char *o = out;
  // Per open container: where its length goes and whether it is an object.
  size_t length_at[kMaxJsonDepth];
  bool is_object[kMaxJsonDepth];
  int depth = 0;
  uint64_t high_bits = 0;
  bool in_object = false; // is_object[depth - 1], kept at hand

  // Writes the content length of the innermost open container, widening its one-byte
  // placeholder when the length needs more.
  auto close = [&] {
    --depth;
    in_object = depth > 0 && is_object[depth - 1];
    char *at = base + length_at[depth];
    size_t content = size_t(o - at - 1);
    if (content >= 0x80) [[unlikely]] {
      size_t extra = tape::varint_size(content) - 1;
      std::memmove(at + 1 + extra, at + 1, content);
      o += extra;
    }
    tape::write_varint(at, content);
  };

value:
  p = skip_space(p);
  switch (*p) {
  case '{':
  case '[':
    if (depth == kMaxJsonDepth) [[unlikely]]
      return nullptr; // the RapidJSON path words the nesting error
    in_object = *p == '{';
    is_object[depth] = in_object;
    *o++ = char(in_object ? tape::kObject : tape::kArray);
    length_at[depth++] = size_t(o - base);
    *o++ = 0;
    p = skip_space(p + 1);
    if (*p == (in_object ? '}' : ']')) {
      ++p;
      close();
      goto after_value;
    }
    if (in_object)
      goto key;
    goto value;
  case '"': {
    *o++ = char(tape::kString);
    const char *stop = copy_string(p, end, o, high_bits);
    if (!stop) [[unlikely]]
      return nullptr;
    p = stop + 1;
    goto after_value;
  }
  case 't':
    if (p[0] != 't' || p[1] != 'r' || p[2] != 'u' ||
        p[3] != 'e') // the NUL after the line stops a short one
      return nullptr;
    *o++ = char(tape::kTrue);
    p += 4;
    goto after_value;
  case 'f':
    if (p[0] != 'f' || p[1] != 'a' || p[2] != 'l' || p[3] != 's' || p[4] != 'e')
      return nullptr;
    *o++ = char(tape::kFalse);
    p += 5;
    goto after_value;
  case 'n':
    if (p[0] != 'n' || p[1] != 'u' || p[2] != 'l' || p[3] != 'l')
      return nullptr;
    *o++ = char(tape::kNull);
    p += 4;
    goto after_value;
  default: {
    const char *start = p;
    tape::NumberParts n;
    n.negative = *p == '-';
    p += n.negative;
    // Up to 19 significant digits cannot overflow 64 bits; more go to the text path below.
    // Leading zeros are no significant digits: the integer part has none but "0" itself.
    if (*p == '0') {
      if (is_digit(*++p)) // a leading zero: JSON's grammar has none
        return nullptr;
    } else if (is_digit(*p)) {
      const char *first = p;
      for (; is_digit(*p); ++p)
        n.mantissa = n.mantissa * 10 + uint64_t(*p - '0');
      n.digits = int(p - first);
    } else {
      return nullptr;
    }
    // The common forms straight to the tape, as encode_number would write them: an integer
    // that fits, and a short decimal without exponent.
    bool fraction = *p == '.';
    if (!fraction && *p != 'e' && *p != 'E' && n.digits <= 18 && (n.mantissa != 0 || !n.negative))
        [[likely]] {
      if (n.negative) {
        *o++ = char(tape::kNegInt);
        o = tape::write_varint(o, n.mantissa);
      } else {
        o = tape::write_uint(o, n.mantissa);
      }
      goto after_value;
    }
    if (fraction) {
      n.is_integer = false;
      const char *first = ++p;
      if (n.mantissa == 0)
        while (*p == '0')
          ++p;
      const char *significant = p;
      for (; is_digit(*p); ++p)
        n.mantissa = n.mantissa * 10 + uint64_t(*p - '0');
      if (p == first)
        return nullptr;
      n.fraction_digits = int(p - first);
      n.digits += int(p - significant);
      if (*p != 'e' && *p != 'E' && n.digits <= 15 && n.fraction_digits <= tape::kMaxDecimalScale &&
          (n.mantissa != 0 || !n.negative)) [[likely]] {
        *o++ = char((n.negative ? tape::kNegDecimal : tape::kDecimal) + n.fraction_digits);
        o = tape::write_varint(o, n.mantissa);
        goto after_value;
      }
    }
    if (*p == 'e' || *p == 'E') {
      n.is_integer = false;
      ++p;
      bool exponent_negative = *p == '-';
      if (*p == '-' || *p == '+')
        ++p;
      if (!is_digit(*p))
        return nullptr;
      for (; is_digit(*p); ++p)
        if (n.exponent < 100000)
          n.exponent = n.exponent * 10 + (*p - '0');
      if (!exponent_negative && n.exponent > kMaxPlainExponent)
        return nullptr;
      if (exponent_negative)
        n.exponent = -n.exponent;
    }
    size_t literal = size_t(p - start);
    if (literal > kMaxPlainLiteralBytes) [[unlikely]]
      return nullptr;
    char *stop;
    if (n.digits <= 19) [[likely]] {
      stop = tape::encode_number(n, start, literal, o);
    } else {
      stop = tape::encode_number_literal(start, literal, o); // counts again, checking overflow
    }
    if (!stop) [[unlikely]]
      return nullptr; // overflows a double: the RapidJSON path words the error
    o = stop;
    goto after_value;
  }
  }

key:
  p = skip_space(p);
  if (*p != '"')
    return nullptr;
  {
    const char *stop = copy_string(p, end, o, high_bits);
    if (!stop) [[unlikely]]
      return nullptr;
    p = skip_space(stop + 1);
  }
  if (*p != ':')
    return nullptr;
  ++p;
  goto value;

after_value:
  p = skip_space(p);
  if (depth == 0) {
    high_bits_ = high_bits;
    return p == end ? o : nullptr; // a NUL inside the line stops short of the end
  }
  if (*p == ',') {
    ++p;
    if (in_object)
      goto key;
    goto value;
  }
  if (*p != (in_object ? '}' : ']'))
    return nullptr;
  ++p;
  close();
  goto after_value;
}

} // namespace pelarune
