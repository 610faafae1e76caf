// The Runner class: one runner of a book, as its state was when the Runner was made.
#pragma once

#include "binding/class_object.h"
#include "objects/starting_prices.h"

#include <cstdint>
#include <optional>
#include <string>

namespace pelarune {

struct RunnerRecord {
  static constexpr const char *kName = "Runner";
  static constexpr bool kGuarded = false;

  std::optional<double> adjustment_factor;
  std::optional<double> last_price_traded;
  StartingPriceData starting_prices;
  std::optional<std::string> removal_date;
  PyRef status; // a str, made once so every read returns the same object
  PyRef ex;     // its ExchangePrices
  int64_t selection_id = 0;
  double handicap = 0.0;
  double total_matched = 0.0;
};

} // namespace pelarune
