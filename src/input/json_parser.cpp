// JSON line parsing: RapidJSON's SAX reader in place onto the tape writer, numbers taken as raw
// text, and the work-arounds for what the reader misjudges. This file stays free of Python.
#include "input/json_parser.h"

#include "input/line_reader.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

namespace pelarune {
namespace {

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

// Hands RapidJSON's events to the tape writer, with the checks the reader leaves out.
class TapeHandler {
public:
  explicit TapeHandler(TapeWriter &writer) noexcept : writer_(writer) {}

  bool Null() {
    writer_.null();
    return true;
  }
  bool Bool(bool b) {
    writer_.boolean(b);
    return true;
  }
  // Only RawNumber is called while numbers are parsed as strings.
  bool Int(int) { return false; }
  bool Uint(unsigned) { return false; }
  bool Int64(int64_t) { return false; }
  bool Uint64(uint64_t) { return false; }
  bool Double(double) { return false; }
  bool RawNumber(const char *text, rapidjson::SizeType length, bool) {
    return writer_.number(text, length) || fail("Number too big to be stored in double", text);
  }
  bool String(const char *text, rapidjson::SizeType length, bool) {
    if (has_surrogate(text, length)) [[unlikely]]
      return fail("The surrogate pair in string is invalid", text);
    writer_.string({text, length});
    return true;
  }
  bool Key(const char *text, rapidjson::SizeType length, bool) {
    if (has_surrogate(text, length)) [[unlikely]]
      return fail("The surrogate pair in string is invalid", text);
    writer_.key({text, length});
    return true;
  }
  bool StartObject() { return open(tape::kObject); }
  bool EndObject(rapidjson::SizeType) { return close(); }
  bool StartArray() { return open(tape::kArray); }
  bool EndArray(rapidjson::SizeType) { return close(); }

  // Set when the handler, not the grammar, stopped the parse.
  const char *failure() const noexcept { return failure_; }
  const char *failure_at() const noexcept { return failure_at_; }

private:
  bool open(uint8_t tag) {
    if (writer_.depth() >= size_t(kMaxJsonDepth))
      return fail("Nesting deeper than 127 levels", nullptr);
    writer_.open(tag);
    return true;
  }
  bool close() {
    writer_.close();
    return true;
  }
  bool fail(const char *what, const char *where) {
    failure_ = what;
    failure_at_ = where;
    return false;
  }

  TapeWriter &writer_;
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

[[gnu::cold, gnu::noinline]] LoadError error_at(std::string what, const char *line, size_t offset) {
  return {std::move(what) + " at column " + std::to_string(column_of(line, offset)),
          LoadError::Kind::NotJson};
}

} // namespace

template <bool kCheckUtf8>
Expected<std::string_view, LoadError> JsonParser::parse_line(char *line, size_t length) {
  if (size_t bound = JsonScanner::tape_bound(length); scanned_capacity_ < bound) [[unlikely]] {
    scanned_capacity_ = std::max(bound, 2 * scanned_capacity_);
    scanned_.reset(new char[scanned_capacity_]);
  }
  line[length] = '\0';
  if (char *end = scanner_.scan(line, length, scanned_.get())) [[likely]] {
    // An ASCII line is UTF-8; the scanner takes other bytes only inside strings.
    if (kCheckUtf8 && scanner_.saw_non_ascii() && !is_valid_utf8(line, length)) [[unlikely]]
      return invalid_utf8_error();
    return std::string_view(scanned_.get(), size_t(end - scanned_.get()));
  }
  // Declined: the scanner left the line as it was.
  if (kCheckUtf8 && !is_valid_utf8(line, length)) [[unlikely]]
    return invalid_utf8_error();
  PELARUNE_CHECK_OK(parse_with_reader(line, length, tape_));
  return std::string_view(tape_);
}

Expected<std::string_view, LoadError> JsonParser::parse(char *line, size_t length) {
  return parse_line<false>(line, length);
}

Expected<std::string_view, LoadError> JsonParser::parse_unchecked_utf8(char *line, size_t length) {
  return parse_line<true>(line, length);
}

Expected<Unit, LoadError> JsonParser::parse(char *line, size_t length, std::string &tape) {
  PELARUNE_TRY(std::string_view encoded, parse(line, length));
  tape.assign(encoded);
  return Unit{};
}

Expected<Unit, LoadError> JsonParser::parse_with_reader(char *line, size_t length,
                                                        std::string &tape) {
  // Parsing in place changes the strings' bytes; a retry needs the line as it was.
  original_.assign(line, length);
  for (;;) {
    writer_.start(tape);
    line[length] = '\0';
    TapeHandler handler(writer_);
    rapidjson::Reader reader;
    rapidjson::InsituStringStream stream(line);
    // Recursive descent is safe: the handler stops the parse at the nesting limit. In place
    // with raw numbers, the reader never touches its internal stack.
    constexpr unsigned kFlags = rapidjson::kParseInsituFlag | rapidjson::kParseNumbersAsStringsFlag;
    rapidjson::ParseResult result = reader.Parse<kFlags>(stream, handler);
    if (result) {
      // The reader stops at the first NUL; one inside the line must not end it early.
      if (stream.Tell() == length)
        return Unit{};
      return error_at("Invalid character NUL", line, stream.Tell());
    }
    size_t offset = result.Offset();
    if (result.Code() == rapidjson::kParseErrorNumberTooBig && offset < length) {
      std::memcpy(line, original_.data(), length);
      if (rewrite_in_range_literal(line, length, offset)) {
        original_.assign(line, length);
        continue;
      }
    }
    std::string what;
    if (handler.failure()) {
      if (handler.failure_at())
        offset = size_t(handler.failure_at() - line);
      else if (offset > 0)
        --offset; // the reader has taken the bracket that went too deep: point at it
      what = handler.failure();
    } else if (result.Code() == rapidjson::kParseErrorStringEscapeInvalid && offset < length &&
               uint8_t(original_[offset]) < 0x20) {
      what = "Unescaped control character in string"; // the reader calls it a bad escape
    } else {
      what = rapidjson::GetParseError_En(result.Code());
      if (!what.empty() && what.back() == '.')
        what.pop_back();
    }
    return error_at(std::move(what), original_.data(), std::min(offset, length));
  }
}

} // namespace pelarune
