// The market engine's invariants, checked after every change by the apply fuzz target and by the
// out-of-memory tests: no zero-size level, snapshots ordered, counts consistent with the runners,
// counters never decreasing.
#pragma once

#include "market/market_state.h"

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>

namespace pelarune::fuzz {

// Calls `each` with a copy of every newline-separated line of a fuzz input (the parser works in
// place), the last one unterminated.
template <class Each> void for_each_line(std::string_view input, Each &&each) {
  size_t begin = 0;
  while (begin <= input.size()) {
    size_t end = input.find('\n', begin);
    if (end == std::string_view::npos)
      end = input.size();
    each(std::string(input.substr(begin, end - begin)));
    begin = end + 1;
  }
}

// The counters seen after the previous change. An image recreates its runners with fresh
// counters, so the caller clears `runners` after a change carrying "img": true.
struct SeenCounters {
  struct Runner {
    uint64_t runner = 0;
    uint64_t ladders[5] = {};
  };
  uint64_t generation = 0;
  std::map<RunnerKey, Runner> runners;
};

inline bool ladder_holds(const PriceLadder &ladder, uint64_t &last_counter) {
  if (ladder.change_counter() < last_counter)
    return false;
  last_counter = ladder.change_counter();
  std::span<const LadderEntry> entries = ladder.snapshot();
  if (entries.size() != ladder.size())
    return false;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].size == 0.0)
      return false;
    if (i > 0 && !(ladder.descending() ? entries[i - 1].price >= entries[i].price
                                       : entries[i - 1].price <= entries[i].price))
      return false;
  }
  return true;
}

// Whether the state keeps every invariant; updates `seen` to the counters now.
inline bool engine_invariants_hold(MarketState &state, SeenCounters &seen) {
  if (state.definition_generation < seen.generation)
    return false;
  seen.generation = state.definition_generation;
  if (size_t(state.number_of_runners) != state.runners.size())
    return false;
  int32_t active = 0;
  for (const auto &[key, runner] : state.runners)
    active += runner.status == "ACTIVE";
  if (active != state.definition.number_of_active_runners)
    return false;

  const auto &sorted = state.sorted_runners();
  if (sorted.size() != state.runners.size())
    return false;
  for (size_t i = 0; i < sorted.size(); ++i) {
    auto key_of = [](const RunnerState *runner) {
      return RunnerKey{runner->selection_id, handicap_key(runner->handicap)};
    };
    RunnerKey key = key_of(sorted[i]);
    if (i > 0 && !(key_of(sorted[i - 1]) < key))
      return false;
    SeenCounters::Runner &counters = seen.runners[key];
    if (sorted[i]->change_counter < counters.runner)
      return false;
    counters.runner = sorted[i]->change_counter;
    const PriceLadder *ladders[] = {&sorted[i]->atb, &sorted[i]->atl, &sorted[i]->trd,
                                    &sorted[i]->spb, &sorted[i]->spl};
    for (int l = 0; l < 5; ++l)
      if (!ladder_holds(*ladders[l], counters.ladders[l]))
        return false;
  }
  return true;
}

} // namespace pelarune::fuzz
