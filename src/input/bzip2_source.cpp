// Bzip2 decoding with libbzip2's streaming decoder: the magic is checked before each stream,
// and further streams are read when the magic follows, as gzip members are.
// This file stays free of Python.
#include "input/framed_reader.h"

#include "check.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include <bzlib.h>

namespace pelarune {
namespace {

// "BZh", then the block size in hundreds of kB, '1' to '9'.
constexpr char kMagic[] = {'B', 'Z', 'h'};
constexpr size_t kMagicBytes = sizeof kMagic;
constexpr size_t kHeaderBytes = kMagicBytes + 1;

// Decoding costs far more per byte than reading; this only keeps reads few.
constexpr size_t kInputBytes = 128 * 1024;

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

class Bzip2Reader final : public FramedReader {
public:
  explicit Bzip2Reader(ByteSource compressed)
      : FramedReader(std::string_view(kMagic, kMagicBytes)),
        input_(std::move(compressed), kInputBytes) {}

private:
  Step read_header() override;
  Step decode_into(char *out, size_t capacity, size_t &produced) override;
  Expected<std::string_view, LoadError> peek(size_t n) override;
  void failed() noexcept override { decoder_.end(); }

  InputBuffer input_;
  Bz2Decoder decoder_;
};

// Checks the stream header before the decoder sees it, then sets up a decoder for the stream.
// A first byte that differs is not bzip2; the file ending inside a matching header is a cut.
Step Bzip2Reader::read_header() {
  PELARUNE_CHECK_OK(input_.at_least(kHeaderBytes));
  size_t have = std::min(input_.size(), kHeaderBytes);
  const char *header = input_.data();
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
    PELARUNE_CHECK_OK(input_.at_least(1));
    size_t in_before = input_.size();
    z.next_in = const_cast<char *>(input_.data());
    z.avail_in = unsigned(in_before);
    int status = BZ2_bzDecompress(&z);
    input_.keep_last(z.avail_in);
    if (status == BZ_STREAM_END) {
      decoder_.end();
      state_ = State::AfterUnit;
      break;
    }
    if (status != BZ_OK)
      return decoder_error(status);
    if (z.avail_out == 0)
      break;
    // BZ_OK with room left means the decoder used up its input; with none to come the file was
    // cut inside the stream. see Bzip2Source.TruncationFails
    if (input_.ended() && input_.size() == 0)
      return load_error("truncated bzip2 stream");
  }
  produced += room - z.avail_out;
  return Unit{};
}

// Bytes after a stream are looked at for another. see Bzip2Source.TrailingBytesAfterAStream
Expected<std::string_view, LoadError> Bzip2Reader::peek(size_t n) {
  PELARUNE_CHECK_OK(input_.at_least(n));
  return std::string_view(input_.data(), std::min(n, input_.size()));
}

} // namespace

ByteSource ByteSource::bzip2(ByteSource compressed) {
  return ByteSource(std::make_unique<Bzip2Reader>(std::move(compressed)));
}

} // namespace pelarune
