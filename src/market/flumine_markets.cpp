// flumine's historical stream over the engine: every market of a file with its own state, and
// flumine 3.3's listener filters (FlumineMarketStream._process) in its order and arithmetic, so
// that a record flumine hands out nothing for costs the apply alone. This file stays free of
// Python.
#include "market/flumine_markets.h"

#include "market/civil_time.h"

#include <climits>
#include <string>

namespace pelarune {
namespace {

// What betfairlightweight's rules change in the engine for this replay.
constexpr ChangeRules kRules{.empty_traded_clears = true,
                             .keeps_best_offers = true,
                             .replaces_definition = true,
                             .image_clears_total = true};

// str() of a definition's eventTypeId as flumine compares it: "None" when missing.
std::string python_str(const RawValue &value) {
  switch (value.kind) {
  case RawValue::Kind::Absent:
  case RawValue::Kind::Null:
    return "None";
  case RawValue::Kind::Text:
    return value.text;
  case RawValue::Kind::Bool:
    return value.non_empty ? "True" : "False";
  case RawValue::Kind::UInt:
    return std::to_string(value.uint);
  case RawValue::Kind::NegInt:
    return std::to_string(value.negint);
  default:
    return {}; // a fractional number, a list or an object: matched by no id
  }
}

bool excluded_event_type(const FlumineFilters &filters, const RawValue &id) {
  std::string text = python_str(id);
  for (const std::string &wanted : *filters.event_type_ids)
    if (wanted == text && (!text.empty() || id.is_text()))
      return false;
  return true;
}

} // namespace

bool truthy(const RawValue &value) noexcept {
  switch (value.kind) {
  case RawValue::Kind::Absent:
  case RawValue::Kind::Null:
    return false;
  case RawValue::Kind::UInt:
    return value.uint != 0;
  case RawValue::Kind::NegInt:
    return true;
  case RawValue::Kind::Double:
    return value.number != 0.0;
  case RawValue::Kind::Text:
    return !value.text.empty();
  default:
    return value.non_empty;
  }
}

std::optional<int32_t> definition_count(const RawValue &value) noexcept {
  if (value.kind == RawValue::Kind::UInt && value.uint <= uint64_t(INT32_MAX))
    return int32_t(value.uint);
  if (value.kind == RawValue::Kind::NegInt && value.negint >= INT32_MIN)
    return int32_t(value.negint);
  return std::nullopt;
}

FlumineMarket &FlumineMarkets::market_named(std::string_view market_id) {
  auto [it, inserted] = market_index.try_emplace(std::string(market_id), 0);
  if (inserted) {
    try {
      markets.emplace_back();
    } catch (...) {
      market_index.erase(it);
      throw;
    }
    it->second = markets.size() - 1;
  }
  return markets[it->second];
}

// One change with a market id: the engine's apply, then flumine's filters, which read no state
// but the definition's rows. Returns whether the change leaves its market active, or none for a
// change flumine passes over.
std::optional<bool> FlumineMarkets::apply_change(std::string_view market_id, JsonValue change,
                                                 int64_t publish_time_epoch) {
  FlumineMarket &market = market_named(market_id);
  if (market.excluded)
    return std::nullopt;
  if (filters.event_type_ids) {
    DefinitionIds ids = definition_ids(change);
    if (ids.present && excluded_event_type(filters, ids.event_type)) {
      market.excluded = true; // its state stays as flumine's cache keeps it
      return std::nullopt;
    }
  }
  bool new_cache = !market.state;
  if (new_cache)
    market.state = std::make_unique<MarketState>(std::string(market_id), kRules);
  ChangeFacts facts = market.state->apply_change(change, publish_time_epoch);
  if (new_cache || facts.image) { // flumine makes a new cache, which knows no definition yet
    market.open = false;
    market.in_play = false;
    market.market_time_us.reset();
  }

  bool was_in_play = market.in_play;
  if (facts.definition) {
    const MarketDefinitionData &definition = market.state->definition;
    market.open = definition.status_raw.is_text() && definition.status_raw.text == "OPEN";
    market.in_play = truthy(definition.in_play_raw);
    market.market_time_us = market_time(definition.market_time_raw);
  }
  if (filters.max_inplay_seconds && market.in_play && !was_in_play)
    market.in_play_since = publish_time_epoch;

  bool active = true;
  if (market.open) { // a market that is not open passes regardless
    if (filters.in_play_only) {
      if (!market.in_play)
        active = false;
    } else if (filters.seconds_to_start && market.market_time_us) {
      // timedelta.total_seconds(): whole microseconds over 10^6.
      double seconds_to_start = double(*market.market_time_us - publish_time_epoch * 1000) / 1e6;
      if (seconds_to_start > *filters.seconds_to_start)
        active = false;
    }
    if (filters.not_in_play && market.in_play)
      active = false;
    if (filters.max_inplay_seconds && market.in_play_since &&
        double(publish_time_epoch - *market.in_play_since) / 1000 > *filters.max_inplay_seconds)
      active = false;
  }
  market.active = active;
  return active;
}

std::optional<int64_t> FlumineMarkets::market_time(const RawValue &given) {
  if (given.is_text())
    if (std::optional<CivilTime> time = parse_exchange_time(given.text))
      return epoch_microseconds(*time);
  if (given.kind == RawValue::Kind::Absent || time_reader == nullptr)
    return std::nullopt;
  return time_reader->epoch_microseconds(given);
}

// Applies one record; whether flumine's stream yields for it.
bool FlumineMarkets::apply_record(JsonArray changes, int64_t publish_time_epoch) {
  bool active = false;
  for (JsonValue change : changes) {
    // flumine passes over a change without an "id".
    if (std::optional<std::string_view> market_id = named_market(change))
      if (std::optional<bool> passed = apply_change(*market_id, change, publish_time_epoch))
        active = *passed;
  }
  return active;
}

} // namespace pelarune
