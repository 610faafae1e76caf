// The last market definition of each market a loaded file names. This file stays free of Python.
#include "tables/final_definitions.h"

#include "market/market_state.h"

#include <unordered_map>

namespace pelarune {
namespace {
constexpr std::string_view kMarketDefinition = "marketDefinition";
} // namespace

std::vector<FinalDefinition> final_definitions(const MessageStore &records) {
  std::vector<FinalDefinition> markets;
  std::unordered_map<std::string_view, size_t> index; // views into the records, which outlive it
  for (const StreamMessage &message : records) {
    for (JsonValue change : message.market_changes.array()) {
      std::optional<std::string_view> market_id = named_market(change);
      if (!market_id)
        continue;
      auto [at, added] = index.try_emplace(*market_id, markets.size());
      if (added)
        markets.push_back({*market_id, {}});
      JsonValue definition = change.object().find(kMarketDefinition);
      if (definition && definition.is_object())
        markets[at->second].definition = definition;
    }
  }
  return markets;
}

} // namespace pelarune
