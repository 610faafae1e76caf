// Gzip decoding: our own member framing around zlib's raw inflate, with the header CRC, the
// trailer CRC-32 and ISIZE checked, and further members read when the magic follows.
// This file stays free of Python.
#include "input/byte_source.h"

#include "check.h"

#include <climits>
#include <cstring>
#include <new>
#include <optional>

#include <zlib.h>

namespace pelarune {
namespace {

constexpr uint8_t kId1 = 0x1F;
constexpr uint8_t kId2 = 0x8B;
constexpr uint8_t kMethodDeflate = 8;
constexpr uint8_t kFlagHeaderCrc = 0x02;
constexpr uint8_t kFlagExtra = 0x04;
constexpr uint8_t kFlagName = 0x08;
constexpr uint8_t kFlagComment = 0x10;
constexpr uint8_t kReservedFlags = 0xE0;

// Between the file and zlib; large enough that reads stay few, small enough to stay in cache.
constexpr size_t kInputBytes = 32 * 1024;

// A framing step: done, or why the input cannot be decoded.
using Step = Expected<Unit, LoadError>;

uint32_t load_le32(const uint8_t *p) noexcept {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

class GzipReader final : public ByteReader {
public:
  explicit GzipReader(ByteSource compressed)
      : source_(std::move(compressed)), input_(new uint8_t[kInputBytes]) {
    if (inflateInit2(&z_, -15) != Z_OK)
      throw std::bad_alloc(); // its only failure with these arguments
    inflating_ = true;
  }
  GzipReader(const GzipReader &) = delete;
  GzipReader &operator=(const GzipReader &) = delete;
  ~GzipReader() override {
    if (inflating_)
      inflateEnd(&z_);
  }

  Expected<size_t, LoadError> read(char *out, size_t capacity) override;

private:
  enum class State : uint8_t { Header, Body, AfterMember, Done };

  Step fill();
  Step framing_byte(uint8_t &byte);
  Step read_header();
  Step inflate_into(char *out, size_t capacity, size_t &produced);
  Step read_trailer();
  Step look_for_member();

  ByteSource source_;
  std::unique_ptr<uint8_t[]> input_;
  size_t pos_ = 0; // next unconsumed input byte
  size_t end_ = 0; // end of the filled input
  bool source_ended_ = false;
  z_stream z_{};
  bool inflating_ = false;
  State state_ = State::Header;
  uLong header_crc_ = 0;
  uLong crc_ = 0;
  uint32_t size_ = 0; // decompressed bytes of the member, modulo 2^32 like ISIZE
  std::optional<LoadError> failure_;
};

// Keeps the unconsumed input and reads more after it; sets source_ended_ at the end.
Step GzipReader::fill() {
  if (pos_ > 0) {
    std::memmove(input_.get(), input_.get() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
  }
  if (end_ == kInputBytes)
    return Unit{};
  auto got = source_.read(reinterpret_cast<char *>(input_.get()) + end_, kInputBytes - end_);
  if (!got)
    return std::move(got).error();
  if (*got == 0)
    source_ended_ = true;
  end_ += *got;
  return Unit{};
}

// One header or trailer byte, folded into header_crc_ (only the header checks it). The file
// ending here is unexpected.
Step GzipReader::framing_byte(uint8_t &byte) {
  if (pos_ == end_) {
    if (!source_ended_)
      PELARUNE_CHECK_OK(fill());
    if (pos_ == end_)
      return load_error("unexpected end of file");
  }
  byte = input_[pos_++];
  header_crc_ = crc32(header_crc_, &byte, 1);
  return Unit{};
}

// A member's header, then set up for its body.
Step GzipReader::read_header() {
  header_crc_ = crc32(0, nullptr, 0);
  uint8_t fixed[10];
  for (uint8_t &byte : fixed)
    PELARUNE_CHECK_OK(framing_byte(byte));
  // All ten bytes come first, so a short text file under a gzip name ends as unexpected EOF.
  if (fixed[0] != kId1 || fixed[1] != kId2 || fixed[2] != kMethodDeflate ||
      (fixed[3] & kReservedFlags) != 0)
    return load_error("invalid gzip header");
  uint8_t flags = fixed[3];
  uint8_t byte = 0;
  if (flags & kFlagExtra) {
    uint8_t length_bytes[2];
    for (uint8_t &b : length_bytes)
      PELARUNE_CHECK_OK(framing_byte(b));
    for (size_t left = size_t(length_bytes[0]) | size_t(length_bytes[1]) << 8; left > 0; --left)
      PELARUNE_CHECK_OK(framing_byte(byte));
  }
  for (uint8_t field : {kFlagName, kFlagComment}) {
    if (!(flags & field))
      continue;
    size_t length = 0;
    do {
      PELARUNE_CHECK_OK(framing_byte(byte));
      if (byte != 0 && ++length > kMaxGzipFieldBytes)
        return load_error("gzip header field too long");
    } while (byte != 0);
  }
  if (flags & kFlagHeaderCrc) {
    uint16_t expected = uint16_t(header_crc_ & 0xFFFF);
    uint8_t stored[2];
    for (uint8_t &b : stored)
      PELARUNE_CHECK_OK(framing_byte(b));
    if ((uint16_t(stored[0]) | uint16_t(stored[1] << 8)) != expected)
      return load_error("gzip header checksum mismatch");
  }
  if (inflateReset(&z_) != Z_OK)
    return load_error("corrupt deflate stream");
  crc_ = crc32(0, nullptr, 0);
  size_ = 0;
  state_ = State::Body;
  return Unit{};
}

// Inflates into out[produced, capacity) until it is full or the member's DEFLATE data ends
// (then state_ moves on to the trailer).
Step GzipReader::inflate_into(char *out, size_t capacity, size_t &produced) {
  size_t room = std::min(capacity - produced, size_t(UINT_MAX));
  auto *start = reinterpret_cast<Bytef *>(out + produced);
  z_.next_out = start;
  z_.avail_out = uInt(room);
  int status = Z_OK;
  while (z_.avail_out > 0) {
    if (pos_ == end_ && !source_ended_)
      PELARUNE_CHECK_OK(fill());
    z_.next_in = input_.get() + pos_;
    z_.avail_in = uInt(end_ - pos_);
    status = inflate(&z_, Z_NO_FLUSH);
    pos_ = end_ - z_.avail_in;
    if (status == Z_STREAM_END)
      break;
    if (status == Z_OK)
      continue;
    // No progress: without more input the file was cut inside the DEFLATE data.
    // see GzipFraming.TruncationAtEveryLengthFails
    if (status == Z_BUF_ERROR && pos_ == end_) {
      if (source_ended_)
        return load_error("unexpected end of file");
      continue;
    }
    if (status == Z_MEM_ERROR)
      throw std::bad_alloc();
    return load_error("corrupt deflate stream");
  }
  size_t made = room - z_.avail_out;
  crc_ = crc32(crc_, start, uInt(made));
  size_ += uint32_t(made);
  produced += made;
  if (status == Z_STREAM_END)
    return read_trailer();
  return Unit{};
}

Step GzipReader::read_trailer() {
  uint8_t trailer[8];
  for (uint8_t &byte : trailer)
    PELARUNE_CHECK_OK(framing_byte(byte));
  if (load_le32(trailer) != uint32_t(crc_) || load_le32(trailer + 4) != size_)
    return load_error("gzip checksum mismatch");
  state_ = State::AfterMember;
  return Unit{};
}

// After a member: the gzip magic starts another one; anything else (padding, garbage, a lone
// 0x1F at the end) ends the input. see GzipFraming.TrailingBytesAfterAMember
Step GzipReader::look_for_member() {
  while (end_ - pos_ < 2 && !source_ended_)
    PELARUNE_CHECK_OK(fill());
  bool magic = end_ - pos_ >= 2 && input_[pos_] == kId1 && input_[pos_ + 1] == kId2;
  state_ = magic ? State::Header : State::Done;
  return Unit{};
}

Expected<size_t, LoadError> GzipReader::read(char *out, size_t capacity) {
  if (failure_) [[unlikely]]
    return *failure_;
  PELARUNE_CHECK(capacity > 0, "gzip read without room");
  size_t produced = 0;
  while (produced == 0 && state_ != State::Done) {
    Step step = state_ == State::Header ? read_header()
                : state_ == State::Body ? inflate_into(out, capacity, produced)
                                        : look_for_member();
    if (!step) [[unlikely]] {
      failure_ = step.error(); // every later read fails alike
      return std::move(step).error();
    }
  }
  return produced;
}

} // namespace

ByteSource ByteSource::gzip(ByteSource compressed) {
  return ByteSource(std::make_unique<GzipReader>(std::move(compressed)));
}

} // namespace pelarune
