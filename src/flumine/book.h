// A MarketBook as flumine's stream gives it, from the engine's state and what flumine's market
// cache knows of the market.
#pragma once

#include "binding/result.h"
#include "market/flumine_markets.h"
#include "market/market_state.h"

#include <cstdint>
#include <optional>

namespace pelarune {

// What a book of flumine's replay shows in place of the market state's own values.
struct FlumineBookValues {
  std::optional<int32_t> unique_id; // the stream's id
  PyObject *price_ladder_class;     // makes price_ladder_definition from the ladder type
  PyObject *strip_datetime;         // reads a definition time not in the exchange's form
};

// Runners in the order the market met them, the best offers on a side without full-depth prices,
// the definition as betfairlightweight reads it, the publish time made through the datetime C
// API.
Result<PyRef> build_flumine_book(MarketState &market, const FlumineBookValues &values);

// A definition time as betfairlightweight's strip_datetime reads it, naive: the exchange's own
// form natively, any other value through `strip_datetime`; None where that gives none, and for
// an array or object, on which it raises. `truth_first`: None for a false value, as for openDate.
Result<PyRef> flumine_definition_time(const RawValue &given, PyObject *strip_datetime,
                                      bool truth_first = false);

// The datetime's epoch microseconds, its fields read as UTC; none for another object.
Result<std::optional<int64_t>> datetime_epoch_microseconds(PyObject *datetime);

} // namespace pelarune
