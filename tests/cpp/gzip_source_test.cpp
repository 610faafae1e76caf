// Gzip member framing: header fields, checksums, truncation, several members, trailing bytes.
#include "input/gzip_reader.h"
#include "input_test_util.h"

#include <gtest/gtest.h>

using namespace pelarune;
using namespace pelarune::input_test;

namespace {

// Hands out one byte per read, so every header, trailer and magic check meets a refill.
class TrickleReader final : public ByteReader {
public:
  explicit TrickleReader(std::string bytes) : bytes_(std::move(bytes)) {}
  ReadResult read(char *out, size_t) override {
    if (at_ == bytes_.size())
      return {0, std::nullopt};
    *out = bytes_[at_++];
    return {1, std::nullopt};
  }

private:
  std::string bytes_;
  size_t at_ = 0;
};

std::pair<std::string, std::optional<ReadError>> gunzip(std::string_view file) {
  return read_bytes(ByteSource::gzip(file));
}

std::string error_of(std::string_view file) {
  auto [data, error] = gunzip(file);
  return error ? error->message : "no error";
}

// Some repetitive and some less compressible text, several deflate blocks long.
std::string sample_text() {
  std::string text;
  for (int i = 0; i < 5000; ++i)
    text += "{\"pt\":" + std::to_string(1650392673420 + i * 7919 % 1000) + ",\"mc\":[]}\n";
  return text;
}

const GzipMember kAllFields = {.data = "line one\r\nline two\n",
                               .extra = std::string("AB\x02\x00xy", 6),
                               .name = "day.json",
                               .comment = "recorded",
                               .header_crc = true};

} // namespace

TEST(GzipFraming, HeaderFieldsAreSkipped) {
  std::string text = sample_text();
  for (const GzipMember &member : {kAllFields, GzipMember{.data = text, .name = "x"},
                                   GzipMember{.data = text, .header_crc = true}, GzipMember{}}) {
    auto [data, error] = gunzip(gzip_member(member));
    EXPECT_FALSE(error) << error->message;
    EXPECT_EQ(data, member.data);
    auto [trickled, trickle_error] = read_bytes(
        ByteSource::gzip(ByteSource(std::make_unique<TrickleReader>(gzip_member(member)))));
    EXPECT_FALSE(trickle_error);
    EXPECT_EQ(trickled, member.data);
  }
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

TEST(GzipFraming, NameAndCommentLengthLimit) {
  std::string longest(kMaxGzipFieldBytes, 'n');
  EXPECT_EQ(error_of(gzip_member({.data = "x", .name = longest, .comment = longest})), "no error");
  EXPECT_EQ(error_of(gzip_member({.data = "x", .name = longest + "n"})),
            "gzip header field too long");
  EXPECT_EQ(error_of(gzip_member({.data = "x", .comment = longest + "n"})),
            "gzip header field too long");
}

TEST(GzipFraming, TrailerChecked) {
  std::string text = sample_text();
  EXPECT_EQ(error_of(gzip_member({.data = text, .crc_xor = 1})), "gzip checksum mismatch");
  EXPECT_EQ(error_of(gzip_member({.data = text, .size_add = 1})), "gzip checksum mismatch");
  EXPECT_EQ(error_of(gzip_member({.data = "", .crc_xor = 0x80000000})), "gzip checksum mismatch");
}

TEST(GzipFraming, CorruptDeflateDataFails) {
  std::string file = gzip_member({.data = sample_text()});
  file[10] = 0x07; // final block of the reserved type 3
  EXPECT_EQ(error_of(file), "corrupt deflate stream");
  // Any flipped byte in the body fails one way or another; none passes as data.
  std::string good = gzip_member({.data = sample_text()});
  for (size_t at = 10; at + 8 < good.size(); at += 37) {
    std::string spoiled = good;
    spoiled[at] = char(spoiled[at] ^ 0x55);
    EXPECT_NE(error_of(spoiled), "no error") << at;
  }
}

TEST(GzipFraming, TruncationAtEveryLengthFails) {
  std::string file = gzip_member(kAllFields);
  size_t header_end = 10 + 2 + 6 + 9 + 9 + 2;
  for (size_t length = 0; length < file.size(); ++length) {
    auto [data, error] = gunzip(std::string_view(file).substr(0, length));
    ASSERT_TRUE(error) << "cut at " << length;
    if (length < header_end || length >= file.size() - 8) {
      EXPECT_EQ(error->kind, ReadErrorKind::UnexpectedEof) << length;
    }
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
                           std::string("\x1F\x8C"), std::string("\x8B\x1F")}) {
    auto [data, error] = gunzip(first + tail);
    EXPECT_FALSE(error) << error->message;
    EXPECT_EQ(data, "one\n");
    auto [trickled, trickle_error] =
        read_bytes(ByteSource::gzip(ByteSource(std::make_unique<TrickleReader>(first + tail))));
    EXPECT_FALSE(trickle_error);
    EXPECT_EQ(trickled, "one\n");
  }
}
