// The scanner against RapidJSON's path: wherever the scanner accepts a line, the reader must
// accept it too and write the same tape. Lines come from recorded files, hand-made edge cases
// and random damage to both.
#include "input/json_parser.h"
#include "input/line_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace pelarune;

namespace {

struct Agreement {
  size_t scanned = 0;  // lines the scanner took
  size_t declined = 0; // lines left to the reader
};

// Checks one line both ways; counts which way it went.
void expect_agreement(const std::string &text, Agreement &tally) {
  if (!is_valid_utf8(text.data(), text.size()))
    return; // the line reader refuses these before any parse
  std::string line = text + '\0';
  auto buffer = std::make_unique<char[]>(JsonScanner::tape_bound(text.size()));
  char *end = JsonScanner().scan(line.data(), text.size(), buffer.get());
  std::string by_reader;
  std::string copy = line;
  auto read = JsonParser().parse_with_reader(copy.data(), text.size(), by_reader);
  // The full parser: the scanner's outcome where it takes the line, the reader's elsewhere.
  std::string by_parser;
  copy = line;
  auto parsed = JsonParser().parse(copy.data(), text.size(), by_parser);
  ASSERT_EQ(bool(parsed), bool(read)) << text;
  if (!read) {
    EXPECT_EQ(parsed.error(), read.error()) << text;
    EXPECT_EQ(end, nullptr) << "scanner took a line the reader refuses (" << read.error().message
                            << "): " << text;
    ++tally.declined;
    return;
  }
  EXPECT_EQ(by_parser, by_reader) << text;
  if (!end) {
    ++tally.declined;
    return;
  }
  ++tally.scanned;
  EXPECT_EQ(std::string(buffer.get(), end), by_reader) << text;
}

std::vector<std::string> recorded_lines() {
  std::vector<std::string> lines;
  for (const auto &entry : std::filesystem::directory_iterator(PELARUNE_RECORDED_DATA)) {
    std::string name = entry.path().filename().string();
    // The recordings sit beside their readme and licence text.
    if (name.ends_with(".gz") || name.ends_with(".md") || name == "LICENSE")
      continue;
    std::ifstream in(entry.path(), std::ios::binary);
    for (std::string line; std::getline(in, line);)
      lines.push_back(line);
  }
  return lines;
}

// Numbers at and around every limit the reader or the tape form has, and grammar slips.
// clang-format off
const std::vector<std::string> kEdges = {
    "0", "-0", "0.0", "-0.0", "0e0", "1E2", "1e+2", "100e-2", "5", "5.0", "-5", "0.000", "-0.05",
    "18446744073709551615", "18446744073709551616", "9223372036854775808",
    "-9223372036854775808", "-9223372036854775809", "1234567890123456789",
    "12345678901234567890", "123456789012345678901234567890", "0.1234567890123456789",
    "999999999999999", "9999999999999999", "1e15", "1e16", "1e22", "1e23", "1e-7", "1e300",
    "1e301", "1e308", "1e309", "1e-400", "0e400", "-0e999", "1.7976931348623157e308",
    "2.2250738585072014e-308", "4.9e-324", "1e0000000000000000005",
    "1" + std::string(299, '0'), "1" + std::string(300, '0'), std::string(400, '9') + "e-380",
    "01", "-01", "1.", ".5", "1e", "1e+", "-", "+1", "--1", "1.e5", "0x10", "1ee5", "1.5.5",
    "true", "false", "null", "tru", "nul", "truex", "True", "[true,false,null]", "[]", "{}",
    " [ ] ", "[ 1 , 2 ]", "{ \"a\" : 1 , \"b\" : [ ] }", "[1,]", "{\"a\":1,}", "{,}", "[,1]",
    "{\"a\"}", "{\"a\":}", "{1:2}", "{\"a\" 1}", "[1 2]", "\"\"", "\"a\"", "\"\xC3\xA9\"",
    "\"a\\\"b\"", "\"\\u00e9\"", "\"\\ud800\"", "\"\\udc00\"", "\"a\tb\"", "\"a\x7f\"",
    std::string("\"a\0b\"", 5), std::string("{}\0", 3), "{} ", "{} x", "{}{}", "\xC2\xA0{}",
    "{\"pt\":1,\"pt\":2}", "{\"" + std::string(200, 'k') + "\":\"" + std::string(300, 'v') + "\"}",
    std::string(127, '[') + std::string(127, ']'), std::string(128, '[') + std::string(128, ']'),
    std::string(126, '[') + "{\"a\":{}}" + std::string(126, ']'),
    std::string(127, '[') + "{}" + std::string(127, ']'), "[" + std::string(200, ' ') + "1]",
    "[\"" + std::string(130, 'x') + "\",\"" + std::string(7, 'y') + "\"]",
};
// clang-format on

// One random change of the kind that crosses the scanner's decisions.
std::string damaged(std::string text, std::mt19937 &rng) {
  static const std::string kBytes = "\"\\,:{}[]0123456789-+.eE tfnlu\t\r\x01\x7f";
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  char byte = kBytes[pick(kBytes.size())];
  size_t at = text.empty() ? 0 : pick(text.size());
  switch (pick(5)) {
  case 0:
    if (!text.empty())
      text[at] = byte;
    break;
  case 1:
    text.insert(text.begin() + ptrdiff_t(at), byte);
    break;
  case 2:
    if (!text.empty())
      text.erase(at, 1 + pick(3));
    break;
  case 3:
    text.resize(at);
    break;
  default:
    text.insert(at, text.substr(at, pick(20))); // a repeated run
  }
  return text;
}

} // namespace

TEST(JsonScanner, AgreesWithTheReaderOnRecordedLines) {
  Agreement tally;
  for (const std::string &line : recorded_lines())
    expect_agreement(line, tally);
  // Recorded lines are what the scanner is for: it takes them all.
  EXPECT_GT(tally.scanned, 100u);
  EXPECT_EQ(tally.declined, 0u);
}

TEST(JsonScanner, AgreesWithTheReaderAtTheLimits) {
  Agreement tally;
  for (const std::string &edge : kEdges)
    for (const std::string &text : {edge, "[" + edge + "]", "{\"k\":" + edge + ",\"z\":1}"})
      expect_agreement(text, tally);
  EXPECT_GT(tally.scanned, 50u);
  EXPECT_GT(tally.declined, 50u);
}

TEST(JsonScanner, AgreesWithTheReaderOnDamagedLines) {
  std::vector<std::string> sources = recorded_lines();
  sources.insert(sources.end(), kEdges.begin(), kEdges.end());
  std::mt19937 rng(20220419);
  Agreement tally;
  for (int i = 0; i < 20000; ++i) {
    std::string text = sources[rng() % sources.size()];
    for (int changes = 1 + int(rng() % 3); changes > 0; --changes)
      text = damaged(std::move(text), rng);
    expect_agreement(text, tally);
  }
  EXPECT_GT(tally.scanned, 1000u);
  EXPECT_GT(tally.declined, 1000u);
}
