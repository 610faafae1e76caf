// Damaged gzip files through the whole load: every truncation and every single-bit flip of a
// small file fails the load or, where the damage leaves a valid stream, loads the same records;
// and the outcome does not depend on where the reads of the file end.
#include "input/message_loader.h"
#include "input_test_util.h"

#include <gtest/gtest.h>

#include <set>

using namespace pelarune;
using namespace pelarune::input_test;

namespace {

// Hands out at most `chunk` bytes per read.
class ChunkedReader final : public ByteReader {
public:
  ChunkedReader(std::string bytes, size_t chunk) : bytes_(std::move(bytes)), chunk_(chunk) {}
  ReadResult read(char *out, size_t capacity) override {
    size_t n = std::min({capacity, chunk_, bytes_.size() - at_});
    bytes_.copy(out, n, at_);
    at_ += n;
    return {n, std::nullopt};
  }

private:
  std::string bytes_;
  size_t chunk_;
  size_t at_ = 0;
};

// Kept, skipped and blank lines, LF and CR LF, enough text for a few Huffman codes.
const std::string kText =
    R"({"op":"mcm","clk":"AAAA","pt":1650392673420,"mc":[{"id":"1.197931750","img":true,)"
    R"("marketDefinition":{"status":"OPEN","inPlay":false,"runners":[{"id":41180167,)"
    R"("sortPriority":1,"status":"ACTIVE"},{"id":41180168,"sortPriority":2,"status":"ACTIVE"}]}}]})"
    "\n"
    R"({"op":"mcm","pt":1650392673520,"mc":[{"id":"1.197931750","rc":[{"atb":[[2.5,10.5],[2.44,3]],)"
    R"("ltp":2.5,"id":41180167}]}]})"
    "\r\n\n"
    R"({"op":"hb","clk":"AAAB","pt":1650392673620})"
    "\n"
    R"({"op":"mcm","pt":1650392673720,"mc":[{"id":"1.197931750","rc":[{"trd":[[3.1,7]],"tv":7,)"
    R"("id":41180168}]}]})"
    "\n";

// Header: 10 fixed bytes, "day.json" and its zero, then the 2-byte header CRC.
constexpr size_t kNameAt = 10;
constexpr size_t kHeaderBytes = kNameAt + 9 + 2;
constexpr size_t kTrailerBytes = 8;

const std::string &file_with_name_and_header_crc() {
  static const std::string file =
      gzip_member({.data = kText, .name = "day.json", .header_crc = true});
  return file;
}

// Loads `file` read one byte at a time and in one piece; both ways must give the same outcome.
LoadResult load_both_ways(const std::string &file) {
  auto load = [&](size_t chunk) {
    return load_messages(
        ByteSource::gzip(ByteSource(std::make_unique<ChunkedReader>(file, chunk))));
  };
  LoadResult trickled = load(1);
  LoadResult whole = load(file.size() + 1);
  EXPECT_TRUE(trickled == whole) << "the outcome depends on where reads end: "
                                 << (trickled.ok() ? "records" : trickled.error()) << " against "
                                 << (whole.ok() ? "records" : whole.error());
  return whole;
}

const LoadResult &original_records() {
  static const LoadResult records = load_messages(ByteSource::plain(kText));
  return records;
}

struct FlipOutcomes {
  size_t failed = 0;
  size_t same = 0;
};

// Flips each bit of file[begin, end): each load fails or loads the original records.
FlipOutcomes flip_each_bit(const std::string &file, size_t begin, size_t end) {
  FlipOutcomes outcomes;
  for (size_t at = begin; at < end; ++at)
    for (int bit = 0; bit < 8; ++bit) {
      std::string damaged = file;
      damaged[at] = char(damaged[at] ^ (1 << bit));
      LoadResult got = load_both_ways(damaged);
      if (!got.ok()) {
        ++outcomes.failed;
        continue;
      }
      EXPECT_TRUE(got == original_records()) << "byte " << at << " bit " << bit;
      ++outcomes.same;
    }
  return outcomes;
}

} // namespace

TEST(GzipCorruption, TheUndamagedFileLoads) {
  ASSERT_TRUE(original_records().ok());
  ASSERT_EQ(original_records().value().size(), 3u);
  EXPECT_TRUE(load_both_ways(file_with_name_and_header_crc()) == original_records());
}

TEST(GzipCorruption, EveryTruncationFails) {
  const std::string &file = file_with_name_and_header_crc();
  const std::set<std::string> cut_in_body = {"unexpected end of file", "corrupt deflate stream"};
  for (size_t length = 0; length < file.size(); ++length) {
    LoadResult got = load_both_ways(file.substr(0, length));
    ASSERT_FALSE(got.ok()) << "cut at " << length << " loaded";
    if (length < kHeaderBytes || length >= file.size() - kTrailerBytes)
      EXPECT_EQ(got.error(), "unexpected end of file") << length;
    else
      EXPECT_TRUE(cut_in_body.contains(got.error())) << length << ": " << got.error();
  }
}

TEST(GzipCorruption, BitFlipsInACheckedHeaderFail) {
  // The header CRC covers every header byte, the name and the flag byte included.
  FlipOutcomes header = flip_each_bit(file_with_name_and_header_crc(), 0, kHeaderBytes);
  EXPECT_EQ(header.failed, 8 * kHeaderBytes);
}

TEST(GzipCorruption, BitFlipsInTheBodyFailOrChangeNothing) {
  const std::string &file = file_with_name_and_header_crc();
  FlipOutcomes body = flip_each_bit(file, kHeaderBytes, file.size() - kTrailerBytes);
  // Most flips change the decoded bytes, which the trailer CRC catches; the ones that pass
  // land where the decoder does not look (the padding after the final block).
  EXPECT_GT(body.failed, 8 * (file.size() - kHeaderBytes - kTrailerBytes) * 9 / 10);
}

TEST(GzipCorruption, BitFlipsInTheTrailerFail) {
  const std::string &file = file_with_name_and_header_crc();
  for (size_t at = file.size() - kTrailerBytes; at < file.size(); ++at)
    for (int bit = 0; bit < 8; ++bit) {
      std::string damaged = file;
      damaged[at] = char(damaged[at] ^ (1 << bit));
      LoadResult got = load_both_ways(damaged);
      ASSERT_FALSE(got.ok()) << "byte " << at << " bit " << bit;
      EXPECT_EQ(got.error(), "gzip checksum mismatch");
    }
}

TEST(GzipCorruption, UncheckedHeaderBytesMayChange) {
  // Without a header CRC, the modification time, extra flags and OS byte are read and ignored,
  // and so is the name's text; its terminator and the fixed fields still count.
  std::string file = gzip_member({.data = kText, .name = "day.json"});
  EXPECT_EQ(flip_each_bit(file, 4, 10).same, 6u * 8);
  EXPECT_EQ(flip_each_bit(file, kNameAt, kNameAt + 8).same, 8u * 8);
  FlipOutcomes fixed = flip_each_bit(file, 0, 3);
  EXPECT_EQ(fixed.failed, 3u * 8);
  flip_each_bit(file, 3, 4); // the flag byte: whatever it does, no other records
  flip_each_bit(file, kNameAt + 8, kNameAt + 9); // the name's terminator
}
