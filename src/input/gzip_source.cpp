// Gzip decoding: our own member framing around ISA-L's raw inflate (igzip, several times
// zlib's speed), with the header CRC, the trailer CRC-32 and ISIZE checked, and further members
// read when the magic follows. This file stays free of Python.
#include "input/framed_reader.h"

#include "check.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
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

// Between the file and the decoder; large enough that reads stay few, small enough to stay in
// cache.
constexpr size_t kInputBytes = 32 * 1024;
// The decoder reads ahead up to 8 bytes into its bit buffer; those past the DEFLATE data go
// back in front of the unread input (see put_back_read_ahead), so the buffer has this much room
// before it and after it.
constexpr size_t kPutBackBytes = 8;

uint32_t load_le32(const uint8_t *p) noexcept {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

class GzipReader final : public FramedReader {
public:
  explicit GzipReader(ByteSource compressed)
      : FramedReader(std::string_view("\x1F\x8B", 2)),
        input_(std::move(compressed), kInputBytes, kPutBackBytes), inflate_(new inflate_state) {
    isal_inflate_init(inflate_.get());
  }
  GzipReader(const GzipReader &) = delete;
  GzipReader &operator=(const GzipReader &) = delete;

private:
  Step framing_byte(uint8_t &byte);
  Step read_header() override;
  Step decode_into(char *out, size_t capacity, size_t &produced) override;
  void put_back_read_ahead();
  Step read_trailer();
  Expected<std::string_view, LoadError> peek(size_t n) override;

  InputBuffer input_;
  std::unique_ptr<inflate_state> inflate_; // large (tens of KiB): kept off the stack
  uLong header_crc_ = 0;
  uint32_t crc_ = 0;
  uint32_t size_ = 0; // decompressed bytes of the member, modulo 2^32 like ISIZE
};

// One header or trailer byte, folded into header_crc_ (only the header checks it). The file
// ending here is unexpected.
Step GzipReader::framing_byte(uint8_t &byte) {
  PELARUNE_CHECK_OK(input_.at_least(1));
  if (input_.size() == 0)
    return load_error("unexpected end of file");
  byte = uint8_t(*input_.data());
  input_.consume(1);
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
  isal_inflate_reset(inflate_.get()); // raw DEFLATE: the framing is ours
  crc_ = 0;
  size_ = 0;
  state_ = State::Body;
  return Unit{};
}

// Inflates into out[produced, capacity) until it is full or the member's DEFLATE data ends
// (then state_ moves on to the trailer).
Step GzipReader::decode_into(char *out, size_t capacity, size_t &produced) {
  inflate_state &state = *inflate_;
  size_t room = std::min(capacity - produced, size_t(UINT32_MAX));
  auto *start = reinterpret_cast<uint8_t *>(out + produced);
  state.next_out = start;
  state.avail_out = uint32_t(room);
  bool finished = false;
  while (state.avail_out > 0) {
    PELARUNE_CHECK_OK(input_.at_least(1));
    size_t in_before = input_.size();
    state.next_in = reinterpret_cast<uint8_t *>(const_cast<char *>(input_.data()));
    state.avail_in = uint32_t(in_before);
    uint32_t out_before = state.avail_out;
    int status = isal_inflate(&state);
    // A failed inflate can report more input left than it was given, counting bytes it had
    // read ahead; the reader fails for good, so the buffer is not touched.
    if (status != ISAL_DECOMP_OK) // the raw mode reports no other success
      return load_error("corrupt deflate stream");
    bool took_input = state.avail_in != in_before;
    input_.keep_last(state.avail_in);
    if (state.block_state == ISAL_BLOCK_FINISH) {
      finished = true;
      break;
    }
    if (took_input || state.avail_out != out_before)
      continue;
    // No progress: the decoder needs more input than the buffer holds.
    size_t unread = input_.size();
    if (!input_.ended())
      PELARUNE_CHECK_OK(input_.fill());
    if (input_.size() == unread) {
      // Without more input the file was cut inside the DEFLATE data.
      // see GzipFraming.TruncationAtEveryLengthFails
      return load_error(input_.ended() ? "unexpected end of file" : "corrupt deflate stream");
    }
  }
  size_t made = room - state.avail_out;
  crc_ = crc32_gzip_refl(crc_, start, made);
  size_ += uint32_t(made);
  produced += made;
  if (finished) {
    put_back_read_ahead();
    return read_trailer();
  }
  return Unit{};
}

// The decoder's bit buffer may hold whole bytes past the end of the DEFLATE data: the trailer
// and what follows. They go back in front of the unread input, rebuilt from the bit buffer
// since a refill may already have dropped them from ours.
void GzipReader::put_back_read_ahead() {
  inflate_state &state = *inflate_;
  PELARUNE_CHECK(state.tmp_in_size == 0 && state.read_in_length >= 0 &&
                     size_t(state.read_in_length) / 8 <= kPutBackBytes,
                 "deflate read-ahead out of range");
  size_t whole = size_t(state.read_in_length) / 8;
  uint64_t bits = state.read_in >> (state.read_in_length % 8); // the rest of that byte is padding
  char *at = input_.put_back(whole);
  for (size_t i = 0; i < whole; ++i)
    at[i] = char(uint8_t(bits >> (8 * i)));
  state.read_in = 0;
  state.read_in_length = 0;
}

Step GzipReader::read_trailer() {
  uint8_t trailer[8];
  for (uint8_t &byte : trailer)
    PELARUNE_CHECK_OK(framing_byte(byte));
  if (load_le32(trailer) != uint32_t(crc_) || load_le32(trailer + 4) != size_)
    return load_error("gzip checksum mismatch");
  state_ = State::AfterUnit;
  return Unit{};
}

// Bytes after a member are looked at for another. see GzipFraming.TrailingBytesAfterAMember
Expected<std::string_view, LoadError> GzipReader::peek(size_t n) {
  PELARUNE_CHECK_OK(input_.at_least(n));
  return std::string_view(input_.data(), std::min(n, input_.size()));
}

} // namespace

ByteSource ByteSource::gzip(ByteSource compressed) {
  return ByteSource(std::make_unique<GzipReader>(std::move(compressed)));
}

} // namespace pelarune
