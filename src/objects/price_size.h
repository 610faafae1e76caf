// The PriceSize class, and the list of PriceSize objects that shows a ladder snapshot.
#pragma once

#include "binding/class_object.h"
#include "market/price_ladder.h"

#include <span>

namespace pelarune {

struct PriceSizeRecord {
  static constexpr const char *kName = "PriceSize";
  static constexpr bool kGuarded = false;

  double price;
  double size;
};

// A new list of new PriceSize objects, one per entry, in the given order.
Result<PyRef> price_size_list(std::span<const LadderEntry> entries);

} // namespace pelarune
