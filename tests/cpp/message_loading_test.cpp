// Which lines a load keeps and what it takes from them, failures, the record store, and the
// recorded sample files.
#include "input/json_parser.h"
#include "input/loader.h"
#include "input_test_util.h"
#include "json_for_tests.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

using namespace pelarune;
using namespace pelarune::input_test;

namespace {

LoadResult load_text(std::string_view text) {
  return load_messages(ByteSource::plain(text));
}

std::string parser_error(std::string line) {
  std::string tape;
  auto parsed = JsonParser().parse(line.data(), line.size(), tape);
  EXPECT_FALSE(parsed);
  return parsed.error().message;
}

} // namespace

TEST(MessageLoading, PublishTimeMustBeAPositiveInteger) {
  const std::pair<const char *, int64_t> kept[] = {
      {R"({"pt":5,"mc":[]})", 5},
      {R"({"pt":9223372036854775807,"mc":[]})", INT64_MAX},
      {R"({"pt":0,"mc":[],"pt":7})", 7}, // the later duplicate wins
  };
  for (auto [line, pt] : kept) {
    LoadResult result = load_text(line);
    ASSERT_TRUE(result) << line;
    ASSERT_EQ(result->size(), 1u) << line;
    EXPECT_EQ((*result)[0].publish_time_epoch, pt);
  }
  for (const char *line :
       {R"({"pt":0,"mc":[]})", R"({"pt":-1,"mc":[]})", R"({"pt":1.6e12,"mc":[]})",
        R"({"pt":5.0,"mc":[]})", R"({"pt":"5","mc":[]})", R"({"mc":[]})", R"({"pt":null,"mc":[]})",
        R"({"pt":9223372036854775808,"mc":[]})", R"({"pt":7,"mc":[],"pt":0})"}) {
    LoadResult result = load_text(line);
    ASSERT_TRUE(result) << line;
    EXPECT_EQ(result->size(), 0u) << line;
  }
}

TEST(MessageLoading, WhereTheChangesComeFrom) {
  LoadResult result = load_text(R"({"pt":40,"mc":[{"id":"1.2"},3,null]})"
                                "\n"
                                R"({"op":"mcm","pt":30,"rc":[{"id":5}]})"
                                "\n"
                                R"({"pt":20,"mc":null,"marketDefinition":{"status":"OPEN"}})"
                                "\n"
                                R"({"pt":10,"mc":[1],"mc":[]})"
                                "\n"
                                R"({"pt":5,"mc":{"id":"1.2"}})" // no array and no whole-object key
                                "\n"
                                R"({"op":"mcm","pt":6,"clk":"AAA"})" // a heartbeat
                                "\n[1]\n\"mc\"\n5\ntrue\nnull\n{}\n");
  ASSERT_TRUE(result) << result.error().message;
  const MessageStore &store = *result;
  ASSERT_EQ(store.size(), 4u);
  // The changes array as written, or the whole line object as the one change.
  const char *changes[] = {R"([{"id":"1.2"},3,null])", R"([{"op":"mcm","pt":30,"rc":[{"id":5}]}])",
                           R"([{"pt":20,"mc":null,"marketDefinition":{"status":"OPEN"}}])", "[]"};
  for (size_t i = 0; i < 4; ++i)
    EXPECT_EQ(store[i].market_changes.bytes(), Json(changes[i]).value().bytes()) << i;
  std::vector<int64_t> order; // the file's order, not the publish times'
  for (const StreamMessage &message : store)
    order.push_back(message.publish_time_epoch);
  EXPECT_EQ(order, (std::vector<int64_t>{40, 30, 20, 10}));
}

TEST(MessageLoading, BlankLinesAreSkipped) {
  std::string blanks = "\n \t\v\f\r\n\xC2\x85\xC2\xA0\xE1\x9A\x80\n";
  for (int c = 0x2000; c <= 0x200A; ++c)
    blanks += {char(0xE2), char(0x80), char(0x80 + c - 0x2000)};
  blanks += "\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80\n";
  LoadResult result = load_text(blanks + "{\"pt\":1,\"mc\":[]}\n" + blanks);
  ASSERT_TRUE(result) << result.error().message;
  EXPECT_EQ(result->size(), 1u);
  // Look-alikes that are not White_Space reach the parser and fail it.
  for (const char *line : {"\xE2\x80\x8B", "\xE1\xA0\x8E", "\xEF\xBB\xBF", "\xE2\x80\xAE",
                           "\xE2\x81\xA0", "\xE3\x80\x81", "\xC2\x86",
                           "{\"pt\":1,\"mc\":[]}\xC2\xA0", "\xEF\xBB\xBF{\"pt\":1,\"mc\":[]}"}) {
    LoadResult bad = load_text(line);
    ASSERT_FALSE(bad) << line;
    EXPECT_EQ(bad.error().message, parser_error(line));
  }
}

TEST(MessageLoading, OneBadLineFailsTheWholeLoad) {
  std::string good = "{\"pt\":1,\"mc\":[]}\n";
  std::string bad = "{\"pt\":1,\"mc\":[}";
  for (std::string text : {bad + "\n" + good + good, good + bad + "\n" + good, good + good + bad}) {
    LoadResult result = load_text(text);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, parser_error(bad)); // verbatim, with no file or line context
  }
  EXPECT_EQ(load_text(good + "\xFF\n").error().message, "stream did not contain valid UTF-8");
  EXPECT_EQ(load_messages(ByteSource::gzip(gzip_for_tests(good).substr(0, 20))).error().message,
            "unexpected end of file");
}

TEST(MessageLoading, RecordLinesAreCheckedForUtf8WhileParsed) {
  // The parser checks a line only when it is not all ASCII; the outcome is the reader's own:
  // the UTF-8 failure comes first, wherever the line's JSON goes wrong.
  const std::string utf8_error = "stream did not contain valid UTF-8";
  for (std::string bad : {"{\"pt\":1,\"mc\":[{\"id\":\"\xFF\"}]}",
                          "{\"pt\":1,\"mc\":[{\"id\":\"long enough for a word \xC3\x28\"}]}",
                          "{\"pt\":1,\"mc\":[{\"\xED\xA0\x80\":1}]}", "{\"pt\":1,\"mc\":[}\xC3\x28",
                          "{\"pt\":1,\"mc\":[\"\\u00e9\xF5\"]}", "{\xC0\x80}"}) {
    LoadResult result = load_text("{\"pt\":1,\"mc\":[]}\n" + bad + "\n");
    ASSERT_FALSE(result) << bad;
    EXPECT_EQ(result.error().message, utf8_error) << bad;
  }
  LoadResult good =
      load_text("{\"pt\":1,\"mc\":[{\"id\":\"\xC3\xA9t\xC3\xA9 \xF0\x9F\x90\x8E\"}]}\n");
  ASSERT_TRUE(good);
  EXPECT_EQ((*(*good)[0].market_changes.array().begin()).object().find("id").string_value(),
            "\xC3\xA9t\xC3\xA9 \xF0\x9F\x90\x8E");
}

TEST(MessageLoading, PlainAndGzipLoadAlike) {
  std::string text;
  for (int i = 1; i <= 2000; ++i)
    text += "{\"op\":\"mcm\",\"pt\":" + std::to_string(i) +
            ",\"mc\":[{\"id\":\"1.2\",\"rc\":[{\"atb\":[[" + std::to_string(1.01 + i % 50) + "," +
            std::to_string(i) + "]],\"id\":" + std::to_string(i % 7) + "}]}]}" +
            (i % 3 ? "\r\n" : "\n");
  LoadResult plain = load_text(text);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->size(), 2000u);
  EXPECT_TRUE(plain == load_messages(ByteSource::gzip(gzip_for_tests(text))));
  EXPECT_FALSE(plain == load_text(text.substr(text.find('\n') + 1)));
}

TEST(MessageLoading, LineLongerThanTheBuffer) {
  std::string atb;
  for (int i = 0; i < 200000; ++i)
    atb += "[" + std::to_string(i) + ".5,1.25],";
  atb.pop_back();
  std::string line = "{\"pt\":9,\"mc\":[{\"rc\":[{\"atb\":[" + atb + "]}]}]}";
  ASSERT_GT(line.size(), StreamLineReader::kBufferSize * 2);
  LoadStats stats;
  LoadResult result = load_messages(ByteSource::plain("{\"pt\":1,\"mc\":[]}\n" + line), &stats);
  ASSERT_TRUE(result) << result.error().message;
  ASSERT_EQ(result->size(), 2u);
  EXPECT_EQ(stats.kept_line_bytes, line.size() + 16);
  JsonValue rc = (*(*result)[1].market_changes.array().begin()).object().find("rc");
  EXPECT_EQ((*rc.array().begin()).object().find("atb").array().size(), 200000u);
}

// The check runs before every read; its third call stops the load, here inside a line that never
// ends. A check that lets the load go on changes nothing.
TEST(MessageLoading, InterruptCheckStopsBetweenReads) {
  static int checks;
  static int stop_at;
  InterruptCheck check = []() noexcept { return ++checks == stop_at; };
  std::string endless(5 * StreamLineReader::kBufferSize, 'x');
  checks = 0;
  stop_at = 3;
  LoadResult stopped = load_messages(ByteSource::plain(endless), nullptr, check);
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error().kind, LoadError::Kind::Interrupted);
  EXPECT_EQ(checks, 3);
  std::string text = "{\"pt\":1,\"mc\":[]}\n{\"pt\":2,\"mc\":[]}\n";
  checks = 0;
  stop_at = 0;
  LoadResult loaded = load_messages(ByteSource::plain(text), nullptr, check);
  EXPECT_TRUE(loaded && *loaded == *load_text(text));
  EXPECT_GT(checks, 0);
}

TEST(MessageStore, RecordsSurviveChunkingAndShrinking) {
  // Records of all sizes, some above the own-chunk limit, the first of them one too.
  std::mt19937 random(7);
  std::vector<std::string> encoded;
  MessageStore store;
  for (int i = 0; i < 400; ++i) {
    size_t size = i == 0 ? MessageStore::kOwnChunkBytes + 1 : random() % 3000;
    if (i % 50 == 7)
      size = MessageStore::kOwnChunkBytes + random() % 100000;
    std::string payload(size, char('a' + i % 26));
    std::string change = "\x06" + std::string(1, char(0)) + payload; // not read, only kept
    store.add_single(change, i + 1);
    encoded.push_back(change);
  }
  store.shrink_to_fit();
  ASSERT_EQ(store.size(), encoded.size());
  for (size_t i = 0; i < store.size(); ++i) {
    std::string_view bytes = store[i].market_changes.bytes();
    ASSERT_GE(bytes.size(), encoded[i].size());
    EXPECT_EQ(bytes.substr(bytes.size() - encoded[i].size()), encoded[i]) << i;
    EXPECT_EQ(store[i].publish_time_epoch, int64_t(i + 1));
  }
  size_t content = 0;
  for (const std::string &change : encoded)
    content += change.size() + 4;
  EXPECT_LT(store.held_bytes(), content + content / 8);
}

TEST(RecordedFiles, KeptRecordCounts) {
  std::string dir = PELARUNE_RECORDED_DATA;
  for (auto [name, count] : {std::pair<const char *, size_t>{"BASIC-1.132153978", 480},
                             {"BASIC-1.132153978.gz", 480},
                             {"1.197931750", 166}}) {
    LoadResult result = load_stream_messages(dir + "/" + name);
    ASSERT_TRUE(result) << name << ": " << result.error().message;
    EXPECT_EQ(result->size(), count) << name;
  }
  LoadResult plain = load_stream_messages(dir + "/BASIC-1.132153978");
  EXPECT_TRUE(plain == load_stream_messages(dir + "/BASIC-1.132153978.gz"));
  EXPECT_EQ((*plain)[0].publish_time_epoch, 1497351220318);
}
