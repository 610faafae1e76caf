// JSON line parsing: RapidJSON's SAX reader in place, numbers taken as raw text and converted
// here so that unsigned, negative and floating literals stay apart (and -0 is a double).
// This file stays free of Python.
#include "input/json_load.h"

#include "input/json_value.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

namespace pelarune {
namespace {

void put_varint(std::string &out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(char(uint8_t(value) | 0x80));
    value >>= 7;
  }
  out.push_back(char(value));
}

size_t varint_size(uint64_t value) {
  size_t n = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++n;
  }
  return n;
}

void put_raw_double(std::string &out, double value) {
  uint64_t bits = std::bit_cast<uint64_t>(value);
  if constexpr (std::endian::native == std::endian::big)
    bits = __builtin_bswap64(bits);
  out.push_back(char(tape::kDouble));
  char bytes[8];
  std::memcpy(bytes, &bits, 8);
  out.append(bytes, 8);
}

enum class NumberStatus { kOk, kOverflow };

// Encodes a JSON number literal (already checked against the grammar by the reader).
NumberStatus put_number(std::string &out, const char *text, size_t length, std::string &scratch) {
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
      out.push_back(char(tape::kUint));
      put_varint(out, mantissa);
      return NumberStatus::kOk;
    }
    if (mantissa == 0) { // "-0" is the double -0.0
      put_raw_double(out, -0.0);
      return NumberStatus::kOk;
    }
    if (mantissa <= (uint64_t(1) << 63)) {
      out.push_back(char(tape::kNegInt));
      put_varint(out, mantissa);
      return NumberStatus::kOk;
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
      out.push_back(char(tape::kDecimal + scale));
      put_varint(out, tape::zigzag(signed_mantissa));
      return NumberStatus::kOk;
    }
  }

  double value = 0.0;
  auto [ptr, ec] = std::from_chars(text, text + length, value);
  if (ec == std::errc::result_out_of_range) {
    // from_chars reports underflow and overflow alike; only overflow is an error.
    scratch.assign(text, length);
    value = std::strtod(scratch.c_str(), nullptr);
    if (std::isinf(value))
      return NumberStatus::kOverflow;
  } else if (ec != std::errc() || ptr != text + length) {
    scratch.assign(text, length);
    value = std::strtod(scratch.c_str(), nullptr);
  }
  put_raw_double(out, value);
  return NumberStatus::kOk;
}

// The line is valid UTF-8, so a surrogate's encoding (ED A0..BF) in a decoded string comes from
// a \u escape. The reader refuses an unpaired high surrogate but lets a lone low one through;
// text that is not UTF-8 could never become a Python str, so keys and values alike fail.
// see JsonStrings.LoneLowSurrogateEscapeFails
bool has_surrogate(const char *text, size_t length) noexcept {
  for (size_t i = 0; i + 1 < length; ++i)
    if (uint8_t(text[i]) == 0xED && uint8_t(text[i + 1]) >= 0xA0) [[unlikely]]
      return true;
  return false;
}

class TapeWriter {
public:
  TapeWriter(std::string &out, std::string &scratch) : out_(out), scratch_(scratch) {}

  bool Null() { return put_tag(tape::kNull); }
  bool Bool(bool b) { return put_tag(b ? tape::kTrue : tape::kFalse); }
  // Only RawNumber is called while numbers are parsed as strings.
  bool Int(int) { return false; }
  bool Uint(unsigned) { return false; }
  bool Int64(int64_t) { return false; }
  bool Uint64(uint64_t) { return false; }
  bool Double(double) { return false; }
  bool RawNumber(const char *text, rapidjson::SizeType length, bool) {
    if (put_number(out_, text, length, scratch_) == NumberStatus::kOk)
      return true;
    fail("Number too big to be stored in double", text);
    return false;
  }
  bool String(const char *text, rapidjson::SizeType length, bool) {
    if (has_surrogate(text, length)) [[unlikely]] {
      fail("The surrogate pair in string is invalid", text);
      return false;
    }
    out_.push_back(char(tape::kString));
    put_varint(out_, length);
    out_.append(text, length);
    return true;
  }
  bool Key(const char *text, rapidjson::SizeType length, bool) {
    if (has_surrogate(text, length)) [[unlikely]] {
      fail("The surrogate pair in string is invalid", text);
      return false;
    }
    put_varint(out_, length);
    out_.append(text, length);
    return true;
  }
  bool StartObject() { return open(tape::kObject); }
  bool EndObject(rapidjson::SizeType) { return close(); }
  bool StartArray() { return open(tape::kArray); }
  bool EndArray(rapidjson::SizeType) { return close(); }

  // Set when the writer, not the grammar, stopped the parse.
  const char *failure() const noexcept { return failure_; }
  const char *failure_at() const noexcept { return failure_at_; }

private:
  bool put_tag(uint8_t tag) {
    out_.push_back(char(tag));
    return true;
  }

  bool open(uint8_t tag) {
    if (open_.size() >= size_t(kMaxJsonDepth)) {
      failure_ = "Nesting deeper than 127 levels";
      return false;
    }
    out_.push_back(char(tag));
    open_.push_back(out_.size());
    out_.push_back(0); // one-byte length placeholder, widened in close() when needed
    return true;
  }

  bool close() {
    size_t placeholder = open_.back();
    open_.pop_back();
    size_t content = out_.size() - placeholder - 1;
    size_t width = varint_size(content);
    if (width > 1)
      out_.insert(placeholder + 1, width - 1, '\0');
    char *at = out_.data() + placeholder;
    uint64_t value = content;
    while (value >= 0x80) {
      *at++ = char(uint8_t(value) | 0x80);
      value >>= 7;
    }
    *at = char(value);
    return true;
  }

  void fail(const char *what, const char *where) {
    failure_ = what;
    failure_at_ = where;
  }

  std::string &out_;
  std::string &scratch_;
  std::vector<size_t> open_;
  const char *failure_ = nullptr;
  const char *failure_at_ = nullptr;
};

// Columns count characters, not bytes, from 1.
size_t column_of(const char *line, size_t offset) {
  size_t column = 1;
  for (size_t i = 0; i < offset; ++i)
    column += (uint8_t(line[i]) & 0xC0) != 0x80;
  return column;
}

// A JSON number literal's extent at `text`: the longest run of number characters.
size_t number_extent(const char *text, size_t available) {
  size_t n = 0;
  while (n < available && (std::isdigit(uint8_t(text[n])) || text[n] == '-' || text[n] == '+' ||
                           text[n] == '.' || text[n] == 'e' || text[n] == 'E'))
    ++n;
  return n;
}

// Whether text[0, length) is exactly one number in JSON's grammar.
bool is_json_number(const char *text, size_t length) {
  size_t i = 0;
  auto digits = [&] {
    size_t first = i;
    while (i < length && std::isdigit(uint8_t(text[i])))
      ++i;
    return i - first;
  };
  if (i < length && text[i] == '-')
    ++i;
  if (i < length && text[i] == '0')
    ++i;
  else if (digits() == 0)
    return false;
  if (i < length && text[i] == '.') {
    ++i;
    if (digits() == 0)
      return false;
  }
  if (i < length && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < length && (text[i] == '+' || text[i] == '-'))
      ++i;
    if (digits() == 0)
      return false;
  }
  return i == length;
}

// The reader rejects some literals whose value a double holds (0e400, a 400-digit mantissa
// with a large negative exponent) by counting digits. Such a literal is rewritten in place as
// the shortest text of the same double, padded with spaces (white space may follow a value),
// so the next attempt reads the same value. Returns false when the literal truly overflows.
// see JsonNumbers.InRangeLiteralsTheReaderMisjudges
bool rewrite_in_range_literal(char *line, size_t length, size_t offset) {
  size_t extent = number_extent(line + offset, length - offset);
  if (extent == 0 || !is_json_number(line + offset, extent))
    return false;
  std::string literal(line + offset, extent);
  double value = std::strtod(literal.c_str(), nullptr);
  if (std::isinf(value))
    return false;
  char shortest[40];
  auto [end, ec] = std::to_chars(shortest, shortest + sizeof shortest - 2, value);
  if (ec != std::errc())
    return false;
  std::string_view text(shortest, size_t(end - shortest));
  std::string replacement(text);
  if (text.find_first_of(".e") == std::string_view::npos)
    replacement += ".0"; // stays a floating literal, as the original was one
  if (replacement.size() > extent)
    return false;
  std::memcpy(line + offset, replacement.data(), replacement.size());
  std::memset(line + offset + replacement.size(), ' ', extent - replacement.size());
  return true;
}

} // namespace

bool JsonParser::parse(char *line, size_t length, std::string &tape) {
  // Parsing in place changes the strings' bytes; a retry needs the line as it was.
  original_.assign(line, length);
  for (;;) {
    tape.clear();
    line[length] = '\0';
    TapeWriter writer(tape, scratch_);
    rapidjson::Reader reader;
    rapidjson::InsituStringStream stream(line);
    // Recursive descent is safe: the writer stops the parse at the nesting limit. In place
    // with raw numbers, the reader never touches its internal stack.
    constexpr unsigned kFlags = rapidjson::kParseInsituFlag | rapidjson::kParseNumbersAsStringsFlag;
    rapidjson::ParseResult result = reader.Parse<kFlags>(stream, writer);
    if (result) {
      // The reader stops at the first NUL; one inside the line must not end it early.
      if (stream.Tell() == length)
        return true;
      error_ = "Invalid character NUL at column " + std::to_string(column_of(line, stream.Tell()));
      return false;
    }
    size_t offset = result.Offset();
    if (result.Code() == rapidjson::kParseErrorNumberTooBig && offset < length) {
      std::memcpy(line, original_.data(), length);
      if (rewrite_in_range_literal(line, length, offset)) {
        original_.assign(line, length);
        continue;
      }
    }
    if (writer.failure()) {
      if (writer.failure_at())
        offset = size_t(writer.failure_at() - line);
      else if (offset > 0)
        --offset; // the reader has taken the bracket that went too deep: point at it
      error_ = writer.failure();
    } else if (result.Code() == rapidjson::kParseErrorStringEscapeInvalid && offset < length &&
               uint8_t(original_[offset]) < 0x20) {
      error_ = "Unescaped control character in string"; // the reader calls it a bad escape
    } else {
      error_ = rapidjson::GetParseError_En(result.Code());
      if (!error_.empty() && error_.back() == '.')
        error_.pop_back();
    }
    if (offset > length)
      offset = length;
    error_ += " at column " + std::to_string(column_of(original_.data(), offset));
    return false;
  }
}

} // namespace pelarune
