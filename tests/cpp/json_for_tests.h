// JSON text turned into the tape form the market engine reads, for the engine's tests.
#pragma once

#include "input/json_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace pelarune {

// Owns the tape of one parsed text; value() is valid while this object lives.
class Json {
public:
  explicit Json(std::string text) {
    JsonParser parser;
    // The parser writes a NUL at text[size()], which a std::string provides.
    auto parsed = parser.parse(text.data(), text.size(), tape_);
    EXPECT_TRUE(parsed) << parsed.error().message << " in " << text;
    if (!parsed) { // an empty array keeps the failing test from reading garbage
      std::string empty = "[]";
      (void)parser.parse(empty.data(), empty.size(), tape_);
    }
  }
  JsonValue value() const { return JsonValue(reinterpret_cast<const uint8_t *>(tape_.data())); }
  JsonArray array() const { return value().array(); }

private:
  std::string tape_;
};

} // namespace pelarune
