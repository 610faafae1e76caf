// JSON number kinds, limits and error texts of the line parser.
#include "input/json_parser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace pelarune;

namespace {

struct Parsed {
  bool ok;
  std::string tape;
  std::string error;
  JsonValue value() const { return JsonValue(reinterpret_cast<const uint8_t *>(tape.data())); }
};

Parsed parse(std::string text) {
  Parsed result;
  auto parsed = JsonParser().parse(text.data(), text.size(), result.tape);
  result.ok = bool(parsed);
  result.error = parsed ? "" : parsed.error().message;
  return result;
}

} // namespace

TEST(JsonNumbers, KindsStayApart) {
  auto u = parse("5");
  ASSERT_TRUE(u.ok);
  EXPECT_TRUE(u.value().is_uint());
  EXPECT_EQ(u.value().uint_value(), 5u);

  auto d = parse("5.0");
  ASSERT_TRUE(d.ok);
  EXPECT_TRUE(d.value().is_double());
  EXPECT_EQ(d.value().double_value(), 5.0);

  auto n = parse("-5");
  ASSERT_TRUE(n.ok);
  EXPECT_TRUE(n.value().is_negint());
  EXPECT_EQ(n.value().negint_value(), -5);
}

TEST(JsonNumbers, IntegerLimits) {
  auto max = parse("18446744073709551615");
  ASSERT_TRUE(max.ok);
  ASSERT_TRUE(max.value().is_uint());
  EXPECT_EQ(max.value().uint_value(), UINT64_MAX);

  auto min = parse("-9223372036854775808");
  ASSERT_TRUE(min.ok);
  ASSERT_TRUE(min.value().is_negint());
  EXPECT_EQ(min.value().negint_value(), INT64_MIN);

  for (const char *text :
       {"18446744073709551616", "-9223372036854775809", "123456789012345678901234567890"}) {
    auto big = parse(text);
    ASSERT_TRUE(big.ok) << text;
    ASSERT_TRUE(big.value().is_double()) << text;
    EXPECT_EQ(big.value().double_value(), std::strtod(text, nullptr)) << text;
  }
}

// Small integers and signed decimals have short forms of their own: read back, and skipped
// within an array, at the edges of each form.
TEST(JsonNumbers, CompactFormsReadBack) {
  auto a = parse("[0,127,128,16383,-1,-0.01,-3.25,0.01,-1234.5,-999999999999.999,7]");
  ASSERT_TRUE(a.ok);
  std::vector<JsonValue> items;
  for (JsonValue item : a.value().array())
    items.push_back(item);
  ASSERT_EQ(items.size(), 11u);
  uint64_t uints[] = {0, 127, 128, 16383};
  for (size_t i = 0; i < 4; ++i) {
    ASSERT_TRUE(items[i].is_uint()) << i;
    EXPECT_FALSE(items[i].is_double()) << i;
    EXPECT_EQ(items[i].uint_value(), uints[i]);
  }
  EXPECT_TRUE(items[4].is_negint());
  const char *doubles[] = {"-0.01", "-3.25", "0.01", "-1234.5", "-999999999999.999"};
  for (size_t i = 0; i < 5; ++i) {
    ASSERT_TRUE(items[5 + i].is_double()) << doubles[i];
    EXPECT_FALSE(items[5 + i].is_uint()) << doubles[i];
    EXPECT_EQ(std::bit_cast<uint64_t>(items[5 + i].double_value()),
              std::bit_cast<uint64_t>(std::strtod(doubles[i], nullptr)))
        << doubles[i];
  }
  EXPECT_EQ(items[10].uint_value(), 7u);
  EXPECT_EQ(parse("0").tape.size(), 1u); // a size of 0 is one byte
}

TEST(JsonNumbers, NegativeZeroIsADouble) {
  auto z = parse("-0");
  ASSERT_TRUE(z.ok);
  ASSERT_TRUE(z.value().is_double());
  EXPECT_TRUE(std::signbit(z.value().double_value()));
  auto zz = parse("-0.0");
  ASSERT_TRUE(zz.ok);
  EXPECT_TRUE(std::signbit(zz.value().double_value()));
}

TEST(JsonNumbers, DoublesAreNearest) {
  for (const char *text : {"1.01", "123.45", "0.1", "1e-7", "1.5e3", "2.2250738585072014e-308",
                           "4.9e-324", "1e-400", "1.7976931348623157e308", "0.30000000000000004",
                           "1234567890.123456789", "-3.25", "1E2", "1e+2", "100e-2"}) {
    auto v = parse(text);
    ASSERT_TRUE(v.ok) << text;
    ASSERT_TRUE(v.value().is_double()) << text;
    double expected = std::strtod(text, nullptr);
    EXPECT_EQ(std::bit_cast<uint64_t>(v.value().double_value()), std::bit_cast<uint64_t>(expected))
        << text;
  }
}

TEST(JsonNumbers, OverflowFails) {
  for (const char *text : {"1e400", "1.8e308", "-1e309", "[10e308]"}) {
    auto v = parse(text);
    EXPECT_FALSE(v.ok) << text;
    EXPECT_NE(v.error.find("column"), std::string::npos) << v.error;
  }
}

TEST(JsonLimits, NestingDepth) {
  std::string ok = std::string(127, '[') + std::string(127, ']');
  EXPECT_TRUE(parse(ok).ok);
  std::string deep = std::string(128, '[') + std::string(128, ']');
  auto v = parse(deep);
  EXPECT_FALSE(v.ok);
  EXPECT_NE(v.error.find("column 128"), std::string::npos) << v.error;
}

TEST(JsonLimits, OnlyJsonWhiteSpaceAround) {
  EXPECT_TRUE(parse(" \t{\"a\":1}\r\n ").ok);
  EXPECT_FALSE(parse("{\"a\":1}\xC2\xA0").ok);
  EXPECT_FALSE(parse("\xEF\xBB\xBF{\"a\":1}").ok);
  EXPECT_FALSE(parse("{\"a\":1} {}").ok);
  EXPECT_FALSE(parse(std::string("{\"a\":1}\0x", 9)).ok);
  EXPECT_FALSE(parse("\"a\tb\"").ok);
}

TEST(JsonObjects, LaterDuplicateWins) {
  auto v = parse(R"({"pt":1,"x":[1,{"y":"z"}],"pt":2})");
  ASSERT_TRUE(v.ok);
  JsonValue pt = v.value().object().find("pt");
  ASSERT_TRUE(pt);
  EXPECT_EQ(pt.uint_value(), 2u);
  EXPECT_FALSE(v.value().object().find("missing"));
}

TEST(JsonStrings, EscapesDecoded) {
  auto v = parse(R"(["a\"b\\c\u00e9\ud83d\ude00\n"])");
  ASSERT_TRUE(v.ok);
  JsonValue s = *v.value().array().begin();
  EXPECT_EQ(s.string_value(), "a\"b\\c\xC3\xA9\xF0\x9F\x98\x80\n");
  EXPECT_FALSE(parse(R"("\ud800")").ok);
}

TEST(JsonStrings, LoneLowSurrogateEscapeFails) {
  // Its UTF-8 form would be no UTF-8 at all, and no Python str can hold it.
  for (const char *text : {R"(["\udc00"])", R"({"id":"1.\udfff"})", R"({"\udc80":1})"}) {
    auto v = parse(text);
    EXPECT_FALSE(v.ok) << text;
    EXPECT_EQ(v.error.rfind("The surrogate pair in string is invalid at column ", 0), 0u)
        << v.error;
  }
  auto pair = parse(R"(["\ud800\udc00\u07ff\ud7ff\ue000"])");
  ASSERT_TRUE(pair.ok);
  EXPECT_EQ((*pair.value().array().begin()).string_value(),
            "\xF0\x90\x80\x80\xDF\xBF\xED\x9F\xBF\xEE\x80\x80");
}

TEST(JsonTape, LongContainersSkip) {
  std::string text = "[[";
  for (int i = 0; i < 1000; ++i)
    text += std::to_string(i) + ".25,";
  text += "0],{\"k\":\"" + std::string(300, 'x') + "\"},true]";
  auto v = parse(text);
  ASSERT_TRUE(v.ok);
  auto items = v.value().array();
  ASSERT_EQ(items.size(), 3u);
  auto it = items.begin();
  EXPECT_EQ((*it).array().size(), 1001u);
  ++it;
  EXPECT_EQ((*it).object().find("k").string_value().size(), 300u);
  ++it;
  EXPECT_TRUE((*it).is_true());
}

// The reader counts digits and refuses some literals whose value a double holds.
TEST(JsonNumbers, InRangeLiteralsTheReaderMisjudges) {
  struct Case {
    std::string text;
    double expected;
  };
  std::vector<Case> cases = {
      {"0e309", 0.0},
      {"-0e999", -0.0},
      {"0E+400", 0.0},
      {"1" + std::string(320, '0') + "e-300", 1e20},
      {std::string(400, '9') + "e-380",
       std::strtod((std::string(400, '9') + "e-380").c_str(), nullptr)},
  };
  for (const Case &c : cases) {
    // Escapes before and after the literal: the retry must see the line as it was.
    auto v = parse(R"(["a\"b",)" + c.text + R"(,"\u00e9"])");
    ASSERT_TRUE(v.ok) << c.text.substr(0, 20) << ": " << v.error;
    auto it = v.value().array().begin();
    EXPECT_EQ((*it).string_value(), "a\"b");
    ++it;
    ASSERT_TRUE((*it).is_double());
    EXPECT_EQ(std::bit_cast<uint64_t>((*it).double_value()), std::bit_cast<uint64_t>(c.expected));
    ++it;
    EXPECT_EQ((*it).string_value(), "\xC3\xA9");
  }
  for (std::string overflow :
       {std::string("1e309"), std::string("-1e400"), "2" + std::string(308, '0')}) {
    auto v = parse("[" + overflow + "]");
    EXPECT_FALSE(v.ok) << overflow.substr(0, 20);
    EXPECT_NE(v.error.find("column 2"), std::string::npos) << v.error;
  }
}

TEST(JsonStrings, RawControlCharacterNamed) {
  auto v = parse("[\"a\tb\"]");
  ASSERT_FALSE(v.ok);
  EXPECT_EQ(v.error, "Unescaped control character in string at column 4");
}
