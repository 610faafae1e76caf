// The replayed state of one market and its runners, and how a market change is applied to it.
// This file stays free of Python.
#pragma once

#include "input/json_tape.h"
#include "market/market_definition.h"
#include "market/object_slot.h"
#include "market/price_ladder.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace pelarune {

// A starting price as the stream sends it: absent, a number or a text (such as "NaN").
struct PriceValue {
  enum class Kind : uint8_t { Absent, Number, Text };
  Kind kind = Kind::Absent;
  double number = 0.0;
  std::string text;

  friend bool operator==(const PriceValue &, const PriceValue &) = default;
};

// A runner's identity. handicap_key is the handicap x 100, rounded half away from zero and
// saturated to the signed 64-bit range (NaN gives 0), so handicaps match in hundredths.
struct RunnerKey {
  int64_t selection_id;
  int64_t handicap_key;
  friend bool operator==(const RunnerKey &, const RunnerKey &) = default;
  friend auto operator<=>(const RunnerKey &, const RunnerKey &) = default;
};

int64_t handicap_key(double handicap) noexcept;

// The market a change names: its "id" when that is a non-empty string.
std::optional<std::string_view> named_market(JsonValue change) noexcept;

struct RunnerKeyHash {
  size_t operator()(const RunnerKey &key) const noexcept {
    uint64_t h = uint64_t(key.selection_id) * 0x9E3779B97F4A7C15ull;
    h ^= uint64_t(key.handicap_key) + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2);
    return size_t(h ^ (h >> 32));
  }
};

#define PELARUNE_DECLARE_RUNNER_STATE(name, state_type, record_type, init, ...)                    \
  state_type name = init;

// A runner's fields as the market state keeps them.
struct RunnerData {
  PELARUNE_RUNNER_FIELDS(PELARUNE_DECLARE_RUNNER_STATE)
};

// The best-offers ladders that best-offers subscriptions record ("batb", "batl", "bdatb",
// "bdatl"), kept only when the market's rules ask for them.
struct BestOffers {
  PositionLadder batb, batl, bdatb, bdatl;
};

struct RunnerState : RunnerData {
  // handicap: as first seen; later entries rounding to the same key do not change it.
  RunnerState(int64_t selection_id_, double handicap_) noexcept {
    selection_id = selection_id_;
    handicap = handicap_;
  }

  PriceValue near_price;
  PriceValue far_price;
  PriceValue actual_sp;
  PriceLadder atb{true};
  PriceLadder atl{false};
  PriceLadder spl{false};
  PriceLadder spb{true};
  PriceLadder trd{false};
  std::unique_ptr<BestOffers> best_offers; // null until a best-offers key is kept
  uint64_t change_counter = 0;

  // Filled by the object layer: the Runner built at change_counter, and the price lists
  // built at each ladder's counter.
  ObjectSlot cached_runner;
  ObjectSlot cached_atb;
  ObjectSlot cached_atl;
  ObjectSlot cached_trd;
};

// How a change is read where betfairlightweight reads it otherwise. All are off for a plain
// replay; flumine's replay turns them on.
struct ChangeRules {
  bool empty_traded_clears = false; // "trd": [] empties the traded ladder
  bool keeps_best_offers = false;   // "batb", "batl", "bdatb" and "bdatl" are kept
  // A definition replaces the last one: a key it lacks reads as missing, in the definition's own
  // fields and in the adjustment factor and removal date of each runner it lists.
  bool replaces_definition = false;
  bool image_clears_total = false; // an "img" starts the total matched afresh, at 0
};

// What a change was, for a caller that keeps state beside the market's.
struct ChangeFacts {
  bool image = false;      // "img": true
  bool definition = false; // "marketDefinition" present
};

// The event type and event a change's definition gives, read by the definition's rows without
// applying the change: flumine's event filter decides whether a change applies at all.
struct DefinitionIds {
  bool present = false; // the change gives a definition
  RawValue event_type;  // any kind, as the definition gives it
  std::optional<std::string> event_id;
};
DefinitionIds definition_ids(JsonValue change);

// The book's own values (MarketBookData) with the definition, the runners and their caches.
class MarketState : public MarketBookData {
public:
  explicit MarketState(std::string market_id_, ChangeRules rules_ = {}) : rules(rules_) {
    market_id = std::move(market_id_);
  }
  MarketState(const MarketState &) = delete;
  MarketState &operator=(const MarketState &) = delete;

  // Applies one market change (any JSON value) with its record's publish time.
  ChangeFacts apply_change(JsonValue change, int64_t publish_time_epoch);

  // Runners in ascending (selection id, handicap key) order. Valid until the next change.
  const std::vector<RunnerState *> &sorted_runners();
  // Runners in the order the market met them: a definition's in its order, then those named only
  // by runner changes; an "img" starts the order afresh.
  const std::vector<RunnerState *> &runners_in_met_order() const noexcept { return met_order_; }

  const ChangeRules rules;

  MarketDefinitionData definition;
  std::vector<RunnerDefinitionData> runner_definitions;
  std::unordered_map<RunnerKey, RunnerState, RunnerKeyHash> runners;
  uint64_t definition_generation = 0;

  // Filled by the object layer: the MarketDefinition built at definition_generation.
  ObjectSlot cached_definition;

private:
  ChangeFacts apply_fields(JsonValue change);
  void apply_definition(JsonObject definition);
  void apply_definition_runners(JsonArray entries);
  void apply_runner_change(JsonValue change);
  void remove_all_runners() noexcept;
  void recount_runners() noexcept;
  RunnerState &find_or_create_runner(int64_t selection_id, double handicap);

  std::vector<RunnerState *> sorted_runners_;
  std::vector<RunnerState *> met_order_;
  bool sorted_dirty_ = true;   // set whenever a runner is added or all are removed
  bool statuses_dirty_ = true; // set whenever a runner is added or removed or a status changes
};

} // namespace pelarune
