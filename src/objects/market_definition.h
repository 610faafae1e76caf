// The MarketDefinition class: the market's metadata, shared by books until a new definition.
#pragma once

#include "binding/class_object.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelarune {

struct MarketDefinitionRecord {
  static constexpr const char *kName = "MarketDefinition";
  static constexpr bool kGuarded = false;

  std::optional<double> each_way_divisor;
  std::vector<std::string> regulators;
  std::string status;
  std::optional<std::string> event_id, event_type_id, event_name, market_type, country_code, venue,
      race_type, name, timezone, betting_type;
  // The definition's own texts of three of the times, kept for the dictionary export.
  std::optional<std::string> market_time_text, open_date_text, suspend_time_text;
  PyRef runners; // a list of MarketDefinitionRunner
  // datetime objects, or None.
  PyRef market_time, open_date, suspend_time, settled_time;
  double market_base_rate = 0.0;
  int64_t version = 0;
  int32_t bet_delay = 0;
  int32_t number_of_winners = 0;
  int32_t number_of_active_runners = 0;
  bool bsp_market = false;
  bool persistence_enabled = false;
  bool turn_in_play_enabled = false;
  bool discount_allowed = false;
  bool bsp_reconciled = false;
  bool complete = false;
  bool cross_matching = false;
  bool in_play = false;
  bool runners_voidable = false;
};

} // namespace pelarune
