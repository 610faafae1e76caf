// Assembles a MarketBook from the market state, handing out again every cached Runner, price
// list and MarketDefinition whose counter did not move since it was built.
#pragma once

#include "binding/result.h"
#include "market/market_state.h"

namespace pelarune {

// On a Python error the objects built so far stay cached; a definition that failed does not.
Result<PyRef> build_book(MarketState &market);

} // namespace pelarune
