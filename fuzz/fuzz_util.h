// Helpers shared by the fuzz targets: gzip framing of arbitrary bytes with zlib, and bzip2
// streams with libbzip2.
#pragma once

#include <bzlib.h>
#include <zlib.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace pelarune::fuzz {

// `data` as one gzip member, as gzip(1) would write it.
inline std::string gzip_member(std::string_view data) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    std::abort();
  std::string out(deflateBound(&z, uLong(data.size())) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
  z.avail_in = uInt(data.size());
  z.next_out = reinterpret_cast<Bytef *>(out.data());
  z.avail_out = uInt(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END)
    std::abort();
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// `data` as one bzip2 stream of 100 kB blocks, the smallest: compressing costs less.
inline std::string bzip2_stream(std::string_view data) {
  std::string out(data.size() + data.size() / 100 + 600, '\0');
  auto size = unsigned(out.size());
  if (BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char *>(data.data()),
                               unsigned(data.size()), 1, 0, 0) != BZ_OK)
    std::abort();
  out.resize(size);
  return out;
}

} // namespace pelarune::fuzz
