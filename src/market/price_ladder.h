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
  // map, and advances change_counter() once when it did.
  bool apply_updates(JsonArray items);

  // Every level, ordered by price in the ladder's direction. Valid until the next update.
  std::span<const LadderEntry> snapshot() const;
  // The same levels as a shared snapshot, the same one while change_counter() stands still.
  LadderSnapshot shared_snapshot() const;
  // A copy of snapshot(), for holders that keep it across updates.
  std::vector<LadderEntry> sorted_entries() const;

  uint64_t change_counter() const noexcept { return change_counter_; }
  bool descending() const noexcept { return descending_; }
  size_t size() const noexcept { return count_; }
  bool empty() const noexcept { return count_ == 0; }

private:
  // One slot of an open-addressing table with linear probing. A free slot has size 0.0: no
  // level ever holds a zero size, so every price bit pattern stays usable as a key.
  struct Level {
    uint64_t price_bits;
    double size;
  };

  bool apply_deltas(JsonArray items);
  bool set_level(uint64_t price_bits, double size);
  bool remove_level(uint64_t price_bits) noexcept;
  size_t home(uint64_t price_bits) const noexcept {
    return size_t((price_bits * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  void rehash(size_t capacity);
  void note_set(uint64_t price_bits, double size, bool inserted) noexcept;
  void note_removed(uint64_t price_bits) noexcept;
  bool may_shift_snapshot() noexcept;
  void rebuild_snapshot() const;

  // Keyed by the price's bit pattern: 0.0 and -0.0 are two levels, 2 and 2.0 one.
  std::vector<Level> slots_; // empty, or a power of two
  size_t count_ = 0;
  unsigned shift_ = 64; // 64 - log2(slots_.size())
  uint64_t change_counter_ = 0;
  bool descending_;

  // The levels in order, kept up to date by each change while that is cheap: a new size is
  // written in place and a new or removed level shifts the entries after it. Past a few shifts
  // between two reads the order is dropped and the next read sorts afresh, so a burst of changes,
  // or a ladder nobody reads, costs no more than the table's own work.
  mutable std::vector<LadderEntry> snapshot_;
  mutable bool snapshot_valid_ = false;
  mutable unsigned shifts_ = 0; // new or removed levels since the last read
  // The last shared snapshot and the counter it was taken at; null at 0 matches a new ladder.
  mutable LadderSnapshot shared_;
  mutable uint64_t shared_counter_ = 0;
};

} // namespace pelarune
