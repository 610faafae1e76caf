// Price ladder updates from [price, size] deltas, kept in order.
// This file stays free of Python.
#include "market/price_ladder.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace pelarune {
namespace {

// Whether price a comes before price b in ascending order: by value, and -0.0 just below 0.0 so
// that the two levels keep one consistent order. Prices are never NaN (the reader yields none),
// so this orders every bit pattern a level can have.
bool ascending_before(double a, double b) noexcept {
  return a < b || (a == b && std::signbit(a) && !std::signbit(b));
}

// The ladder's order: ascending, or its reverse.
template <bool Descending> bool before(double a, double b) noexcept {
  return Descending ? ascending_before(b, a) : ascending_before(a, b);
}

// A malformed price (a string, null, ...) reads as 0.0 and still makes a level.
double price_of(JsonValue value) noexcept {
  return value.is_number() ? value.number_value() : 0.0;
}

} // namespace

bool PriceLadder::apply_updates(JsonArray items) {
  bool changed = false;
  try {
    changed = descending_ ? apply_deltas<true>(items) : apply_deltas<false>(items);
  } catch (...) {
    ++change_counter_; // levels set before memory ran out must not hide behind a cached list
    throw;
  }
  if (changed)
    ++change_counter_;
  return changed;
}

std::vector<LadderEntry> &PriceLadder::unshared_levels() {
  if (!levels_)
    levels_ = std::make_shared<std::vector<LadderEntry>>();
  else if (levels_.use_count() > 1) // a snapshot holder keeps the levels as they were
    levels_ = std::make_shared<std::vector<LadderEntry>>(*levels_);
  return *levels_;
}

// Whatever it allocates comes before the level changes, so running out of memory leaves the
// level as it was.
template <bool Descending> bool PriceLadder::apply_deltas(JsonArray items) {
  bool changed = false;
  for (JsonValue item : items) {
    if (!item.is_array())
      continue;
    JsonArray pair = item.array();
    auto it = pair.begin();
    if (it == pair.end())
      continue;
    double price = price_of(*it);
    if (++it == pair.end())
      continue;
    JsonValue size_value = *it;
    // A non-number size, such as "0" or null, clears the level like a zero does.
    double size = size_value.is_number() ? size_value.number_value() : 0.0;

    std::span<const LadderEntry> levels = snapshot();
    size_t at = size_t(std::partition_point(levels.begin(), levels.end(),
                                            [price](const LadderEntry &entry) {
                                              return before<Descending>(entry.price, price);
                                            }) -
                       levels.begin());
    // Levels are told apart by bit pattern: 2 and 2.0 are one level, 0.0 and -0.0 two.
    bool found = at < levels.size() &&
                 std::bit_cast<uint64_t>(levels[at].price) == std::bit_cast<uint64_t>(price);
    if (size != 0.0) {
      if (found && levels[at].size == size)
        continue; // re-sending a size is no change
      std::vector<LadderEntry> &owned = unshared_levels();
      if (found)
        owned[at].size = size;
      else
        owned.insert(owned.begin() + std::ptrdiff_t(at), LadderEntry{price, size});
      changed = true;
    } else if (found) {
      std::vector<LadderEntry> &owned = unshared_levels();
      owned.erase(owned.begin() + std::ptrdiff_t(at));
      changed = true;
    }
  }
  return changed;
}

} // namespace pelarune
