// One side of a runner's price book: price level -> size, updated by stream deltas.
// This file stays free of Python.
#pragma once

#include "input/json_value.h"

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace pelarune {

struct LadderEntry {
  double price;
  double size;
  friend bool operator==(const LadderEntry &, const LadderEntry &) = default;
};

class PriceLadder {
public:
  explicit PriceLadder(bool descending) noexcept : descending_(descending) {}

  // Applies one batch of [price, size] deltas in order. Returns whether any step modified the
  // map, and advances change_counter() once when it did.
  bool apply_updates(JsonArray items);

  // Every level, ordered by price in the ladder's direction.
  std::vector<LadderEntry> sorted_entries() const;
  void sorted_entries_into(std::vector<LadderEntry> &out) const;

  uint64_t change_counter() const noexcept { return change_counter_; }
  void advance_counter() noexcept { ++change_counter_; }
  bool descending() const noexcept { return descending_; }
  size_t size() const noexcept { return levels_.size(); }
  bool empty() const noexcept { return levels_.empty(); }

private:
  // Keyed by the price's bit pattern: 0.0 and -0.0 are two levels, 2 and 2.0 one.
  std::unordered_map<uint64_t, double> levels_;
  uint64_t change_counter_ = 0;
  bool descending_;
};

} // namespace pelarune
