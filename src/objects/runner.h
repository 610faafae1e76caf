// The Runner class: one runner of a book, as its state was when the Runner was made.
#pragma once

#include "binding/class_object.h"
#include "objects/starting_prices.h"

#include <cstdint>
#include <optional>
#include <string>

namespace pelarune {

#define PELARUNE_DECLARE_RUNNER_RECORD(name, state_type, record_type, ...) record_type name{};

// A runner's fields as its Runner keeps them.
struct RunnerRecordFields {
  PELARUNE_RUNNER_FIELDS(PELARUNE_DECLARE_RUNNER_RECORD)
};

struct RunnerRecord : RunnerRecordFields {
  static constexpr const char *kName = "Runner";
  static constexpr bool kGuarded = false;

  StartingPriceData starting_prices;
  PyRef ex; // its ExchangePrices
};

} // namespace pelarune
