// One side of a runner's price book: price level -> size, updated by stream deltas.
// This file stays free of Python.
#pragma once

#include "input/json_tape.h"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace pelarune {

struct LadderEntry {
  double price;
  double size;
  friend bool operator==(const LadderEntry &, const LadderEntry &) = default;
};

// An ordered snapshot that is never changed once taken, so its holders may share it; null when
// the ladder was empty.
using LadderSnapshot = std::shared_ptr<const std::vector<LadderEntry>>;

class PriceLadder {
public:
  explicit PriceLadder(bool descending) noexcept : descending_(descending) {}

  // Applies one batch of [price, size] deltas in order. Returns whether any step modified the
  // levels, and advances change_counter() once when it did.
  bool apply_updates(JsonArray items);

  // Every level, ordered by price in the ladder's direction. Valid until the next update.
  std::span<const LadderEntry> snapshot() const noexcept {
    if (!levels_)
      return {};
    return *levels_;
  }
  // The same levels as a shared snapshot, the same one while change_counter() stands still.
  LadderSnapshot shared_snapshot() const noexcept {
    if (empty())
      return nullptr;
    return levels_;
  }

  // Removes every level; whether there were any.
  bool clear() noexcept {
    if (empty())
      return false;
    levels_.reset(); // a snapshot holder keeps its levels
    ++change_counter_;
    return true;
  }

  uint64_t change_counter() const noexcept { return change_counter_; }
  bool descending() const noexcept { return descending_; }
  size_t size() const noexcept { return levels_ ? levels_->size() : 0; }
  bool empty() const noexcept { return size() == 0; }

private:
  template <bool Descending> bool apply_deltas(JsonArray items);
  template <bool Descending> [[gnu::noinline]] bool merge_rest(JsonArray rest);
  template <bool Descending> bool merge_deltas(std::vector<LadderEntry> &deltas);
  // The levels, to change: copied first while a snapshot holder shares them.
  std::vector<LadderEntry> &unshared_levels() {
    if (levels_ && levels_.use_count() == 1) [[likely]]
      return *levels_;
    return new_levels();
  }
  std::vector<LadderEntry> &new_levels();

  // The levels in the ladder's order, found by binary search: ladders hold tens to a few hundred
  // levels, where shifting the entries after a new or removed one costs less than keeping a
  // hash table beside the order (which took 1.6% more instructions over a replay of recorded and
  // generated files, 0.7% more with a strategy's reads, and the same in the engine's apply
  // alone). Shared with the snapshots handed out, and copied before a change while any holder
  // keeps it; null until the first level.
  std::shared_ptr<std::vector<LadderEntry>> levels_;
  uint64_t change_counter_ = 0;
  bool descending_;
};

// A best-offers ladder: [position, price, size] deltas keyed by position, a size of 0 removing
// the position, as betfairlightweight keeps them. Levels come in ascending position order.
class PositionLadder {
public:
  // Applies one batch in order; whether any step modified the levels.
  bool apply_updates(JsonArray items);

  std::span<const LadderEntry> snapshot() const noexcept { return entries_; }
  bool empty() const noexcept { return entries_.empty(); }

private:
  std::vector<int64_t> positions_; // ascending, beside the entries they key
  std::vector<LadderEntry> entries_;
};

} // namespace pelarune
