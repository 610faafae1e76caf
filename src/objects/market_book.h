// The MarketBook class: the market as it stood after one record.
#pragma once

#include "binding/class_object.h"
#include "market/market_definition.h"

#include <cstdint>
#include <optional>
#include <string>

namespace pelarune {

// A copy of the market's MarketStatusData, whose fields are attributes, and the rest of the book.
struct MarketBookRecord : MarketStatusData {
  static constexpr const char *kName = "MarketBook";
  static constexpr bool kGuarded = true;

  std::optional<int64_t> last_match_time;
  std::string market_id;
  std::optional<int32_t> streaming_unique_id; // set only from Python
  PyRef publish_time;                         // a datetime
  PyRef runners;                              // a list of Runner, new for every book
  PyRef market_definition;                    // a MarketDefinition, or None
  int64_t publish_time_epoch = 0;             // milliseconds since the Unix epoch
  double total_matched = 0.0;
  int32_t number_of_runners = 0;
};

} // namespace pelarune
