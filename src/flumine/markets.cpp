// flumine's historical stream over the engine: every market of a file with its own state, and
// flumine 3.3's listener filters (FlumineMarketStream._process) in its order and arithmetic, so
// that a record flumine hands out nothing for costs the apply alone. This file stays free of
// Python.
#include "flumine/markets.h"

#include "market/civil_time.h"

#include <climits>
#include <string>

namespace pelarune {
namespace {

constexpr std::string_view kImg = "img";
constexpr std::string_view kMarketDefinition = "marketDefinition";
constexpr std::string_view kStatus = "status";
constexpr std::string_view kInPlay = "inPlay";
constexpr std::string_view kEventTypeId = "eventTypeId";
constexpr std::string_view kActiveRunners = "numberOfActiveRunners";

// What betfairlightweight's rules change in the engine for this replay.
constexpr ChangeRules kRules{
    .empty_traded_clears = true, .keeps_best_offers = true, .replaces_definition = true};

// Python's truth value of a JSON value; a missing one is None.
bool truthy(JsonValue value) noexcept {
  if (!value || value.is_null())
    return false;
  if (value.is_bool())
    return value.bool_value();
  if (value.is_number())
    return value.number_value() != 0.0;
  if (value.is_string())
    return !value.string_value().empty();
  if (value.is_array())
    return !value.array().empty();
  return !value.object().empty();
}

// str() of a definition's eventTypeId as flumine compares it: "None" when missing.
std::string python_str(JsonValue value) {
  if (!value || value.is_null())
    return "None";
  if (value.is_string())
    return std::string(value.string_value());
  if (value.is_bool())
    return value.bool_value() ? "True" : "False";
  if (value.is_uint())
    return std::to_string(value.uint_value());
  if (value.is_negint())
    return std::to_string(value.negint_value());
  return {}; // a fractional number, a list or an object: matched by no id
}

bool excluded_event_type(const FlumineFilters &filters, JsonValue definition) {
  JsonValue id = definition.is_object() ? definition.object().find(kEventTypeId) : JsonValue();
  std::string text = python_str(id);
  for (const std::string &wanted : *filters.event_type_ids)
    if (wanted == text && (!text.empty() || id.is_string()))
      return false;
  return true;
}

// A definition's ladder type and line units; a value of another JSON type is none.
template <class Field> FlumineLineFields line_fields(const Field &field) {
  auto number = [&field](std::string_view key) -> std::optional<double> {
    JsonValue value = field(key);
    return value && value.is_number() ? std::optional<double>(value.number_value()) : std::nullopt;
  };
  FlumineLineFields line{std::nullopt, number("lineMaxUnit"), number("lineMinUnit"),
                         number("lineInterval")};
  JsonValue ladder = field("priceLadderDefinition");
  if (ladder && ladder.is_object())
    if (JsonValue type = ladder.object().find("type"); type && type.is_string())
      line.price_ladder_type = std::string(type.string_value());
  return line;
}

// A new market cache, as flumine makes one for a market first met or for an "img".
void new_cache(FlumineMarket &market, std::string_view market_id) {
  if (!market.state)
    market.state = std::make_unique<MarketState>(std::string(market_id), kRules);
  market.open = false;
  market.in_play = false;
  market.market_time_us.reset();
  market.active_runners.reset();
  market.state->total_matched = 0.0; // betfairlightweight's new cache starts at 0
}

} // namespace

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

// One change with a market id: flumine's filters, then the engine's apply. Returns whether the
// change leaves its market active, or none for a change flumine passes over.
std::optional<bool> FlumineMarkets::apply_change(std::string_view market_id, JsonValue change,
                                                 int64_t publish_time) {
  FlumineMarket &market = market_named(market_id);
  if (market.excluded)
    return std::nullopt;
  JsonObject object = change.object();
  JsonValue definition = object.find(kMarketDefinition);
  if (filters.event_type_ids && definition && excluded_event_type(filters, definition)) {
    market.excluded = true;
    return std::nullopt;
  }
  JsonValue image = object.find(kImg);
  if (!market.state || (image && image.is_true()))
    new_cache(market, market_id);

  bool was_in_play = market.in_play;
  // The filters read no state: the engine applies the change first, so that they read its
  // definition values.
  market.state->apply_change(change, publish_time);
  if (definition) {
    auto field = [definition](std::string_view key) {
      return definition.is_object() ? definition.object().find(key) : JsonValue();
    };
    JsonValue status = field(kStatus);
    market.open = status && status.is_string() && status.string_value() == "OPEN";
    market.in_play = truthy(field(kInPlay));
    market.market_time_us = market_time(market.state->definition.market_time_raw);
    market.line = line_fields(field);
    JsonValue count = field(kActiveRunners);
    market.active_runners.reset();
    if (count && (count.is_uint() || count.is_negint())) {
      int64_t value = count.is_uint() ? int64_t(count.uint_value()) : count.negint_value();
      if (count.is_negint() || count.uint_value() <= uint64_t(INT32_MAX))
        if (value >= INT32_MIN)
          market.active_runners = int32_t(value);
    }
  }
  if (filters.max_inplay_seconds && market.in_play && !was_in_play)
    market.in_play_since = publish_time;

  bool active = true;
  if (market.open) { // a market that is not open passes regardless
    if (filters.in_play_only) {
      if (!market.in_play)
        active = false;
    } else if (filters.seconds_to_start && market.market_time_us) {
      // timedelta.total_seconds(): whole microseconds over 10^6.
      double seconds_to_start = double(*market.market_time_us - publish_time * 1000) / 1e6;
      if (seconds_to_start > *filters.seconds_to_start)
        active = false;
    }
    if (filters.not_in_play && market.in_play)
      active = false;
    if (filters.max_inplay_seconds && market.in_play_since &&
        double(publish_time - *market.in_play_since) / 1000 > *filters.max_inplay_seconds)
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
bool FlumineMarkets::apply_record(JsonArray changes, int64_t publish_time) {
  bool active = false;
  for (JsonValue change : changes) {
    // flumine passes over a change without an "id".
    if (std::optional<std::string_view> market_id = named_market(change))
      if (std::optional<bool> passed = apply_change(*market_id, change, publish_time))
        active = *passed;
  }
  return active;
}

} // namespace pelarune
