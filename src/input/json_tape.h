// Compact binary form ("tape") of a parsed JSON value: the writer that builds it and the
// zero-copy view that reads it. Loaded records are held in this form and replay reads keys
// straight from it. This file stays free of Python.
//
// Encoding (one tag byte, then the payload):
//   kNull, kFalse, kTrue          no payload
//   kUint                         LEB128 varint: a non-negative integer literal that fits 64 bits
//   kSmallUint + v (v in 0..127)  no payload: the same for the small ones, sizes of 0 above all
//   kNegInt                       LEB128 varint of the magnitude: a negative integer literal
//   kDouble                       8 bytes, IEEE 754 little-endian
//   kDecimal + k (k in 0..15)     varint m: the double m / 10^k, bit-exact (checked when
//                                 written), so the common short prices cost two or three bytes
//   kNegDecimal + k (k in 0..15)  varint m, at least 1: the double -(m / 10^k)
//   kString                       varint byte length, then the UTF-8 bytes (escapes decoded)
//   kArray                        varint byte length of the content, then the elements
//   kObject                       varint byte length of the content, then (key, value) pairs,
//                                 each key a varint byte length and its bytes
// Container lengths let a reader skip a value without walking it. Object members keep the
// line's order, duplicates included; lookups take the last match, so the later duplicate wins.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace pelarune {

namespace tape {
inline constexpr uint8_t kNull = 0x00;
inline constexpr uint8_t kFalse = 0x01;
inline constexpr uint8_t kTrue = 0x02;
inline constexpr uint8_t kUint = 0x03;
inline constexpr uint8_t kNegInt = 0x04;
inline constexpr uint8_t kDouble = 0x05;
inline constexpr uint8_t kString = 0x06;
inline constexpr uint8_t kArray = 0x07;
inline constexpr uint8_t kObject = 0x08;
inline constexpr uint8_t kDecimal = 0x10;    // 0x10..0x1F
inline constexpr uint8_t kNegDecimal = 0x20; // 0x20..0x2F
inline constexpr uint8_t kSmallUint = 0x80;  // 0x80..0xFF
inline constexpr int kMaxDecimalScale = 15;

// Exact powers of ten; every one up to 1e22 is representable, so m / 10^k rounds once.
inline constexpr double kPow10[kMaxDecimalScale + 1] = {
    1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

inline constexpr size_t kMaxVarintBytes = 10; // ten 7-bit groups hold 64 bits

// Writes `value` as a LEB128 varint at `out` and returns its end.
inline char *write_varint(char *out, uint64_t value) noexcept {
  while (value >= 0x80) {
    *out++ = char(uint8_t(value) | 0x80);
    value >>= 7;
  }
  *out++ = char(value);
  return out;
}

inline size_t varint_size(uint64_t value) noexcept {
  size_t n = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++n;
  }
  return n;
}

inline uint64_t read_varint(const uint8_t *&p) noexcept {
  uint64_t value = *p & 0x7f;
  if (*p++ < 0x80) [[likely]]
    return value;
  for (int shift = 7; shift < 64; shift += 7) {
    uint8_t byte = *p++;
    value |= uint64_t(byte & 0x7f) << shift;
    if (byte < 0x80)
      break;
  }
  return value;
}

// Writes the tape form of the non-negative integer `value` at `out` and returns its end.
inline char *write_uint(char *out, uint64_t value) noexcept {
  if (value < 0x80) {
    *out++ = char(kSmallUint + value);
    return out;
  }
  *out++ = char(kUint);
  return write_varint(out, value);
}

inline double read_le_double(const uint8_t *p) noexcept {
  uint64_t bits;
  std::memcpy(&bits, p, 8);
  if constexpr (std::endian::native == std::endian::big)
    bits = __builtin_bswap64(bits);
  return std::bit_cast<double>(bits);
}

inline char *write_le_double(char *out, double value) noexcept {
  uint64_t bits = std::bit_cast<uint64_t>(value);
  if constexpr (std::endian::native == std::endian::big)
    bits = __builtin_bswap64(bits);
  std::memcpy(out, &bits, 8);
  return out + 8;
}

// The most bytes one number takes on the tape: a tag and a 64-bit varint.
inline constexpr size_t kMaxNumberBytes = 1 + kMaxVarintBytes;

// What a number literal says, gathered in one pass over its text.
struct NumberParts {
  uint64_t mantissa = 0; // the significant digits, leading zeros skipped
  int digits = 0;        // how many significant digits
  int fraction_digits = 0;
  long exponent = 0; // bounded, far past any double's range
  bool negative = false;
  bool is_integer = true; // no fraction and no exponent
  bool exact = true;      // every significant digit is in mantissa
};

// The literal as a double (kDouble) at out, for the forms encode_number does not take itself;
// null when the value overflows a double.
char *encode_double_literal(const char *text, size_t length, char *out);

// The tape form of a number literal at out (at most kMaxNumberBytes), returning its end, or
// null when the value overflows a double. Unsigned, negative and floating literals stay apart
// and -0 is a double. `text` is read only for forms the parts do not settle.
inline char *encode_number(const NumberParts &n, const char *text, size_t length, char *out) {
  if (n.is_integer && n.exact) {
    if (!n.negative)
      return write_uint(out, n.mantissa);
    if (n.mantissa != 0 && n.mantissa <= (uint64_t(1) << 63)) {
      *out++ = char(kNegInt);
      return write_varint(out, n.mantissa);
    }
    // "-0" is the double -0.0; a negative literal below -2^63 is a double too.
  }
  // Clinger's fast path: at most 15 digits and an exact power of ten give the nearest double
  // with one division, and the (mantissa, scale) pair is the compact encoding.
  if (n.exact && n.digits <= 15 && !(n.negative && n.mantissa == 0)) {
    uint64_t mantissa = n.mantissa;
    long scale = long(n.fraction_digits) - n.exponent;
    while (scale < 0 && mantissa < (uint64_t(1) << 53) / 10) {
      mantissa *= 10;
      ++scale;
    }
    if (scale >= 0 && scale <= kMaxDecimalScale) {
      *out++ = char((n.negative ? kNegDecimal : kDecimal) + scale);
      return write_varint(out, mantissa);
    }
  }
  return encode_double_literal(text, length, out);
}

// The same from the literal's text alone, which the JSON grammar accepts.
char *encode_number_literal(const char *text, size_t length, char *out);

// Address just past the value that starts at p.
inline const uint8_t *skip(const uint8_t *p) noexcept {
  uint8_t tag = *p++;
  switch (tag) {
  case kNull:
  case kFalse:
  case kTrue:
    return p;
  case kUint:
  case kNegInt:
    read_varint(p);
    return p;
  case kDouble:
    return p + 8;
  case kString:
  case kArray:
  case kObject: {
    uint64_t length = read_varint(p);
    return p + length;
  }
  default:
    if (tag >= kSmallUint)
      return p;
    read_varint(p); // kDecimal + k, kNegDecimal + k
    return p;
  }
}
} // namespace tape

// Builds the tape of one value from calls in the value's order; the caller keeps containers
// balanced. Reused across values, so a value costs no allocation once the buffers have grown.
class TapeWriter {
public:
  // Starts a value in `out`, replacing what it held.
  void start(std::string &out) noexcept {
    out.clear();
    out_ = &out;
    open_.clear();
  }

  void null() { put_tag(tape::kNull); }
  void boolean(bool value) { put_tag(value ? tape::kTrue : tape::kFalse); }
  // A literal the JSON grammar accepts. False when its value overflows a double.
  [[nodiscard]] bool number(const char *text, size_t length);
  void string(std::string_view text) {
    put_tag(tape::kString);
    key(text);
  }
  // The key of an object member; its value follows.
  void key(std::string_view text) {
    put_varint(text.size());
    out_->append(text);
  }
  void open(uint8_t tag) { // tape::kArray or tape::kObject
    put_tag(tag);
    open_.push_back(out_->size());
    out_->push_back(0); // one-byte length placeholder, widened in close() when needed
  }
  void close() {
    size_t placeholder = open_.back();
    open_.pop_back();
    size_t content = out_->size() - placeholder - 1;
    if (size_t width = tape::varint_size(content); width > 1)
      out_->insert(placeholder + 1, width - 1, '\0');
    tape::write_varint(out_->data() + placeholder, content);
  }
  // Containers opened and not yet closed.
  size_t depth() const noexcept { return open_.size(); }

private:
  void put_tag(uint8_t tag) { out_->push_back(char(tag)); }
  void put_varint(uint64_t value) {
    char bytes[tape::kMaxVarintBytes];
    out_->append(bytes, size_t(tape::write_varint(bytes, value) - bytes));
  }

  std::string *out_ = nullptr;
  std::vector<size_t> open_; // where each open container's length goes
};

class JsonArray;
class JsonObject;

// A view of one encoded value. Cheap to copy; valid while the tape it points into lives.
// A default-constructed view is "missing" (what a failed lookup returns).
class JsonValue {
public:
  JsonValue() = default;
  explicit JsonValue(const uint8_t *p) noexcept : p_(p) {}

  explicit operator bool() const noexcept { return p_ != nullptr; }
  const uint8_t *data() const noexcept { return p_; }
  const uint8_t *end() const noexcept { return tape::skip(p_); }
  // The encoded bytes of this value.
  std::string_view bytes() const noexcept {
    return {reinterpret_cast<const char *>(p_), size_t(end() - p_)};
  }

  bool is_null() const noexcept { return *p_ == tape::kNull; }
  bool is_bool() const noexcept { return *p_ == tape::kFalse || *p_ == tape::kTrue; }
  bool is_true() const noexcept { return *p_ == tape::kTrue; }
  bool is_uint() const noexcept { return *p_ == tape::kUint || *p_ >= tape::kSmallUint; }
  bool is_negint() const noexcept { return *p_ == tape::kNegInt; }
  bool is_double() const noexcept {
    return *p_ == tape::kDouble || (*p_ >= tape::kDecimal && *p_ < tape::kNegDecimal + 16);
  }
  bool is_number() const noexcept { return is_uint() || is_negint() || is_double(); }
  bool is_string() const noexcept { return *p_ == tape::kString; }
  bool is_array() const noexcept { return *p_ == tape::kArray; }
  bool is_object() const noexcept { return *p_ == tape::kObject; }

  // Only for is_bool().
  bool bool_value() const noexcept { return *p_ == tape::kTrue; }
  // Only for is_uint().
  uint64_t uint_value() const noexcept {
    if (*p_ >= tape::kSmallUint)
      return *p_ - tape::kSmallUint;
    const uint8_t *q = p_ + 1;
    return tape::read_varint(q);
  }
  // Only for is_negint(): a value in -2^63 .. -1.
  int64_t negint_value() const noexcept {
    const uint8_t *q = p_ + 1;
    return int64_t(0 - tape::read_varint(q));
  }
  // Only for is_double().
  double double_value() const noexcept {
    if (*p_ == tape::kDouble)
      return tape::read_le_double(p_ + 1);
    const uint8_t *q = p_ + 1;
    uint64_t mantissa = tape::read_varint(q); // below 2^53: converts exactly
    // Rounding is symmetric, so negating the quotient is the same as dividing -m.
    if (*p_ >= tape::kNegDecimal)
      return -(double(mantissa) / tape::kPow10[*p_ - tape::kNegDecimal]);
    return double(mantissa) / tape::kPow10[*p_ - tape::kDecimal];
  }
  // Any number kind as a double: integers convert to the nearest double.
  // Only for is_number().
  double number_value() const noexcept {
    if (is_uint())
      return double(uint_value());
    if (is_negint())
      return double(negint_value());
    return double_value();
  }
  // Only for is_string().
  std::string_view string_value() const noexcept {
    const uint8_t *q = p_ + 1;
    uint64_t length = tape::read_varint(q);
    return {reinterpret_cast<const char *>(q), size_t(length)};
  }

  // Only for is_array() / is_object().
  inline JsonArray array() const noexcept;
  inline JsonObject object() const noexcept;

private:
  const uint8_t *p_ = nullptr;
};

struct JsonMember {
  std::string_view key;
  JsonValue value;
};

// The encoded items in [begin, end): Step::at reads the item at an address and Step::next
// steps past it.
template <class Step> class TapeRange {
public:
  class iterator {
  public:
    explicit iterator(const uint8_t *p) noexcept : p_(p) {}
    auto operator*() const noexcept { return Step::at(p_); }
    iterator &operator++() noexcept {
      p_ = Step::next(p_);
      return *this;
    }
    bool operator==(const iterator &) const noexcept = default;

  private:
    const uint8_t *p_;
  };

  TapeRange(const uint8_t *begin, const uint8_t *end) noexcept : begin_(begin), end_(end) {}
  iterator begin() const noexcept { return iterator(begin_); }
  iterator end() const noexcept { return iterator(end_); }
  bool empty() const noexcept { return begin_ == end_; }

protected:
  const uint8_t *begin_;
  const uint8_t *end_;
};

namespace tape {
struct ElementStep {
  static JsonValue at(const uint8_t *p) noexcept { return JsonValue(p); }
  static const uint8_t *next(const uint8_t *p) noexcept { return skip(p); }
};
struct MemberStep {
  static JsonMember at(const uint8_t *p) noexcept {
    uint64_t length = read_varint(p);
    return {std::string_view(reinterpret_cast<const char *>(p), size_t(length)),
            JsonValue(p + length)};
  }
  static const uint8_t *next(const uint8_t *p) noexcept {
    uint64_t length = read_varint(p);
    return skip(p + length);
  }
};
} // namespace tape

// Elements of an encoded array, in order.
class JsonArray : public TapeRange<tape::ElementStep> {
public:
  using TapeRange::TapeRange;
  // Counts by walking: linear in the number of elements.
  size_t size() const noexcept {
    size_t n = 0;
    for (const uint8_t *p = begin_; p != end_; p = tape::skip(p))
      ++n;
    return n;
  }
  // The elements after `element`, which is one of this array's.
  JsonArray after(JsonValue element) const noexcept { return JsonArray(element.end(), end_); }
};

// Members of an encoded object in line order, duplicates included.
class JsonObject : public TapeRange<tape::MemberStep> {
public:
  using TapeRange::TapeRange;
  // The value of the last member named key, or a missing (false) view.
  JsonValue find(std::string_view key) const noexcept {
    JsonValue found;
    for (JsonMember member : *this)
      if (member.key == key)
        found = member.value;
    return found;
  }
};

inline JsonArray JsonValue::array() const noexcept {
  const uint8_t *q = p_ + 1;
  uint64_t length = tape::read_varint(q);
  return JsonArray(q, q + length);
}

inline JsonObject JsonValue::object() const noexcept {
  const uint8_t *q = p_ + 1;
  uint64_t length = tape::read_varint(q);
  return JsonObject(q, q + length);
}

} // namespace pelarune
