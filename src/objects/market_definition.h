// The MarketDefinition class: the market's metadata, shared by books until a new definition.
#pragma once

#include "binding/class_object.h"
#include "binding/convert.h"
#include "market/market_definition.h"

namespace pelarune {

// A copy of the market's MarketDefinitionData, whose fields are the attributes, and the objects
// made from its runner entries and time texts.
struct MarketDefinitionRecord : MarketDefinitionData {
  static constexpr const char *kName = "MarketDefinition";
  static constexpr bool kGuarded = false;

  PyRef runners; // a list of MarketDefinitionRunner
  // datetime objects, or None.
  PyRef market_time, open_date, suspend_time, settled_time;
  // flumine's books show the line fields of the data above and the price ladder made from its
  // type; pelarune's show None for all four.
  PyRef price_ladder_definition = none(); // betfairlightweight's PriceLadderDescription
  bool line_fields_shown = false;
};

// The value as Python reads the JSON: None, bool, int, float or str; None for an array or object,
// whose items are not kept.
PyObject *new_value(const RawValue &value) noexcept;

} // namespace pelarune
