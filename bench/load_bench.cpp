// Load benchmark: our loader on a plain file and its gzip and bzip2 twins, against RapidJSON
// alone over the same lines (and simdjson, where it is installed), the inflate alone over the
// same gzip file, zlib's and ours, and `bzip2 -dc` over the same bzip2 file; the memory the
// loaded records hold against the text of the lines they came from; and the peak RSS of a load
// in a process of its own.
//
//   load_bench stream.json stream.json.gz stream.json.bz2 [repetitions]
//   load_bench --peak-rss FILE     loads FILE once and prints its memory figures
#include "input/loader.h"

#include <rapidjson/document.h>
#include <rapidjson/reader.h>
#include <zlib.h>
#ifdef PELARUNE_WITH_SIMDJSON
#include <simdjson.h>
#endif

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>
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

// Wall times, in seconds, of tasks run in turn for a number of rounds: on a shared machine a
// burst of other work then slows one round of every task, not all runs of one task. Each
// task's best time is written to *best once run() returns; all times stay for ratios taken
// within one round, where neighbouring tasks met the same load.
class Rounds {
public:
  size_t add(double *best, std::function<void()> task) {
    *best = 1e300;
    tasks_.push_back({best, std::move(task), {}});
    return tasks_.size() - 1;
  }
  void run(int rounds) {
    for (int i = 0; i < rounds; ++i)
      for (Task &task : tasks_) {
        auto start = std::chrono::steady_clock::now();
        task.run();
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        task.times.push_back(took.count());
        *task.best = std::min(*task.best, took.count());
      }
  }
  const std::vector<double> &times(size_t task) const { return tasks_[task].times; }

private:
  struct Task {
    double *best;
    std::function<void()> run;
    std::vector<double> times;
  };
  std::vector<Task> tasks_;
};

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

// The reference parse: RapidJSON's SAX reader with a do-nothing handler, each line parsed in
// place from a copy, with UTF-8 validation on and numbers as text.
size_t parse_reference(const std::vector<std::string_view> &lines) {
  constexpr unsigned kFlags = rapidjson::kParseInsituFlag | rapidjson::kParseValidateEncodingFlag |
                              rapidjson::kParseNumbersAsStringsFlag;
  rapidjson::Reader reader;
  rapidjson::BaseReaderHandler<> nothing;
  std::vector<char> copy;
  size_t parsed = 0;
  for (std::string_view line : lines) {
    copy.assign(line.begin(), line.end());
    copy.push_back('\0');
    rapidjson::InsituStringStream stream(copy.data());
    parsed += !reader.Parse<kFlags>(stream, nothing).IsError();
  }
  return parsed;
}

#ifdef PELARUNE_WITH_SIMDJSON
// simdjson's DOM parser over each line, copied into a padded buffer as it requires.
size_t parse_simdjson(const std::vector<std::string_view> &lines) {
  simdjson::dom::parser parser;
  std::vector<char> copy;
  size_t parsed = 0;
  for (std::string_view line : lines) {
    copy.resize(line.size() + simdjson::SIMDJSON_PADDING);
    std::memcpy(copy.data(), line.data(), line.size());
    parsed += parser.parse(copy.data(), line.size(), false).error() == simdjson::SUCCESS;
  }
  return parsed;
}

// simdjson's document stream over the whole text at once, its fastest way through such a file.
size_t parse_simdjson_many(const simdjson::padded_string &text) {
  simdjson::dom::parser parser;
  simdjson::dom::document_stream documents;
  if (parser.parse_many(text).get(documents) != simdjson::SUCCESS)
    std::abort();
  size_t parsed = 0;
  for (auto document : documents)
    parsed += document.error() == simdjson::SUCCESS;
  return parsed;
}
#endif

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

// Our gzip decoder alone: framing, ISA-L's inflate and the CRC-32, into a 1 MiB buffer.
size_t gunzip_all(const std::string &compressed, std::vector<unsigned char> &out) {
  ByteSource source = ByteSource::gzip(std::string_view(compressed));
  size_t total = 0;
  for (;;) {
    auto got = source.read(reinterpret_cast<char *>(out.data()), out.size());
    if (!got)
      std::abort();
    if (*got == 0)
      return total;
    total += *got;
  }
}

void require_ok(const LoadResult &result, const char *path) {
  if (!result) {
    std::fprintf(stderr, "%s: %s\n", path, result.error().message.c_str());
    std::exit(1);
  }
}

size_t peak_rss_bytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return size_t(usage.ru_maxrss) * 1024; // Linux counts KiB
}

// The --peak-rss mode: one load in this fresh process. Prints the peak RSS before the load,
// after it, and the bytes the records hold.
int report_peak_rss(const char *path) {
  size_t before = peak_rss_bytes();
  LoadResult result = load_stream_messages(path);
  require_ok(result, path);
  std::printf("%zu %zu %zu\n", before, peak_rss_bytes(), result->held_bytes());
  return 0;
}

struct PeakRss {
  size_t before = 0, peak = 0, held = 0;
};

// Runs this program in --peak-rss mode on `path`, so the load starts from a fresh heap.
PeakRss measure_peak_rss(const char *self, const char *path) {
  std::string command = std::string("'") + self + "' --peak-rss '" + path + "'";
  PeakRss figures;
  FILE *child = popen(command.c_str(), "r");
  if (!child ||
      std::fscanf(child, "%zu %zu %zu", &figures.before, &figures.peak, &figures.held) != 3 ||
      pclose(child) != 0) {
    std::fprintf(stderr, "peak RSS run failed: %s\n", command.c_str());
    std::exit(1);
  }
  return figures;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n == 0 ? 0.0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::strcmp(argv[1], "--peak-rss") == 0)
    return report_peak_rss(argv[2]);
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
  double plain_s, gzip_s, dom_s, sax_s, reference_s, zlib_s, inflate_s;
  size_t sink = 0;
  std::vector<unsigned char> out(size_t(1) << 20);
  Rounds rounds;
  auto load = [&](const char *path) { require_ok(load_stream_messages(path), path); };
  // Neighbours in each round: the reference parse and the plain load; the inflate and the
  // gzip load.
  size_t reference_task = rounds.add(&reference_s, [&] { sink += parse_reference(lines); });
  size_t plain_task = rounds.add(&plain_s, [&] { load(plain_path); });
  rounds.add(&dom_s, [&] { sink += parse_documents(lines); });
  rounds.add(&sax_s, [&] { sink += parse_sax(lines); });
#ifdef PELARUNE_WITH_SIMDJSON
  double simdjson_s, simdjson_many_s;
  simdjson::padded_string padded(text);
  rounds.add(&simdjson_s, [&] { sink += parse_simdjson(lines); });
  rounds.add(&simdjson_many_s, [&] { sink += parse_simdjson_many(padded); });
#endif
  rounds.add(&zlib_s, [&] {
    if (inflate_all(compressed, out) != text.size())
      std::abort();
  });
  size_t inflate_task = rounds.add(&inflate_s, [&] {
    if (gunzip_all(compressed, out) != text.size())
      std::abort();
  });
  size_t gzip_task = rounds.add(&gzip_s, [&] { load(gzip_path); });
  // The decompressor's own command, started and timed like any other step, beside the load.
  double bunzip_s, bzip2_s;
  std::string bunzip = "bzip2 -dc '" + std::string(bzip2_path) + "' > /dev/null";
  size_t bunzip_task = rounds.add(&bunzip_s, [&] {
    if (std::system(bunzip.c_str()) != 0)
      std::abort();
  });
  size_t bzip2_task = rounds.add(&bzip2_s, [&] { load(bzip2_path); });
  rounds.run(repetitions);
  PeakRss plain_rss = measure_peak_rss(argv[0], plain_path);
  PeakRss gzip_rss = measure_peak_rss(argv[0], gzip_path);

  std::printf("input: %s, %.1f MB of text, %zu lines, %zu kept (%zu records)\n", plain_path,
              text_mb, stats.lines, stats.kept_lines, records);
  std::printf("       %s, %.1f MB compressed; best of %d runs\n", gzip_path,
              double(compressed.size()) / 1e6, repetitions);
  std::printf("load plain            %8.1f MB/s  %7.3f s\n", text_mb / plain_s, plain_s);
  std::printf("load gzip             %8.1f MB/s  %7.3f s\n", text_mb / gzip_s, gzip_s);
  std::printf("load bzip2            %8.1f MB/s  %7.3f s\n", text_mb / bzip2_s, bzip2_s);
  std::printf("reference parse       %8.1f MB/s  %7.3f s  (RapidJSON SAX, in place from a copy,\n"
              "                                             UTF-8 validated, numbers as text)\n",
              text_mb / reference_s, reference_s);
  std::printf("rapidjson SAX (nop)   %8.1f MB/s  %7.3f s\n", text_mb / sax_s, sax_s);
  std::printf("rapidjson Document    %8.1f MB/s  %7.3f s\n", text_mb / dom_s, dom_s);
#ifdef PELARUNE_WITH_SIMDJSON
  std::printf("simdjson DOM per line %8.1f MB/s  %7.3f s\n", text_mb / simdjson_s, simdjson_s);
  std::printf("simdjson parse_many   %8.1f MB/s  %7.3f s\n", text_mb / simdjson_many_s,
              simdjson_many_s);
#endif
  std::printf("inflate, zlib         %8.1f MB/s  %7.3f s\n", text_mb / zlib_s, zlib_s);
  std::printf("inflate, ours (ISA-L) %8.1f MB/s  %7.3f s\n", text_mb / inflate_s, inflate_s);
  std::printf("bzip2 -dc             %8.1f MB/s  %7.3f s\n", text_mb / bunzip_s, bunzip_s);
  std::printf("held %zu bytes for %zu bytes of kept lines\n", held, stats.kept_line_bytes);
  // Peak RSS of a load in a process of its own, less what the process held before and what
  // the records hold after, against the size of the file loaded.
  for (auto [name, rss, file_bytes] : {std::tuple{"plain", plain_rss, text.size()},
                                       std::tuple{"gzip", gzip_rss, compressed.size()}}) {
    double above = double(rss.peak) - double(rss.before) - double(rss.held);
    std::printf("peak RSS, %-5s load:  %.1f MB at start, %.1f MB peak, %.1f MB held, %.1f MB "
                "above: %.3f x the file (target <= 0.2)\n",
                name, double(rss.before) / 1e6, double(rss.peak) / 1e6, double(rss.held) / 1e6,
                above / 1e6, above / double(file_bytes));
  }
  // A ratio taken within each round, where neighbouring tasks met the same load: its median.
  auto per_round = [&](auto ratio_in_round) {
    std::vector<double> ratios;
    for (size_t i = 0; i < size_t(repetitions); ++i)
      ratios.push_back(ratio_in_round(i));
    return median(std::move(ratios));
  };
  // The fastest parser measured here, whatever its way of parsing.
  std::pair<const char *, double> fastest = {"RapidJSON reference", reference_s};
  for (auto candidate : {
           std::pair{"RapidJSON SAX (nop)", sax_s},
           std::pair{"RapidJSON Document", dom_s},
#ifdef PELARUNE_WITH_SIMDJSON
           std::pair{"simdjson DOM per line", simdjson_s},
           std::pair{"simdjson parse_many", simdjson_many_s},
#endif
       })
    if (candidate.second < fastest.second)
      fastest = candidate;
  std::printf("plain load / reference parse throughput:  %.2f (target >= 0.75); %.2f as the "
              "median of the rounds\n",
              reference_s / plain_s, per_round([&](size_t i) {
                return rounds.times(reference_task)[i] / rounds.times(plain_task)[i];
              }));
  std::printf("plain load / fastest parser measured:     %.2f (%s, %.1f MB/s)\n",
              fastest.second / plain_s, fastest.first, text_mb / fastest.second);
  std::printf("our inflate / zlib inflate throughput:    %.2f (target >= 2)\n", zlib_s / inflate_s);
  std::printf("gzip load / (inflate + plain load) time:  %.2f (target <= 1.05); %.2f as the "
              "median of the rounds\n",
              gzip_s / (inflate_s + plain_s), per_round([&](size_t i) {
                return rounds.times(gzip_task)[i] /
                       (rounds.times(inflate_task)[i] + rounds.times(plain_task)[i]);
              }));
  std::printf("bzip2 load / (bzip2 -dc + plain load) time: %.2f (target <= 1.1); %.2f as the "
              "median of the rounds\n",
              bzip2_s / (bunzip_s + plain_s), per_round([&](size_t i) {
                return rounds.times(bzip2_task)[i] /
                       (rounds.times(bunzip_task)[i] + rounds.times(plain_task)[i]);
              }));
  std::printf("held memory / kept text:                  %.2f (target <= 0.6)\n",
              double(held) / double(stats.kept_line_bytes));
  return sink == 0 ? 1 : 0;
}
