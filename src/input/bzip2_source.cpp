// Bzip2 decoding with libbzip2's streaming decoder: the magic is checked before each stream,
// and further streams are read when the magic follows, as gzip members are.
// This file stays free of Python.
#include "input/byte_source.h"

#include "check.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <optional>

#include <bzlib.h>

namespace pelarune {
namespace {

// "BZh", then the block size in hundreds of kB, '1' to '9'.
constexpr char kMagic[] = {'B', 'Z', 'h'};
constexpr size_t kMagicBytes = sizeof kMagic;
constexpr size_t kHeaderBytes = kMagicBytes + 1;

// Decoding costs far more per byte than reading; this only keeps reads few.
constexpr size_t kInputBytes = 128 * 1024;

using Step = Expected<Unit, LoadError>;

// One libbzip2 decoder, ended on every path. The library cannot reset a decoder, so each
// stream gets a new one.
class Bz2Decoder {
public:
  Bz2Decoder() = default;
  Bz2Decoder(const Bz2Decoder &) = delete;
  Bz2Decoder &operator=(const Bz2Decoder &) = delete;
  ~Bz2Decoder() { end(); }

  // False when the decoder's state cannot be allocated.
  bool restart() noexcept {
    end();
    stream_ = {};
    active_ = BZ2_bzDecompressInit(&stream_, 0, 0) == BZ_OK;
    return active_;
  }
  // Frees the decoder's block buffers (megabytes at large block sizes).
  void end() noexcept {
    if (active_)
      BZ2_bzDecompressEnd(&stream_);
    active_ = false;
  }
  bz_stream &stream() noexcept { return stream_; }

private:
  bz_stream stream_{};
  bool active_ = false;
};

[[gnu::cold, gnu::noinline]] LoadError decoder_error(int status) {
  switch (status) {
  case BZ_DATA_ERROR:
    return load_error("bzip2 data or CRC error");
  case BZ_DATA_ERROR_MAGIC:
    return load_error("not a bzip2 stream");
  case BZ_MEM_ERROR:
    throw std::bad_alloc();
  default: // BZ_PARAM_ERROR, BZ_SEQUENCE_ERROR: the decoder was misused
    panic_at("bzip2 decoder misused", __FILE__, __LINE__);
  }
}

class Bzip2Reader final : public ByteReader {
public:
  explicit Bzip2Reader(ByteSource compressed)
      : source_(std::move(compressed)), input_(new char[kInputBytes]) {}

  Expected<size_t, LoadError> read(char *out, size_t capacity) override;

private:
  enum class State : uint8_t { Header, Body, AfterStream, Done };

  Step fill();
  Step buffer_at_least(size_t n);
  Step start_stream();
  Step decode_into(char *out, size_t capacity, size_t &produced);
  Step look_for_stream();

  ByteSource source_;
  std::unique_ptr<char[]> input_;
  size_t pos_ = 0; // next unconsumed input byte
  size_t end_ = 0; // end of the filled input
  bool source_ended_ = false;
  Bz2Decoder decoder_;
  State state_ = State::Header;
  std::optional<LoadError> failure_;
};

// Keeps the unconsumed input and reads more after it; sets source_ended_ at the end.
Step Bzip2Reader::fill() {
  if (pos_ > 0) {
    std::memmove(input_.get(), input_.get() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
  }
  auto got = source_.read(input_.get() + end_, kInputBytes - end_);
  if (!got)
    return std::move(got).error();
  if (*got == 0)
    source_ended_ = true;
  end_ += *got;
  return Unit{};
}

// Reads until n bytes are buffered or the source ends.
Step Bzip2Reader::buffer_at_least(size_t n) {
  while (end_ - pos_ < n && !source_ended_)
    PELARUNE_CHECK_OK(fill());
  return Unit{};
}

// Checks the stream header before the decoder sees it, then sets up a decoder for the stream.
// A first byte that differs is not bzip2; the file ending inside a matching header is a cut.
Step Bzip2Reader::start_stream() {
  PELARUNE_CHECK_OK(buffer_at_least(kHeaderBytes));
  size_t have = std::min(end_ - pos_, kHeaderBytes);
  const char *header = input_.get() + pos_;
  if (std::memcmp(header, kMagic, std::min(have, kMagicBytes)) != 0 ||
      (have == kHeaderBytes && (header[kMagicBytes] < '1' || header[kMagicBytes] > '9')))
    return load_error("not a bzip2 stream");
  if (have < kHeaderBytes)
    return load_error("truncated bzip2 stream");
  if (!decoder_.restart())
    throw std::bad_alloc(); // its only failure with these arguments
  state_ = State::Body;
  return Unit{};
}

// Decodes into out[produced, capacity) until it is full or the stream ends (then state_ moves
// on to look for another).
Step Bzip2Reader::decode_into(char *out, size_t capacity, size_t &produced) {
  bz_stream &z = decoder_.stream();
  size_t room = std::min(capacity - produced, size_t(UINT_MAX));
  z.next_out = out + produced;
  z.avail_out = unsigned(room);
  for (;;) {
    if (pos_ == end_ && !source_ended_)
      PELARUNE_CHECK_OK(fill());
    z.next_in = input_.get() + pos_;
    z.avail_in = unsigned(end_ - pos_);
    int status = BZ2_bzDecompress(&z);
    pos_ = end_ - z.avail_in;
    if (status == BZ_STREAM_END) {
      decoder_.end();
      state_ = State::AfterStream;
      break;
    }
    if (status != BZ_OK)
      return decoder_error(status);
    if (z.avail_out == 0)
      break;
    // BZ_OK with room left means the decoder used up its input; with none to come the file was
    // cut inside the stream. see Bzip2Source.TruncationFails
    if (source_ended_ && pos_ == end_)
      return load_error("truncated bzip2 stream");
  }
  produced += room - z.avail_out;
  return Unit{};
}

// After a stream: the magic starts another one; anything else (padding, garbage, a lone "BZ"
// at the end) ends the input, as after a gzip member. see Bzip2Source.TrailingBytesAfterAStream
Step Bzip2Reader::look_for_stream() {
  PELARUNE_CHECK_OK(buffer_at_least(kMagicBytes));
  bool magic =
      end_ - pos_ >= kMagicBytes && std::memcmp(input_.get() + pos_, kMagic, kMagicBytes) == 0;
  state_ = magic ? State::Header : State::Done;
  return Unit{};
}

Expected<size_t, LoadError> Bzip2Reader::read(char *out, size_t capacity) {
  if (failure_) [[unlikely]]
    return *failure_;
  PELARUNE_CHECK(capacity > 0, "bzip2 read without room");
  size_t produced = 0;
  while (produced == 0 && state_ != State::Done) {
    Step step = state_ == State::Header ? start_stream()
                : state_ == State::Body ? decode_into(out, capacity, produced)
                                        : look_for_stream();
    if (!step) [[unlikely]] {
      decoder_.end();
      failure_ = step.error(); // every later read fails alike
      return std::move(step).error();
    }
  }
  return produced;
}

} // namespace

ByteSource ByteSource::bzip2(ByteSource compressed) {
  return ByteSource(std::make_unique<Bzip2Reader>(std::move(compressed)));
}

} // namespace pelarune
