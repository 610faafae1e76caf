// The MarketDefinition class: the market's metadata, shared by books until a new definition.
#pragma once

#include "binding/class_object.h"
#include "binding/convert.h"
#include "market/market_definition.h"

#include <optional>

namespace pelarune {

// A copy of the market's MarketDefinitionData, whose fields are the attributes, and the objects
// made from its runner entries and time texts.
struct MarketDefinitionRecord : MarketDefinitionData {
  static constexpr const char *kName = "MarketDefinition";
  static constexpr bool kGuarded = false;

  PyRef runners; // a list of MarketDefinitionRunner
  // datetime objects, or None.
  PyRef market_time, open_date, suspend_time, settled_time;
  // Filled by flumine's replay only, as flumine's stream shows them; None on pelarune's books.
  struct LineFields {
    PyRef price_ladder_definition = none(); // flumine's PriceLadderDescription
    std::optional<double> line_max_unit, line_min_unit, line_interval;
  } line;
};

// The value as Python reads the JSON: None, bool, int, float or str; None for an array or object,
// whose items are not kept.
PyObject *new_value(const RawValue &value) noexcept;

} // namespace pelarune
