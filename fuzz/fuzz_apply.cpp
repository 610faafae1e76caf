// Fuzzes the market engine: each input line that parses as JSON is applied as a market change,
// in order, and the engine's invariants (engine_invariants.h) are checked after every change.
#include "engine_invariants.h"
#include "input/json_parser.h"
#include "market/market_state.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace pelarune;

// Nothing here fills the engine's object slots.
void pelarune::release_cached_object(CachedObject *) noexcept {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string input(reinterpret_cast<const char *>(data), size);
  JsonParser parser;
  std::string tape;
  MarketState state("1.1");
  fuzz::SeenCounters seen;

  fuzz::for_each_line(input, [&](std::string line) {
    if (!parser.parse(line.data(), line.size(), tape))
      return;
    JsonValue change(reinterpret_cast<const uint8_t *>(tape.data()));
    bool image =
        change.is_object() && change.object().find("img") && change.object().find("img").is_true();
    state.apply_change(change, 1);
    if (image)
      seen.runners.clear(); // recreated runners start their counters afresh
    if (!fuzz::engine_invariants_hold(state, seen))
      std::abort();
  });
  return 0;
}
