// The last definition of each market a loaded file names, without an interpreter.
#include "tables/final_definitions.h"

#include "input/loader.h"

#include <gtest/gtest.h>

#include <string>

using namespace pelarune;

namespace {

MessageStore loaded(std::string_view text) {
  LoadResult result = load_messages(ByteSource::plain(text));
  EXPECT_TRUE(result);
  return std::move(*result);
}

std::string_view market_type(const FinalDefinition &market) {
  if (!market.definition)
    return "(none)";
  if (!market.definition.is_object())
    return "(not an object)";
  JsonValue type = market.definition.object().find("marketType");
  return type && type.is_string() ? type.string_value() : "(no type)";
}

// Markets interleave as in an event's file; each later definition replaces the last one whole,
// whatever else its change carries, and changes that name no market are passed over.
TEST(FinalDefinitions, EachMarketKeepsItsLastDefinitionInTheOrderFirstMet) {
  MessageStore records = loaded(
      R"({"pt":1,"mc":[{"id":"1.2","rc":[]},{"id":"1.1","marketDefinition":{"marketType":"A"}}]})"
      "\n"
      R"({"pt":2,"mc":[{"id":"1.2","marketDefinition":{"marketType":"B"}},{"id":"1.1",)"
      R"("marketDefinition":{"venue":"V"}}]})"
      "\n"
      R"({"pt":3,"id":"1.2","marketDefinition":{"marketType":"C"}})"
      "\n"
      R"({"pt":4,"mc":[{"marketDefinition":{"marketType":"X"}},{"id":"","marketDefinition":{}},)"
      R"({"id":"1.2","marketDefinition":null},{"id":"1.3","rc":[]}]})"
      "\n");
  std::vector<FinalDefinition> markets = final_definitions(records);
  ASSERT_EQ(markets.size(), 3u);
  EXPECT_EQ(markets[0].market_id, "1.2");
  EXPECT_EQ(market_type(markets[0]), "C");
  EXPECT_EQ(markets[1].market_id, "1.1");
  EXPECT_EQ(market_type(markets[1]), "(no type)");
  EXPECT_EQ(markets[2].market_id, "1.3");
  EXPECT_EQ(market_type(markets[2]), "(none)");
}

} // namespace
