// Assembles a MarketBook from the market state, handing out again every cached Runner, price
// list and MarketDefinition whose counter did not move since it was built.
#pragma once

#include "binding/result.h"
#include "market/market_state.h"
#include "objects/market_definition.h"

#include <vector>

namespace pelarune {

// On a Python error the objects built so far stay cached; a definition that failed does not.
Result<PyRef> build_book(MarketState &market);

// The pieces of a book, for a replay that shows other values than pelarune's books.

// The runners as a list in the order given, each its cached Runner while its counter stands
// still. With BestOffers, a side whose full-depth ladder is empty shows the best display offers,
// else the best offers, as betfairlightweight does.
template <bool BestOffers> Result<PyRef> runner_list(const std::vector<RunnerState *> &runners);

// What a MarketDefinition shows besides its runners.
struct DefinitionParts {
  MarketDefinitionData values;
  PyRef market_time, open_date, suspend_time, settled_time; // datetime objects, or None
  MarketDefinitionRecord::LineFields line;
};

// The MarketDefinition built at the market's definition_generation, borrowed; else nullptr.
PyObject *cached_definition(const MarketState &market) noexcept;

// A new MarketDefinition of `parts` and the market's runner entries, cached at the market's
// definition_generation.
Result<PyRef> cache_definition(MarketState &market, DefinitionParts parts);

} // namespace pelarune
