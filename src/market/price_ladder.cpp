// Price ladder updates from [price, size] deltas and ordered snapshots.
// This file stays free of Python.
#include "market/price_ladder.h"

#include <algorithm>
#include <bit>
#include <new>

namespace pelarune {
namespace {

// Tables grow past half full, which keeps linear probes short, and shrink below one eighth so
// that a ladder emptied after a deep image does not scan a large table for every snapshot.
constexpr size_t kMinCapacity = 8;

// A patch merges the touched levels into the last snapshot: O(n + k log k) against the full
// sort's O(n log n). Past half the snapshot's size plus this, a full rebuild is as cheap.
constexpr size_t kMinPatchLength = 16;

// A price's bit pattern as an unsigned key in ascending numeric order, -0.0 just below 0.0,
// so sorting and merging compare integers and 0.0 and -0.0 keep one consistent order.
uint64_t ascending_key(uint64_t price_bits) noexcept {
  constexpr uint64_t kSignBit = uint64_t(1) << 63;
  return (price_bits & kSignBit) != 0 ? ~price_bits : price_bits | kSignBit;
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
      note_touched(price_bits);
      return true;
    }
    if (level.price_bits == price_bits) {
      if (level.size == size)
        return false; // re-sending a size is no change
      level.size = size;
      note_touched(price_bits);
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
  note_touched(price_bits);
  return true;
}

const PriceLadder::Level *PriceLadder::find_level(uint64_t price_bits) const noexcept {
  if (count_ == 0)
    return nullptr;
  size_t mask = slots_.size() - 1;
  for (size_t i = home(price_bits);; i = (i + 1) & mask) {
    if (slots_[i].size == 0.0)
      return nullptr;
    if (slots_[i].price_bits == price_bits)
      return &slots_[i];
  }
}

void PriceLadder::note_touched(uint64_t price_bits) noexcept {
  if (!snapshot_valid_)
    return;
  if (touched_.size() < snapshot_.size() / 2 + kMinPatchLength) {
    try {
      touched_.push_back(price_bits);
      return;
    } catch (const std::bad_alloc &) {
    }
  }
  // Too many to merge, or no memory to log one more: the next snapshot sorts from scratch.
  snapshot_valid_ = false;
  touched_.clear();
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
  else if (!touched_.empty())
    patch_snapshot();
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
  const uint64_t flip = descending_ ? ~uint64_t(0) : 0;
  std::sort(snapshot_.begin(), snapshot_.end(), [flip](const LadderEntry &a, const LadderEntry &b) {
    return (ascending_key(std::bit_cast<uint64_t>(a.price)) ^ flip) <
           (ascending_key(std::bit_cast<uint64_t>(b.price)) ^ flip);
  });
  touched_.clear();
  snapshot_valid_ = true;
}

void PriceLadder::patch_snapshot() const {
  const uint64_t flip = descending_ ? ~uint64_t(0) : 0;
  auto order = [flip](uint64_t price_bits) { return ascending_key(price_bits) ^ flip; };
  std::sort(touched_.begin(), touched_.end(),
            [&order](uint64_t a, uint64_t b) { return order(a) < order(b); });
  touched_.erase(std::unique(touched_.begin(), touched_.end()), touched_.end());

  // Untouched levels keep their place; each touched one takes its current size, if any.
  std::vector<LadderEntry> &merged = merged_;
  merged.clear();
  merged.reserve(count_);
  size_t i = 0;
  for (uint64_t price_bits : touched_) {
    uint64_t touched_order = order(price_bits);
    for (; i < snapshot_.size(); ++i) {
      uint64_t bits = std::bit_cast<uint64_t>(snapshot_[i].price);
      if (order(bits) > touched_order)
        break;
      if (bits != price_bits)
        merged.push_back(snapshot_[i]);
    }
    if (const Level *level = find_level(price_bits))
      merged.push_back({std::bit_cast<double>(price_bits), level->size});
  }
  merged.insert(merged.end(), snapshot_.begin() + std::ptrdiff_t(i), snapshot_.end());
  snapshot_.swap(merged);
  touched_.clear();
}

} // namespace pelarune
