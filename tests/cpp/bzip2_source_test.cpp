// Bzip2 streams: the magic check, truncation, damage, several streams and trailing bytes.
// Every file is decoded twice, read a byte at a time and in one piece, and both ways must give
// the same outcome.
#include "input/byte_source.h"
#include "input_test_util.h"

#include <gtest/gtest.h>

using namespace pelarune;
using namespace pelarune::input_test;

namespace {

const std::string kTruncated = "truncated bzip2 stream";
const std::string kDataError = "bzip2 data or CRC error";
const std::string kNotBzip2 = "not a bzip2 stream";

// "BZh1", the block magic, then the block's CRC.
constexpr size_t kBlockCrcAt = 4 + 6;

Decoded bunzip(const std::string &file) {
  return decode_both_ways(ByteSource::bzip2, file);
}

std::string error_of(const std::string &file) {
  std::optional<LoadError> error = bunzip(file).second;
  return error ? error->message : "no error";
}

} // namespace

TEST(Bzip2Source, ReplaysTheSameBytesAsPlain) {
  std::string text = sample_text();
  for (int level : {1, 9})
    for (const std::string &data : {std::string(), kText, text})
      EXPECT_EQ(bunzip(bzip2_stream(data, level)), Decoded(data, std::nullopt)) << level;
  // Through the line reader's own buffer, which takes both blocks in one read.
  Lines got = read_lines(ByteSource::bzip2(bzip2_stream(text)));
  EXPECT_FALSE(got.error);
  EXPECT_EQ(got.lines, read_lines(ByteSource::plain(text)).lines);
}

TEST(Bzip2Source, TruncationFails) {
  std::string small = bzip2_stream(kText);
  for (size_t length = 0; length < small.size(); ++length)
    EXPECT_EQ(error_of(small.substr(0, length)), kTruncated) << length;
  std::string two_blocks = bzip2_stream(sample_text());
  for (size_t length = 0; length < two_blocks.size(); length += 97)
    EXPECT_EQ(error_of(two_blocks.substr(0, length)), kTruncated) << length;
}

TEST(Bzip2Source, BitFlipsFailOrChangeNothing) {
  std::string file = bzip2_stream(kText);
  FlipOutcomes magic = flip_bits(ByteSource::bzip2, file, kText, 0, 3);
  EXPECT_EQ(magic.failed, 3u * 8);
  EXPECT_EQ(magic.errors, std::set<std::string>{kNotBzip2});
  FlipOutcomes crc = flip_bits(ByteSource::bzip2, file, kText, kBlockCrcAt, kBlockCrcAt + 4);
  EXPECT_EQ(crc.errors, std::set<std::string>{kDataError});
  // The block size digit may become another valid one; elsewhere the block and stream CRCs
  // catch what the decoder's own checks do not.
  flip_bits(ByteSource::bzip2, file, kText, 3, 4);
  FlipOutcomes body = flip_bits(ByteSource::bzip2, file, kText, 4, file.size());
  EXPECT_GT(body.failed, body.same * 10);
  for (const std::string &error : body.errors)
    EXPECT_TRUE(error == kDataError || error == kTruncated) << error;
}

TEST(Bzip2Source, NotABzip2Stream) {
  for (std::string file : {"", "B", "BZ", "BZh", "BZh9"})
    EXPECT_EQ(error_of(file), kTruncated) << file;
  for (std::string file : {"x", "Bz", "BZH9", "BZh0", "BZh:", "plain text\n"})
    EXPECT_EQ(error_of(file), kNotBzip2) << file;
  EXPECT_EQ(error_of(gzip_for_tests(kText)), kNotBzip2);
  EXPECT_EQ(error_of("BZh9 is not followed by a block\n"), kDataError);
}

TEST(Bzip2Source, FollowingStreamsContinueTheInput) {
  std::string one = bzip2_stream("one\ntw"), two = bzip2_stream(""), three = bzip2_stream("o\n", 9);
  Lines got = read_lines(ByteSource::bzip2(one + two + three + bzip2_stream("three")), 4);
  EXPECT_FALSE(got.error);
  EXPECT_EQ(got.lines, (std::vector<std::string>{"one", "two", "three"}));
  // A cut exactly between streams gives the streams before it, a cut inside one fails.
  EXPECT_EQ(bunzip(one + two + three), Decoded("one\ntwo\n", std::nullopt));
  EXPECT_EQ(error_of(one + three.substr(0, three.size() - 1)), kTruncated);
  // A later stream is checked exactly like the first.
  std::string damaged = three;
  damaged[kBlockCrcAt] = char(damaged[kBlockCrcAt] ^ 1);
  EXPECT_EQ(error_of(one + damaged), kDataError);
  EXPECT_EQ(error_of(one + "BZh"), kTruncated);
  EXPECT_EQ(error_of(one + "BZh0"), kNotBzip2);
}

TEST(Bzip2Source, TrailingBytesAfterAStream) {
  std::string first = bzip2_stream("one\n");
  for (std::string tail : {std::string(512, '\0'), std::string("garbage\n"), std::string("B"),
                           std::string("BZ"), std::string("BZx"), std::string("ZBh9")})
    EXPECT_EQ(bunzip(first + tail), Decoded("one\n", std::nullopt)) << tail;
}
