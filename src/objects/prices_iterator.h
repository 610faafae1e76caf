// The PricesIterator class: the loaded records, a cursor and the followed market's state.
#pragma once

#include "binding/class_object.h"
#include "input/message_store.h"
#include "market/market_state.h"

#include <memory>

namespace pelarune {

struct PricesIteratorRecord {
  static constexpr const char *kName = "PricesIterator";
  static constexpr bool kGuarded = true;

  MessageStore records;
  size_t cursor = 0;
  std::unique_ptr<MarketState> market; // absent until a change names a market
};

} // namespace pelarune
