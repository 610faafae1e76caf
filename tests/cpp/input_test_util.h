// Helpers for the input tests: gzip files built in memory with chosen header fields and
// trailer, bzip2 streams, and collecting every line or byte a source yields.
#pragma once

#include "input/line_reader.h"

#include <bzlib.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace pelarune::input_test {

inline std::string raw_deflate(std::string_view data) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, uLong(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
  z.avail_in = uInt(data.size());
  z.next_out = reinterpret_cast<Bytef *>(out.data());
  z.avail_out = uInt(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

inline void put_le(std::string &out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out.push_back(char(uint8_t(value >> (8 * i))));
}

struct GzipMember {
  std::string data;
  std::optional<std::string> extra = {}, name = {}, comment = {}; // set ones get their flag
  bool header_crc = false;
  uint32_t size_add = 0;   // nonzero spoils ISIZE
  uint8_t extra_flags = 0; // OR-ed into the flag byte
};

inline std::string gzip_member(const GzipMember &m) {
  int flags = m.extra_flags | (m.extra ? 0x04 : 0) | (m.name ? 0x08 : 0) | (m.comment ? 0x10 : 0) |
              (m.header_crc ? 0x02 : 0);
  std::string out = {char(0x1F), char(0x8B), 8, char(flags), 0, 0, 0, 0, 0, 3};
  if (m.extra) {
    put_le(out, uint32_t(m.extra->size()), 2);
    out += *m.extra;
  }
  for (const auto *field : {&m.name, &m.comment})
    if (*field)
      out += **field + '\0';
  if (m.header_crc)
    put_le(out, uint32_t(crc32(0, reinterpret_cast<const Bytef *>(out.data()), uInt(out.size()))),
           2);
  out += raw_deflate(m.data);
  uLong crc = crc32(0, reinterpret_cast<const Bytef *>(m.data.data()), uInt(m.data.size()));
  put_le(out, uint32_t(crc), 4);
  put_le(out, uint32_t(m.data.size()) + m.size_add, 4);
  return out;
}

inline std::string gzip_for_tests(std::string_view data) {
  return gzip_member({.data = std::string(data)});
}

// `data` as one bzip2 stream, with blocks of `level` hundred kB.
inline std::string bzip2_stream(std::string_view data, int level = 1) {
  std::string out(data.size() + data.size() / 100 + 600, '\0');
  auto size = unsigned(out.size());
  EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char *>(data.data()),
                                     unsigned(data.size()), level, 0, 0),
            BZ_OK);
  out.resize(size);
  return out;
}

struct Lines {
  std::vector<std::string> lines;
  std::optional<LoadError> error;
};

inline Lines read_lines(StreamLineReader &reader) {
  Lines out;
  MutableLine line;
  for (;;) {
    auto more = reader.next_line(line);
    if (!more)
      out.error = more.error();
    if (!more || !*more)
      return out;
    line.data[line.size] = '\0'; // the promised writable byte
    out.lines.emplace_back(line.data, line.size);
  }
}

inline Lines read_lines(ByteSource source, size_t buffer_size = StreamLineReader::kBufferSize) {
  StreamLineReader reader(std::move(source), buffer_size);
  return read_lines(reader);
}

// All bytes of a source, read through a small buffer so reads end at many places.
inline std::pair<std::string, std::optional<LoadError>> read_bytes(ByteSource source,
                                                                   size_t chunk = 7) {
  std::string out;
  std::vector<char> buffer(chunk);
  for (;;) {
    auto got = source.read(buffer.data(), chunk);
    if (!got)
      return {out, got.error()};
    if (*got == 0)
      return {out, std::nullopt};
    out.append(buffer.data(), *got);
  }
}

// Hands out at most `chunk` bytes per read.
class ChunkedReader final : public ByteReader {
public:
  ChunkedReader(std::string bytes, size_t chunk) : bytes_(std::move(bytes)), chunk_(chunk) {}
  Expected<size_t, LoadError> read(char *out, size_t capacity) override {
    size_t n = std::min({capacity, chunk_, bytes_.size() - at_});
    bytes_.copy(out, n, at_);
    at_ += n;
    return n;
  }

private:
  std::string bytes_;
  size_t chunk_;
  size_t at_ = 0;
};

using Decoded = std::pair<std::string, std::optional<LoadError>>;

// A decoding source over another, such as ByteSource::gzip.
using Decoder = ByteSource (*)(ByteSource);

// Decodes `file` twice, read a byte at a time and in one piece: both ways must give the same
// outcome.
inline Decoded decode_both_ways(Decoder decoder, const std::string &file) {
  auto decode = [&](size_t chunk) {
    Decoded got = read_bytes(decoder(ByteSource(std::make_unique<ChunkedReader>(file, chunk))));
    if (got.second)
      got.first.clear(); // what came before a failure depends on where reads end
    return got;
  };
  Decoded trickled = decode(1); // every header, trailer and magic check meets a refill
  Decoded whole = decode(file.size() + 1);
  EXPECT_TRUE(trickled == whole) << "the outcome depends on where reads end";
  return whole;
}

struct FlipOutcomes {
  size_t failed = 0;
  size_t same = 0;
  std::set<std::string> errors;
};

// Flips each bit of every `stride`th byte of file[begin, end) in turn: each decode through
// `decoder` fails or gives `text` unchanged.
inline FlipOutcomes flip_bits(Decoder decoder, const std::string &file, const std::string &text,
                              size_t begin, size_t end, size_t stride = 1) {
  FlipOutcomes outcomes;
  for (size_t at = begin; at < end; at += stride)
    for (int bit = 0; bit < 8; ++bit) {
      std::string damaged = file;
      damaged[at] = char(damaged[at] ^ (1 << bit));
      auto [data, error] = decode_both_ways(decoder, damaged);
      if (error) {
        ++outcomes.failed;
        outcomes.errors.insert(error->message);
        continue;
      }
      EXPECT_EQ(data, text) << "byte " << at << " bit " << bit;
      ++outcomes.same;
    }
  return outcomes;
}

// Some repetitive and some less compressible text, several deflate blocks and two 100 kB bzip2
// blocks long.
inline std::string sample_text() {
  std::string text;
  for (int i = 0; i < 5000; ++i)
    text += "{\"pt\":" + std::to_string(1650392673420 + i * 7919 % 1000) + ",\"mc\":[]}\n";
  return text;
}

// A few stream lines, enough text for a few Huffman codes.
inline const std::string kText =
    R"({"op":"mcm","clk":"AAAA","pt":1650392673420,"mc":[{"id":"1.197931750","img":true,)"
    R"("marketDefinition":{"status":"OPEN","inPlay":false,"runners":[{"id":41180167,)"
    R"("sortPriority":1,"status":"ACTIVE"},{"id":41180168,"sortPriority":2,"status":"ACTIVE"}]}}]})"
    "\n"
    R"({"op":"mcm","pt":1650392673520,"mc":[{"id":"1.197931750","rc":[{"atb":[[2.5,10.5],[2.44,3]],)"
    R"("ltp":2.5,"id":41180167}]}]})"
    "\r\n\n";

} // namespace pelarune::input_test
