// A ladder's levels as a vector that outlives later updates, to compare with expected ones.
#pragma once

#include "market/price_ladder.h"

#include <vector>

namespace pelarune {

inline std::vector<LadderEntry> levels(const PriceLadder &ladder) {
  auto snapshot = ladder.snapshot();
  return {snapshot.begin(), snapshot.end()};
}

} // namespace pelarune
