// The ExchangePrices class: a runner's three exchange price lists.
#pragma once

#include "binding/class_object.h"

namespace pelarune {

struct ExchangePricesRecord {
  static constexpr const char *kName = "ExchangePrices";
  static constexpr bool kGuarded = true;

  // Lists of PriceSize objects, shared with the runner's cache and with other Runners.
  PyRef available_to_back;
  PyRef available_to_lay;
  PyRef traded_volume;
};

} // namespace pelarune
