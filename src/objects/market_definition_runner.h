// The MarketDefinitionRunner class: one runner entry of a market definition, as given.
#pragma once

#include "binding/class_object.h"
#include "market/market_definition.h"

namespace pelarune {

// A copy of the entry's RunnerDefinitionData, whose fields are the attributes.
struct MarketDefinitionRunnerRecord : RunnerDefinitionData {
  static constexpr const char *kName = "MarketDefinitionRunner";
  static constexpr bool kGuarded = false;
};

} // namespace pelarune
