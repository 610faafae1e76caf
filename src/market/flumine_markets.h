// The markets of a file as flumine's historical stream follows them: each with the engine's state
// and what flumine's market cache knows of it, and flumine's listener filters deciding, record by
// record, which markets it hands out. This file stays free of Python.
#pragma once

#include "input/json_tape.h"
#include "market/market_state.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace pelarune {

// flumine's HistoricListener options, as its stream tests them.
struct FlumineFilters {
  bool in_play_only = false; // `inplay` is true
  bool not_in_play = false;  // `inplay` is False
  std::optional<double> seconds_to_start;
  std::optional<double> max_inplay_seconds;
  std::optional<std::vector<std::string>> event_type_ids; // as str() of each given id
};

// Reads a definition time that is not in the exchange's own form, as flumine's books read it:
// epoch microseconds, or none when the reader gives no time.
class TimeReader {
public:
  virtual std::optional<int64_t> epoch_microseconds(const RawValue &given) = 0;

protected:
  ~TimeReader() = default;
};

// One market of the file: the engine's state and flumine's market cache flags.
struct FlumineMarket {
  std::unique_ptr<MarketState> state; // null for a market excluded before its first change
  bool active = false;                // its book is handed out
  bool excluded = false;              // by event_type_ids; its state stays as it was
  // From the latest definition since the cache was made (an "img" makes a new cache).
  bool open = false;
  bool in_play = false;
  std::optional<int64_t> market_time_us;
  std::optional<int64_t> in_play_since; // the publish time at which it turned in play
};

// Python's truth value of a definition value; a missing one is None.
bool truthy(const RawValue &value) noexcept;

// A definition's numberOfActiveRunners as flumine's books show it, when it fits an int32.
std::optional<int32_t> definition_count(const RawValue &value) noexcept;

class FlumineMarkets {
public:
  // Applies one record's changes; whether flumine's stream hands out the active markets' books
  // for it: the record's last change naming a market that is not excluded left it active.
  bool apply_record(JsonArray changes, int64_t publish_time_epoch);

  FlumineFilters filters;
  std::vector<FlumineMarket> markets; // in the order first met
  TimeReader *time_reader = nullptr;  // none: only the exchange's own form gives a market time

private:
  std::optional<int64_t> market_time(const RawValue &given);
  std::optional<bool> apply_change(std::string_view market_id, JsonValue change,
                                   int64_t publish_time_epoch);
  FlumineMarket &market_named(std::string_view market_id);

  std::unordered_map<std::string, size_t> market_index;
};

} // namespace pelarune
