// Helpers for the input tests: gzip files built in memory with chosen header fields and
// trailer, and collecting every line or byte a source yields.
#pragma once

#include "input/line_reader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <optional>
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

} // namespace pelarune::input_test
