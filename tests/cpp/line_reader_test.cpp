// Line splitting, UTF-8 checking, the gzip file-name rule and opening files by path.
#include "input/file_source.h"
#include "input/line_reader.h"
#include "input_test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

using namespace pelarune;
using namespace pelarune::input_test;
using Strings = std::vector<std::string>;

namespace {

// Tiny buffers put every line end before, at and after a refill.
constexpr size_t kBufferSizes[] = {1, 2, 3, 5, 8, StreamLineReader::kBufferSize};

class TempDir {
public:
  TempDir() {
    char pattern[] = "/tmp/pelarune-input-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(const std::string &name, std::string_view content) const {
    std::string path = path_ + "/" + name;
    std::ofstream(path, std::ios::binary).write(content.data(), std::streamsize(content.size()));
    return path;
  }
  const std::string &path() const { return path_; }

private:
  std::string path_;
};

} // namespace

TEST(LineReader, TerminatorsAtEveryRefillPosition) {
  const std::pair<std::string, Strings> cases[] = {
      {"", {}},
      {"one\ntwo", {"one", "two"}},
      {"one\r\ntwo\r\n", {"one", "two"}},
      {"one\n", {"one"}},                     // no empty line after a final LF
      {"\n\n", {"", ""}},                     // but empty lines in between are lines
      {"one\r", {"one\r"}},                   // a lone CR at the end stays
      {"a\rb\rc\r", {"a\rb\rc\r"}},           // CR alone never ends a line
      {"a\r\r\nb", {"a\r", "b"}},             // only one CR goes with the LF
      {"\xEF\xBB\xBFx\n", {"\xEF\xBB\xBFx"}}, // a byte-order mark stays
  };
  for (const auto &[input, expected] : cases)
    for (size_t buffer_size : kBufferSizes) {
      Lines got = read_lines(ByteSource::plain(input), buffer_size);
      EXPECT_FALSE(got.error) << buffer_size;
      EXPECT_EQ(got.lines, expected) << "buffer " << buffer_size;
    }
}

TEST(LineReader, LinesLongerThanTheBuffer) {
  std::string huge(3 * StreamLineReader::kBufferSize + 17, 'x');
  huge[StreamLineReader::kBufferSize] = 'y';
  std::string input = "a\n" + huge + "\r\nb\n" + huge;
  Lines got = read_lines(ByteSource::plain(input));
  ASSERT_FALSE(got.error);
  EXPECT_EQ(got.lines, (Strings{"a", huge, "b", huge}));
  // A multi-byte character split by a refill is still one valid character.
  std::string euros;
  for (int i = 0; i < 20; ++i)
    euros += "\xE2\x82\xAC";
  for (size_t buffer_size : {2u, 4u, 7u})
    EXPECT_EQ(read_lines(ByteSource::plain(euros), buffer_size).lines, Strings{euros});
}

TEST(LineReader, LineEndingRightBeforeUnrelatedBytes) {
  // The source is a view that stops before bytes that are not part of the stream.
  std::string backing = "{\"pt\":1}\n[2,3]UNRELATED";
  Lines got = read_lines(ByteSource::plain(std::string_view(backing).substr(0, 14)));
  EXPECT_EQ(got.lines, (Strings{"{\"pt\":1}", "[2,3]"}));
  // Exact allocations around the buffer size: reading or writing past one shows under ASan.
  for (size_t size : {size_t(1), size_t(9), StreamLineReader::kBufferSize - 1,
                      StreamLineReader::kBufferSize, StreamLineReader::kBufferSize + 1}) {
    std::unique_ptr<char[]> exact(new char[size]);
    std::fill_n(exact.get(), size, 'z');
    got = read_lines(ByteSource::plain(std::string_view(exact.get(), size)));
    ASSERT_EQ(got.lines.size(), 1u);
    EXPECT_EQ(got.lines[0].size(), size);
  }
}

TEST(LineReader, InvalidUtf8EndsReadingAfterTheGoodLines) {
  StreamLineReader reader(ByteSource::plain("good\nbad\xFF\nnever\n"));
  Lines got = read_lines(reader);
  EXPECT_EQ(got.lines, Strings{"good"});
  EXPECT_EQ(got.error, LoadError{"stream did not contain valid UTF-8"});
  EXPECT_EQ(read_lines(reader).error, got.error); // and again on every later call
}

TEST(Utf8Validation, BoundariesAtEveryOffset) {
  const char *valid[] = {"\x7F",         "\xC2\x80",         "\xDF\xBF",
                         "\xE0\xA0\x80", "\xED\x9F\xBF",     "\xEE\x80\x80",
                         "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"};
  const char *invalid[] = {
      "\x80",
      "\xC0\x80",
      "\xC1\xBF", // stray, overlong
      "\xE0\x9F\xBF",
      "\xED\xA0\x80",
      "\xED\xBF\xBF", // overlong, surrogates
      "\xF0\x8F\xBF\xBF",
      "\xF4\x90\x80\x80",
      "\xF5\x80\x80\x80", // overlong, too large
      "\xFF",
      "\xE2\x82",
      "\xC2\x41", // truncated, bad follow byte
  };
  // Offsets and tails around the 8- and 32-byte word paths, each in an exact allocation.
  for (size_t offset = 0; offset < 40; ++offset)
    for (size_t tail : {0u, 1u, 9u}) {
      auto check = [&](const char *piece, bool expected) {
        std::string text = std::string(offset, 'a') + piece + std::string(tail, 'b');
        std::unique_ptr<char[]> exact(new char[text.size()]);
        text.copy(exact.get(), text.size());
        EXPECT_EQ(is_valid_utf8(exact.get(), text.size()), expected)
            << offset << " " << tail << " " << ::testing::PrintToString(piece);
      };
      for (const char *piece : valid)
        check(piece, true);
      for (const char *piece : invalid)
        check(piece, false);
    }
}

TEST(GzipPath, ExtensionOfTheFinalComponent) {
  for (const char *path : {"day.json.gz", "day.gzip", "..gz", "dir/a.gz", "dir/a.gz/", "a.b.gz//"})
    EXPECT_TRUE(is_gzip_path(path)) << path;
  for (const char *path : {"day.json", "day.GZ", "day.Gzip", ".gz", "dir/.gz", "day.gz.bak", "day.",
                           "gz", "", "/", "..", "a.gz/..", "x.gz/y", "day.gzz"})
    EXPECT_FALSE(is_gzip_path(path)) << path;
}

TEST(Bzip2Path, ExtensionReadAsForGzip) {
  for (const char *path : {"day.json.bz2", "..bz2", "dir/a.bz2", "dir/a.bz2/", "a.b.bz2//"})
    EXPECT_TRUE(is_bzip2_path(path)) << path;
  for (const char *path : {"day.json", "day.BZ2", "day.Bz2", ".bz2", "dir/.bz2", "day.bz2.bak",
                           "bz2", "a.bz2/..", "x.bz2/y", "day.bz", "day.bzip2", "day.gz"})
    EXPECT_FALSE(is_bzip2_path(path)) << path;
}

TEST(StreamFileOpening, OperatingSystemErrors) {
  TempDir dir;
  for (const char *name : {"/missing", "/missing.gz"}) {
    auto opened = open_stream_file(dir.path() + name);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().message, "No such file or directory (os error 2)");
  }
  // A directory opens, and fails on the first read whichever reader it gets.
  std::filesystem::create_directory(dir.path() + "/d.gz");
  for (std::string path : {dir.path(), dir.path() + "/d.gz"}) {
    auto opened = open_stream_file(path);
    ASSERT_TRUE(opened);
    EXPECT_EQ(read_lines(std::move(*opened)).error, LoadError{"Is a directory (os error 21)"});
  }
}

TEST(StreamFileOpening, NulInPathFailsBeforeAnyAccess) {
  TempDir dir;
  std::string path = dir.file("f", "x\n");
  auto opened = open_stream_file(path + std::string("\0", 1));
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().message, "path contains a NUL character");
}

TEST(StreamFileOpening, NameChoosesTheDecoder) {
  TempDir dir;
  std::string lines = "one\r\ntwo\n";
  std::string zipped = gzip_for_tests(lines);
  for (const char *name : {"f.gz", "f.gzip"}) {
    auto opened = open_stream_file(dir.file(name, zipped));
    ASSERT_TRUE(opened);
    EXPECT_EQ(read_lines(std::move(*opened)).lines, (Strings{"one", "two"})) << name;
  }
  // The same bytes under another name are text, and not UTF-8.
  auto as_text = open_stream_file(dir.file("f.GZ", zipped));
  ASSERT_TRUE(as_text);
  EXPECT_EQ(read_lines(std::move(*as_text)).error, LoadError{"stream did not contain valid UTF-8"});
  // And text under a gzip name fails in the header.
  auto as_gzip = open_stream_file(dir.file("t.gz", "plain text, long enough\n"));
  ASSERT_TRUE(as_gzip);
  EXPECT_EQ(read_lines(std::move(*as_gzip)).error, LoadError{"invalid gzip header"});
  // Likewise for bzip2.
  std::string bzipped = bzip2_stream(lines);
  auto as_bzip2 = open_stream_file(dir.file("f.bz2", bzipped));
  ASSERT_TRUE(as_bzip2);
  EXPECT_EQ(read_lines(std::move(*as_bzip2)).lines, (Strings{"one", "two"}));
  auto bzip2_as_text = open_stream_file(dir.file("f.BZ2", bzipped));
  ASSERT_TRUE(bzip2_as_text);
  EXPECT_EQ(read_lines(std::move(*bzip2_as_text)).error,
            LoadError{"stream did not contain valid UTF-8"});
  auto text_as_bzip2 = open_stream_file(dir.file("t.bz2", "plain text\n"));
  ASSERT_TRUE(text_as_bzip2);
  EXPECT_EQ(read_lines(std::move(*text_as_bzip2)).error, LoadError{"not a bzip2 stream"});
}
