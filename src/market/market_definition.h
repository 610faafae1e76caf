// The market definition's values as the market holds them, and one entry of its runner list.
// The Python records inherit these types, so a field is declared here once.
// This file stays free of Python.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelarune {

// The market values that a book and its definition both show. Status, version, bet delay and
// the five flags are set by a change's own keys as well as by the definition's, and
// number_of_active_runners is counted from the runners.
struct MarketStatusData {
  std::string status = "OPEN";
  int64_t version = 0;
  int32_t bet_delay = 0;
  int32_t number_of_winners = 1;
  int32_t number_of_active_runners = 0;
  bool bsp_reconciled = false;
  bool complete = true;
  bool cross_matching = true;
  bool in_play = false;
  bool runners_voidable = false;
};

// A definition object copies these values as they stand when it is built, and keeps them until
// the next definition.
struct MarketDefinitionData : MarketStatusData {
  std::optional<double> each_way_divisor;
  std::vector<std::string> regulators;
  // Absent until a definition carries "betDelayModels": flumine's simulation reads it.
  std::optional<std::vector<std::string>> bet_delay_models;
  std::optional<std::string> event_id, event_type_id, event_name, market_type, country_code, venue,
      race_type, name, timezone, betting_type;
  // The times as the stream wrote them.
  std::optional<std::string> market_time_text, open_date_text, suspend_time_text, settled_time_text;
  double market_base_rate = 0.0;
  bool bsp_market = false;
  bool persistence_enabled = true;
  bool turn_in_play_enabled = false;
  bool discount_allowed = false;
};

// One entry of the last definition's "runners" array, as given.
struct RunnerDefinitionData {
  std::optional<double> adjustment_factor;
  std::optional<double> bsp;
  std::string status = "ACTIVE";
  std::optional<std::string> removal_date;
  std::optional<std::string> name;
  int64_t selection_id = 0;
  double handicap = 0.0;
  int32_t sort_priority = 0;
};

} // namespace pelarune
