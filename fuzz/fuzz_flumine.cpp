// Fuzzes flumine's replay over the engine: the first byte picks the listener filters, then each
// input line that parses as JSON is one record (an array of market changes, or one change), a
// second apart. After every record each market's runners are listed once each in the order met,
// the engine's invariants (engine_invariants.h) hold, counters never fall across records, and a
// record that hands out books hands out at least one. Whether the filters pass the right books
// is for the differential tests against flumine itself (test_flumine_stream.py).
#include "engine_invariants.h"
#include "input/json_parser.h"
#include "market/flumine_markets.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

using namespace pelarune;

// Nothing here fills the engine's object slots.
void pelarune::release_cached_object(CachedObject *) noexcept {}

namespace {

FlumineFilters filters_from(uint8_t bits) {
  FlumineFilters filters;
  filters.in_play_only = bits & 1;
  filters.not_in_play = bits & 2;
  if (bits & 4)
    filters.seconds_to_start = 300.0;
  if (bits & 8)
    filters.max_inplay_seconds = 2.0;
  if (bits & 16)
    filters.event_type_ids = std::vector<std::string>{"7"};
  return filters;
}

bool listed_once_in_met_order(const MarketState &state) {
  const auto &order = state.runners_in_met_order();
  std::set<const RunnerState *> distinct(order.begin(), order.end());
  if (order.size() != state.runners.size() || distinct.size() != order.size())
    return false;
  for (const auto &[key, runner] : state.runners)
    if (!distinct.count(&runner))
      return false;
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0)
    return 0;
  FlumineMarkets markets;
  markets.filters = filters_from(data[0]);
  std::string input(reinterpret_cast<const char *>(data) + 1, size - 1);
  JsonParser parser;
  std::string tape, wrapped;
  std::map<const MarketState *, fuzz::SeenCounters> seen;

  int64_t publish_time = 0;
  fuzz::for_each_line(input, [&](std::string line) {
    if (!parser.parse(line.data(), line.size(), tape))
      return;
    if (!JsonValue(reinterpret_cast<const uint8_t *>(tape.data())).is_array()) {
      wrapped = "[" + line + "]";
      if (!parser.parse(wrapped.data(), wrapped.size(), tape))
        return;
    }
    JsonValue record(reinterpret_cast<const uint8_t *>(tape.data()));
    // An "img" recreates its market's runners with counters afresh.
    std::set<std::string_view> images;
    for (JsonValue change : record.array())
      if (std::optional<std::string_view> market_id = named_market(change))
        if (JsonValue image = change.object().find("img"); image && image.is_true())
          images.insert(*market_id);
    publish_time += 1000;
    bool handed_out = markets.apply_record(record.array(), publish_time);
    bool any_active = false;
    for (FlumineMarket &market : markets.markets) {
      if (!market.state)
        continue;
      any_active |= market.active;
      if (!listed_once_in_met_order(*market.state))
        std::abort();
      fuzz::SeenCounters &counters = seen[market.state.get()];
      if (images.count(market.state->market_id))
        counters.runners.clear();
      if (!fuzz::engine_invariants_hold(*market.state, counters))
        std::abort();
    }
    if (handed_out && !any_active)
      std::abort(); // a record never hands out an empty list
  });
  return 0;
}
