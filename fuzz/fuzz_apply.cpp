// Fuzzes the market engine: each input line that parses as JSON is applied as a market change,
// in order, and the engine's invariants are checked after every change: no zero-size level,
// snapshots ordered, counts consistent with the runners, counters never decreasing.
#include "input/json_parser.h"
#include "market/market_state.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

using namespace pelarune;

namespace {

void check(bool condition) {
  if (!condition)
    std::abort();
}

void check_ladder(const PriceLadder &ladder, uint64_t &last_counter) {
  check(ladder.change_counter() >= last_counter);
  last_counter = ladder.change_counter();
  std::span<const LadderEntry> entries = ladder.snapshot();
  check(entries.size() == ladder.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    check(entries[i].size != 0.0);
    if (i > 0)
      check(ladder.descending() ? entries[i - 1].price >= entries[i].price
                                : entries[i - 1].price <= entries[i].price);
  }
}

struct Counters {
  uint64_t runner = 0;
  uint64_t ladders[5] = {};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string input(reinterpret_cast<const char *>(data), size);
  JsonParser parser;
  std::string tape;
  MarketState state("1.1");
  uint64_t generation = 0;
  std::map<RunnerKey, Counters> seen;

  size_t begin = 0;
  while (begin <= input.size()) {
    size_t end = input.find('\n', begin);
    if (end == std::string::npos)
      end = input.size();
    std::string line = input.substr(begin, end - begin);
    begin = end + 1;
    if (!parser.parse(line.data(), line.size(), tape))
      continue;
    JsonValue change(reinterpret_cast<const uint8_t *>(tape.data()));
    bool image =
        change.is_object() && change.object().find("img") && change.object().find("img").is_true();
    state.apply_change(change, 1);
    if (image)
      seen.clear(); // recreated runners start their counters afresh

    check(state.definition_generation >= generation);
    generation = state.definition_generation;
    check(size_t(state.number_of_runners) == state.runners.size());
    int32_t active = 0;
    for (const auto &[key, runner] : state.runners)
      active += runner.status == "ACTIVE";
    check(active == state.definition.number_of_active_runners);

    const auto &sorted = state.sorted_runners();
    check(sorted.size() == state.runners.size());
    for (size_t i = 0; i < sorted.size(); ++i) {
      RunnerKey key{sorted[i]->selection_id, handicap_key(sorted[i]->handicap)};
      if (i > 0) {
        RunnerKey previous{sorted[i - 1]->selection_id, handicap_key(sorted[i - 1]->handicap)};
        check(previous < key);
      }
      Counters &counters = seen[key];
      check(sorted[i]->change_counter >= counters.runner);
      counters.runner = sorted[i]->change_counter;
      const PriceLadder *ladders[] = {&sorted[i]->atb, &sorted[i]->atl, &sorted[i]->trd,
                                      &sorted[i]->spb, &sorted[i]->spl};
      for (int l = 0; l < 5; ++l)
        check_ladder(*ladders[l], counters.ladders[l]);
    }
  }
  return 0;
}
