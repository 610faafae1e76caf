// Load benchmark: our loader on a plain file and its gzip and bzip2 twins, against RapidJSON
// alone over the same lines, zlib's inflate alone over the same gzip file and `bzip2 -dc` over
// the same bzip2 file; and the memory the loaded records hold against the text of the lines
// they came from.
//
//   load_bench stream.json stream.json.gz stream.json.bz2 [repetitions]
#include "input/loader.h"

#include <rapidjson/document.h>
#include <rapidjson/reader.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

using namespace pelarune;

namespace {

std::string read_file(const char *path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(2);
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return std::move(bytes).str();
}

// Best wall time of `repetitions` runs, in seconds.
double best_of(int repetitions, const std::function<void()> &run) {
  double best = 1e300;
  for (int i = 0; i < repetitions; ++i) {
    auto start = std::chrono::steady_clock::now();
    run();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

// The lines of a text, terminators removed, as the loader would see them.
std::vector<std::string_view> split_lines(const std::string &text) {
  std::vector<std::string_view> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t lf = text.find('\n', at);
    size_t stop = lf == std::string::npos ? text.size() : lf;
    size_t end = stop > at && text[stop - 1] == '\r' ? stop - 1 : stop;
    lines.emplace_back(text.data() + at, end - at);
    at = stop + 1;
  }
  return lines;
}

// RapidJSON's DOM, the way a fast program uses it: pooled allocators cleared per line.
size_t parse_documents(const std::vector<std::string_view> &lines) {
  static char value_buffer[1 << 16], parse_buffer[1 << 14];
  rapidjson::MemoryPoolAllocator<> value_allocator(value_buffer, sizeof(value_buffer));
  rapidjson::MemoryPoolAllocator<> parse_allocator(parse_buffer, sizeof(parse_buffer));
  size_t objects = 0;
  for (std::string_view line : lines) {
    using PooledDocument =
        rapidjson::GenericDocument<rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<>,
                                   rapidjson::MemoryPoolAllocator<>>;
    PooledDocument document(&value_allocator, sizeof(parse_buffer), &parse_allocator);
    document.Parse(line.data(), line.size());
    objects += document.IsObject();
    value_allocator.Clear();
    parse_allocator.Clear();
  }
  return objects;
}

size_t parse_sax(const std::vector<std::string_view> &lines) {
  rapidjson::Reader reader;
  rapidjson::BaseReaderHandler<> nothing;
  size_t parsed = 0;
  for (std::string_view line : lines) {
    rapidjson::MemoryStream stream(line.data(), line.size());
    parsed += !reader.Parse(stream, nothing).IsError();
  }
  return parsed;
}

size_t inflate_all(const std::string &compressed, std::vector<unsigned char> &out) {
  z_stream z{};
  if (inflateInit2(&z, 16 + 15) != Z_OK)
    std::abort();
  z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(compressed.data()));
  z.avail_in = uInt(compressed.size());
  size_t total = 0;
  int status = Z_OK;
  while (status == Z_OK) {
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    status = inflate(&z, Z_NO_FLUSH);
    total += out.size() - z.avail_out;
  }
  if (status != Z_STREAM_END)
    std::abort();
  inflateEnd(&z);
  return total;
}

void require_ok(const LoadResult &result, const char *path) {
  if (!result) {
    std::fprintf(stderr, "%s: %s\n", path, result.error().message.c_str());
    std::exit(1);
  }
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s PLAIN_FILE GZIP_FILE BZIP2_FILE [REPETITIONS]\n", argv[0]);
    return 2;
  }
  const char *plain_path = argv[1];
  const char *gzip_path = argv[2];
  const char *bzip2_path = argv[3];
  int repetitions = argc > 4 ? std::atoi(argv[4]) : 3;

  std::string text = read_file(plain_path);
  std::string compressed = read_file(gzip_path);
  std::vector<std::string_view> lines = split_lines(text);
  double text_mb = double(text.size()) / 1e6;

  LoadStats stats;
  size_t held = 0, records = 0;
  {
    LoadResult result = load_stream_messages(plain_path, &stats);
    require_ok(result, plain_path);
    held = result->held_bytes();
    records = result->size();
  }
  auto load = [&](const char *path) {
    return best_of(repetitions, [&] { require_ok(load_stream_messages(path), path); });
  };
  double plain_s = load(plain_path);
  double gzip_s = load(gzip_path);
  double bzip2_s = load(bzip2_path);
  size_t sink = 0;
  double dom_s = best_of(repetitions, [&] { sink += parse_documents(lines); });
  double sax_s = best_of(repetitions, [&] { sink += parse_sax(lines); });
  std::vector<unsigned char> out(size_t(1) << 20);
  double inflate_s = best_of(repetitions, [&] {
    if (inflate_all(compressed, out) != text.size())
      std::abort();
  });
  // The decompressor's own command, started and timed like any other step.
  std::string bunzip = "bzip2 -dc '" + std::string(bzip2_path) + "' > /dev/null";
  double bunzip_s = best_of(repetitions, [&] {
    if (std::system(bunzip.c_str()) != 0)
      std::abort();
  });

  std::printf("input: %s, %.1f MB of text, %zu lines, %zu kept (%zu records)\n", plain_path,
              text_mb, stats.lines, stats.kept_lines, records);
  std::printf("       %s, %.1f MB compressed; best of %d runs\n", gzip_path,
              double(compressed.size()) / 1e6, repetitions);
  std::printf("load plain          %8.1f MB/s  %7.3f s\n", text_mb / plain_s, plain_s);
  std::printf("load gzip           %8.1f MB/s  %7.3f s\n", text_mb / gzip_s, gzip_s);
  std::printf("load bzip2          %8.1f MB/s  %7.3f s\n", text_mb / bzip2_s, bzip2_s);
  std::printf("rapidjson Document  %8.1f MB/s  %7.3f s\n", text_mb / dom_s, dom_s);
  std::printf("rapidjson SAX (nop) %8.1f MB/s  %7.3f s\n", text_mb / sax_s, sax_s);
  std::printf("zlib inflate        %8.1f MB/s  %7.3f s\n", text_mb / inflate_s, inflate_s);
  std::printf("bzip2 -dc           %8.1f MB/s  %7.3f s\n", text_mb / bunzip_s, bunzip_s);
  std::printf("held %zu bytes for %zu bytes of kept lines\n", held, stats.kept_line_bytes);
  std::printf("plain load / Document parse throughput: %.2f (target >= 0.5)\n", dom_s / plain_s);
  std::printf("plain load / SAX parse throughput:      %.2f\n", sax_s / plain_s);
  std::printf("gzip load / (inflate + plain load):     %.2f (target <= 1.2)\n",
              gzip_s / (inflate_s + plain_s));
  std::printf("bzip2 load / (bzip2 -dc + plain load):  %.2f (target <= 1.1)\n",
              bzip2_s / (bunzip_s + plain_s));
  std::printf("held memory / kept text:                %.2f (target <= 2, aim <= 1)\n",
              double(held) / double(stats.kept_line_bytes));
  return sink == 0 ? 1 : 0;
}
