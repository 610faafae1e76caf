// The MarketBook class: the market as it stood after one record.
#pragma once

#include "binding/class_object.h"
#include "market/market_definition.h"

#include <cstdint>
#include <optional>

namespace pelarune {

// A copy of the market's MarketStatusData and MarketBookData, whose fields are attributes, and
// the objects of the book.
struct MarketBookRecord : MarketStatusData, MarketBookData {
  static constexpr const char *kName = "MarketBook";
  static constexpr bool kGuarded = true;

  std::optional<int32_t> streaming_unique_id; // set only from Python
  PyRef publish_time;                         // a datetime
  PyRef runners;                              // a list of Runner, new for every book
  PyRef market_definition;                    // a MarketDefinition, or None
};

} // namespace pelarune
