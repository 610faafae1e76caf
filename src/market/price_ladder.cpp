// Price ladder updates from [price, size] deltas and ordered snapshots.
// This file stays free of Python.
#include "market/price_ladder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>

namespace pelarune {
namespace {

// Tables grow past half full, which keeps linear probes short, and shrink below one eighth so
// that a ladder emptied after a deep image does not scan a large table for every snapshot.
constexpr size_t kMinCapacity = 8;

// New or removed levels kept in order between two reads, each shifting the entries after it:
// O(n) apiece, which the O(n) list built from the next read dwarfs, while a burst of changes
// (an image, many records between reads) falls back to one O(n log n) sort at the next read.
constexpr unsigned kMaxShifts = 8;

// Whether price a comes before price b in ascending order: by value, and -0.0 just below 0.0 so
// that the two levels keep one consistent order. Prices are never NaN (the reader yields none).
bool ascending_before(double a, double b) noexcept {
  return a < b || (a == b && std::signbit(a) && !std::signbit(b));
}

// The ladder's order: ascending, or its reverse.
template <bool Descending> bool before(double a, double b) noexcept {
  return Descending ? ascending_before(b, a) : ascending_before(a, b);
}

// Where the level of `price` stands, or would stand, in an ordered snapshot.
template <bool Descending>
std::vector<LadderEntry>::iterator position(std::vector<LadderEntry> &snapshot, double price) {
  return std::partition_point(snapshot.begin(), snapshot.end(), [price](const LadderEntry &entry) {
    return before<Descending>(entry.price, price);
  });
}

std::vector<LadderEntry>::iterator snapshot_position(std::vector<LadderEntry> &snapshot,
                                                     double price, bool descending) {
  return descending ? position<true>(snapshot, price) : position<false>(snapshot, price);
}

template <bool Descending> void sort_levels(std::vector<LadderEntry> &levels) {
  std::sort(levels.begin(), levels.end(), [](const LadderEntry &a, const LadderEntry &b) {
    return before<Descending>(a.price, b.price);
  });
}

// A malformed price (a string, null, ...) reads as 0.0 and still makes a level.
double price_of(JsonValue value) noexcept {
  return value.is_number() ? value.number_value() : 0.0;
}

} // namespace

bool PriceLadder::apply_updates(JsonArray items) {
  bool changed = false;
  try {
    changed = apply_deltas(items);
  } catch (...) {
    ++change_counter_; // levels set before memory ran out must not hide behind a cached list
    throw;
  }
  if (!changed)
    return false;
  ++change_counter_;
  if (slots_.size() > kMinCapacity && count_ * 8 < slots_.size()) {
    try {
      rehash(std::max(kMinCapacity, std::bit_ceil(count_ * 4)));
    } catch (const std::bad_alloc &) {
      // Shrinking only saves time later; the larger table stays valid.
    }
  }
  return true;
}

bool PriceLadder::apply_deltas(JsonArray items) {
  bool changed = false;
  for (JsonValue item : items) {
    if (!item.is_array())
      continue;
    JsonArray pair = item.array();
    auto it = pair.begin();
    if (it == pair.end())
      continue;
    JsonValue price = *it;
    if (++it == pair.end())
      continue;
    JsonValue size = *it;
    uint64_t price_bits = std::bit_cast<uint64_t>(price_of(price));
    // A non-number size, such as "0" or null, clears the level like a zero does.
    double size_value = size.is_number() ? size.number_value() : 0.0;
    if (size_value != 0.0)
      changed |= set_level(price_bits, size_value);
    else
      changed |= remove_level(price_bits);
  }
  return changed;
}

// Whatever it allocates comes before the level changes, so running out of memory leaves the
// ladder as it was.
bool PriceLadder::set_level(uint64_t price_bits, double size) {
  if (slots_.empty())
    rehash(kMinCapacity);
  size_t mask = slots_.size() - 1;
  for (size_t i = home(price_bits);; i = (i + 1) & mask) {
    Level &level = slots_[i];
    if (level.size == 0.0) {
      if ((count_ + 1) * 2 > slots_.size()) {
        rehash(slots_.size() * 2); // the table grows at the same count as before
        return set_level(price_bits, size);
      }
      level = {price_bits, size};
      ++count_;
      note_set(price_bits, size, true);
      return true;
    }
    if (level.price_bits == price_bits) {
      if (level.size == size)
        return false; // re-sending a size is no change
      level.size = size;
      note_set(price_bits, size, false);
      return true;
    }
  }
}

bool PriceLadder::remove_level(uint64_t price_bits) noexcept {
  if (count_ == 0)
    return false;
  size_t mask = slots_.size() - 1;
  size_t hole = home(price_bits);
  for (;; hole = (hole + 1) & mask) {
    if (slots_[hole].size == 0.0)
      return false;
    if (slots_[hole].price_bits == price_bits)
      break;
  }
  // Backward-shift deletion: pull later members of the probe run into the hole whenever the
  // hole lies on their path from home, so lookups need no tombstones.
  for (size_t next = (hole + 1) & mask; slots_[next].size != 0.0; next = (next + 1) & mask) {
    size_t next_home = home(slots_[next].price_bits);
    if (((next - next_home) & mask) >= ((next - hole) & mask)) {
      slots_[hole] = slots_[next];
      hole = next;
    }
  }
  slots_[hole] = Level{};
  --count_;
  note_removed(price_bits);
  return true;
}

bool PriceLadder::may_shift_snapshot() noexcept {
  if (!snapshot_valid_)
    return false;
  if (++shifts_ <= kMaxShifts)
    return true;
  snapshot_valid_ = false; // too many to keep in order: the next read sorts from scratch
  return false;
}

void PriceLadder::note_set(uint64_t price_bits, double size, bool inserted) noexcept {
  if (!snapshot_valid_ || (inserted && !may_shift_snapshot()))
    return;
  double price = std::bit_cast<double>(price_bits);
  auto at = snapshot_position(snapshot_, price, descending_);
  if (!inserted) {
    at->size = size;
    return;
  }
  try {
    snapshot_.insert(at, LadderEntry{price, size});
  } catch (const std::bad_alloc &) {
    snapshot_valid_ = false; // the map has the level; the next read sorts from scratch
  }
}

void PriceLadder::note_removed(uint64_t price_bits) noexcept {
  if (may_shift_snapshot())
    snapshot_.erase(snapshot_position(snapshot_, std::bit_cast<double>(price_bits), descending_));
}

void PriceLadder::rehash(size_t capacity) {
  std::vector<Level> old(capacity);
  old.swap(slots_);
  shift_ = unsigned(64 - std::countr_zero(capacity));
  size_t mask = capacity - 1;
  for (const Level &level : old) {
    if (level.size == 0.0)
      continue;
    size_t i = home(level.price_bits);
    while (slots_[i].size != 0.0)
      i = (i + 1) & mask;
    slots_[i] = level;
  }
}

std::span<const LadderEntry> PriceLadder::snapshot() const {
  if (!snapshot_valid_)
    rebuild_snapshot();
  shifts_ = 0;
  return snapshot_;
}

LadderSnapshot PriceLadder::shared_snapshot() const {
  if (shared_counter_ != change_counter_) {
    std::span<const LadderEntry> levels = snapshot();
    shared_ = levels.empty()
                  ? nullptr
                  : std::make_shared<const std::vector<LadderEntry>>(levels.begin(), levels.end());
    shared_counter_ = change_counter_;
  }
  return shared_;
}

std::vector<LadderEntry> PriceLadder::sorted_entries() const {
  std::span<const LadderEntry> levels = snapshot();
  return {levels.begin(), levels.end()};
}

void PriceLadder::rebuild_snapshot() const {
  snapshot_.clear();
  snapshot_.reserve(count_);
  for (const Level &level : slots_)
    if (level.size != 0.0)
      snapshot_.push_back({std::bit_cast<double>(level.price_bits), level.size});
  if (descending_)
    sort_levels<true>(snapshot_);
  else
    sort_levels<false>(snapshot_);
  snapshot_valid_ = true;
}

} // namespace pelarune
