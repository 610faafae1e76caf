// Gzip member framing: header fields, checksums, truncation, damage, several members and
// trailing bytes. Every file is decoded twice, read a byte at a time and in one piece, and both
// ways must give the same outcome.
#include "input/byte_source.h"
#include "input/loader.h"
#include "input_test_util.h"

#include <gtest/gtest.h>

using namespace pelarune;
using namespace pelarune::input_test;

namespace {

Decoded gunzip(const std::string &file) {
  return decode_both_ways(ByteSource::gzip, file);
}

std::string error_of(const std::string &file) {
  std::optional<LoadError> error = gunzip(file).second;
  return error ? error->message : "no error";
}

const GzipMember kAllFields = {.data = "line one\r\nline two\n",
                               .extra = std::string("AB\x02\x00xy", 6),
                               .name = "day.json",
                               .comment = "recorded",
                               .header_crc = true};

// Header: 10 fixed bytes, "day.json" and its zero, then the 2-byte header CRC.
constexpr size_t kNameAt = 10;
constexpr size_t kHeaderBytes = kNameAt + 9 + 2;
constexpr size_t kTrailerBytes = 8;

const std::string &file_with_name_and_header_crc() {
  static const std::string file =
      gzip_member({.data = kText, .name = "day.json", .header_crc = true});
  return file;
}

// Flips each bit of file[begin, end) in turn: each decode fails or gives kText unchanged.
FlipOutcomes flip_each_bit(const std::string &file, size_t begin, size_t end) {
  return flip_bits(ByteSource::gzip, file, kText, begin, end);
}

} // namespace

TEST(GzipFraming, HeaderFieldsAreSkipped) {
  std::string text = sample_text();
  for (const GzipMember &member : {kAllFields, GzipMember{.data = text, .name = "x"},
                                   GzipMember{.data = text, .header_crc = true}, GzipMember{}})
    EXPECT_EQ(gunzip(gzip_member(member)), Decoded(member.data, std::nullopt));
}

TEST(GzipFraming, BadHeadersFail) {
  std::string good = gzip_member(kAllFields);
  auto with_byte = [&](size_t at, char value) {
    std::string file = good;
    file[at] = value;
    return file;
  };
  for (auto [at, value] : {std::pair<size_t, char>{0, 0x1E}, {1, char(0x8C)}, {2, 7}})
    EXPECT_EQ(error_of(with_byte(at, value)), "invalid gzip header") << at;
  for (int reserved : {0x20, 0x40, 0x80})
    EXPECT_EQ(error_of(gzip_member({.data = "x", .extra_flags = uint8_t(reserved)})),
              "invalid gzip header");
  // The header CRC covers every byte before it, the name and comment terminators included.
  size_t crc_at = 10 + 2 + 6 + 9 + 9;
  EXPECT_EQ(error_of(with_byte(crc_at, char(good[crc_at] ^ 1))), "gzip header checksum mismatch");
  EXPECT_EQ(error_of(with_byte(10 + 2 + 6 + 3, 'X')), "gzip header checksum mismatch");
}

TEST(GzipFraming, BitFlipsInACheckedHeaderFail) {
  FlipOutcomes header = flip_each_bit(file_with_name_and_header_crc(), 0, kHeaderBytes);
  EXPECT_EQ(header.failed, 8 * kHeaderBytes);
}

TEST(GzipFraming, UncheckedHeaderBytesMayChange) {
  // Without a header CRC, the modification time, extra flags and OS byte are read and ignored,
  // and so is the name's text; its terminator and the fixed fields still count.
  std::string file = gzip_member({.data = kText, .name = "day.json"});
  EXPECT_EQ(flip_each_bit(file, 4, 10).same, 6u * 8);
  EXPECT_EQ(flip_each_bit(file, kNameAt, kNameAt + 8).same, 8u * 8);
  FlipOutcomes fixed = flip_each_bit(file, 0, 3);
  EXPECT_EQ(fixed.failed, 3u * 8);
  flip_each_bit(file, 3, 4);                     // the flag byte: whatever it does, no other text
  flip_each_bit(file, kNameAt + 8, kNameAt + 9); // the name's terminator
}

TEST(GzipFraming, NameAndCommentLengthLimit) {
  std::string longest(kMaxGzipFieldBytes, 'n');
  EXPECT_EQ(error_of(gzip_member({.data = "x", .name = longest, .comment = longest})), "no error");
  EXPECT_EQ(error_of(gzip_member({.data = "x", .name = longest + "n"})),
            "gzip header field too long");
  EXPECT_EQ(error_of(gzip_member({.data = "x", .comment = longest + "n"})),
            "gzip header field too long");
}

TEST(GzipFraming, BodyDamageFailsOrChangesNothing) {
  std::string reserved = gzip_member({.data = sample_text()});
  reserved[10] = 0x07; // final block of the reserved type 3
  EXPECT_EQ(error_of(reserved), "corrupt deflate stream");
  const std::string &file = file_with_name_and_header_crc();
  FlipOutcomes body = flip_each_bit(file, kHeaderBytes, file.size() - kTrailerBytes);
  // Most flips change the decoded bytes, which the trailer CRC catches; the ones that pass
  // land where the decoder does not look (the padding after the final block).
  EXPECT_GT(body.failed, 8 * (file.size() - kHeaderBytes - kTrailerBytes) * 9 / 10);
}

// An inflate that fails here reports more input left than it was given; the reader fails
// without moving its buffer by that. Found by fuzz_load.
TEST(GzipFraming, FailingInflateHandsBackReadAhead) {
  const unsigned char file[] = {
      0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0xff, 0xab, 0x56, 0x2a, 0x28, 0x51,
      0xb2, 0x32, 0xd4, 0x51, 0xab, 0x56, 0x2a, 0x28, 0x51, 0xb2, 0x32, 0xd4, 0x51, 0xca, 0x4d,
      0x56, 0xb2, 0x8a, 0x8e, 0xad, 0xe5, 0xe5, 0xaa, 0x06, 0x8b, 0x94, 0x0c, 0xf5, 0x0c, 0x23,
      0x6a, 0x41, 0xb2, 0x00, 0xea, 0x6d, 0x6f, 0xef, 0x30, 0x00, 0x00, 0x00};
  std::string bytes(reinterpret_cast<const char *>(file), sizeof file);
  EXPECT_EQ(error_of(bytes), "corrupt deflate stream");
  LoadResult loaded = load_messages(ByteSource::gzip(bytes));
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error().message, "corrupt deflate stream");
}

TEST(GzipFraming, TrailerChecked) {
  // Every bit of the CRC-32 and of ISIZE counts, an empty member's too.
  for (const std::string &data : {kText, std::string()}) {
    std::string file = gzip_member({.data = data});
    FlipOutcomes trailer = flip_each_bit(file, file.size() - kTrailerBytes, file.size());
    EXPECT_EQ(trailer.failed, 8 * kTrailerBytes);
    EXPECT_EQ(trailer.errors, std::set<std::string>{"gzip checksum mismatch"});
  }
}

TEST(GzipFraming, TruncationAtEveryLengthFails) {
  const std::string &file = file_with_name_and_header_crc();
  const std::set<std::string> cut_in_body = {"unexpected end of file", "corrupt deflate stream"};
  for (size_t length = 0; length < file.size(); ++length) {
    std::string error = error_of(file.substr(0, length));
    if (length < kHeaderBytes || length >= file.size() - kTrailerBytes)
      EXPECT_EQ(error, "unexpected end of file") << length;
    else
      EXPECT_TRUE(cut_in_body.contains(error)) << length << ": " << error;
  }
}

TEST(GzipFraming, TextUnderAGzipName) {
  EXPECT_EQ(error_of("0123456789"), "invalid gzip header");
  EXPECT_EQ(error_of("012345678"), "unexpected end of file");
  EXPECT_EQ(error_of(""), "unexpected end of file");
}

TEST(GzipFraming, FollowingMembersContinueTheStream) {
  std::string file = gzip_member({.data = "one\ntw"}) + gzip_member(kAllFields) +
                     gzip_member({.data = ""}) + gzip_member({.data = "o\nthree"});
  Lines got = read_lines(ByteSource::gzip(file), 4);
  EXPECT_FALSE(got.error);
  EXPECT_EQ(got.lines, (std::vector<std::string>{"one", "twline one", "line two", "o", "three"}));
  // A later member is checked exactly like the first.
  std::string first = gzip_member({.data = "one\n"});
  EXPECT_EQ(error_of(first + gzip_member({.data = "two\n", .size_add = 1})),
            "gzip checksum mismatch");
  EXPECT_EQ(error_of(first + "\x1F\x8B"), "unexpected end of file");
  EXPECT_EQ(error_of(first + "\x1F\x8B\x09" + "0123456"), "invalid gzip header");
}

TEST(GzipFraming, TrailingBytesAfterAMember) {
  std::string first = gzip_member({.data = "one\n"});
  for (std::string tail : {std::string(512, '\0'), std::string("garbage\n"), std::string("\x1F"),
                           std::string("\x1F\x8C"), std::string("\x8B\x1F")})
    EXPECT_EQ(gunzip(first + tail), Decoded("one\n", std::nullopt));
}

TEST(GzipFraming, MemberEndsAcrossEveryReadSize) {
  // The decoder reads ahead of the DEFLATE data's end into its bit buffer; those bytes (the
  // trailer, the next member) must come back wherever the reads of the file happen to end.
  std::string text = sample_text();
  std::string file = gzip_member({.data = text.substr(0, 3000)}) + gzip_member(kAllFields) +
                     gzip_member({.data = text.substr(3000, 5000)}) + gzip_member({.data = ""});
  std::string expected = text.substr(0, 3000) + kAllFields.data + text.substr(3000, 5000);
  for (size_t chunk = 1; chunk <= 80; ++chunk) {
    auto got = read_bytes(
        ByteSource::gzip(ByteSource(std::make_unique<ChunkedReader>(file, chunk))), 1 + chunk % 13);
    EXPECT_EQ(got, Decoded(expected, std::nullopt)) << chunk;
  }
}
