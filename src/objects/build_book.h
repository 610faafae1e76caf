// Assembles a MarketBook from the market state, handing out again every cached Runner, price
// list and MarketDefinition whose counter did not move since it was built.
#pragma once

#include "binding/result.h"
#include "market/market_state.h"

#include <vector>

namespace pelarune {

// `scratch` holds ladder snapshots; passing the same vector each time saves its allocation.
// On a Python error the objects built so far stay cached; a definition that failed does not.
Result<PyRef> build_book(MarketState &market, std::vector<LadderEntry> &scratch);

} // namespace pelarune
