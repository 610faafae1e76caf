// The StartingPrices class and the starting-price data a Runner keeps for it.
#pragma once

#include "binding/class_object.h"
#include "market/market_state.h"
#include "market/price_ladder.h"

#include <span>

namespace pelarune {

// The entries of a snapshot; none for a null one.
inline std::span<const LadderEntry> entries(const LadderSnapshot &snapshot) noexcept {
  if (!snapshot)
    return {};
  return *snapshot;
}

// A runner's starting prices as they were when its Runner was made. The Runners made while a
// ladder stands still share its snapshot.
struct StartingPriceData {
  LadderSnapshot back_stake_taken;    // the "spl" ladder, lowest price first
  LadderSnapshot lay_liability_taken; // the "spb" ladder, highest price first
  PriceValue near_price;
  PriceValue far_price;
  PriceValue actual_sp;
};

struct StartingPricesRecord {
  static constexpr const char *kName = "StartingPrices";
  static constexpr bool kGuarded = false;

  StartingPriceData data;
};

// None, a float or the text as received; nullptr when it could not be made.
PyObject *new_value(const PriceValue &value) noexcept;

} // namespace pelarune
