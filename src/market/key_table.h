// Maps the keys that one level of a market change reads to small slot indices through a perfect
// hash found at compile time, so an object is read in one pass over its members.
// This file stays free of Python.
#pragma once

#include "input/json_value.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pelarune {

template <size_t N> class KeyTable {
  static_assert(N > 0 && N < 255, "slot indices are stored in one byte");

public:
  // Four buckets per key: a collision-free seed then turns up within a few dozen tries.
  static constexpr size_t kBuckets = std::bit_ceil(N * 4);
  // The hash samples the last two bytes, so every key needs at least two.
  static constexpr size_t kMinKeyLength = 2;

  consteval explicit KeyTable(const std::array<std::string_view, N> &keys) : keys_(keys) {
    for (size_t i = 0; i < N; ++i) {
      if (keys_[i].size() < kMinKeyLength)
        throw "a key needs at least two bytes";
      for (size_t j = 0; j < i; ++j)
        if (keys_[i] == keys_[j])
          throw "duplicate key";
    }
    for (uint32_t seed = 1; seed < 100000; ++seed)
      if (try_seed(seed))
        return;
    throw "no collision-free seed";
  }

  static constexpr size_t size() noexcept { return N; }

  // The slot index of a key of this table; a compile error for any other key.
  consteval size_t at(std::string_view key) const {
    for (size_t i = 0; i < N; ++i)
      if (keys_[i] == key)
        return i;
    throw "key not in table";
  }

  // The slot index of `key`, or -1 when the table does not read it.
  int find(std::string_view key) const noexcept {
    if (key.size() < kMinKeyLength)
      return -1;
    uint8_t slot = buckets_[bucket(seed_, key)];
    if (slot == 0 || keys_[slot - 1].size() != key.size())
      return -1;
    // Keys are short: a byte loop beats a call to memcmp.
    const std::string_view expected = keys_[slot - 1];
    for (size_t i = 0; i < key.size(); ++i)
      if (expected[i] != key[i])
        return -1;
    return slot - 1;
  }

  // One pass over the members: each read key's value lands in its slot, so the later of two
  // duplicates wins. Unread keys leave their slot missing.
  std::array<JsonValue, N> collect(JsonObject object) const noexcept {
    std::array<JsonValue, N> slots{};
    for (JsonMember member : object) {
      int i = find(member.key);
      if (i >= 0)
        slots[size_t(i)] = member.value;
    }
    return slots;
  }

private:
  static constexpr size_t bucket(uint32_t seed, std::string_view key) noexcept {
    constexpr uint32_t kPrime = 0x01000193u; // FNV-1a's multiplier
    size_t n = key.size();
    uint32_t h = seed;
    h = (h ^ uint32_t(n)) * kPrime;
    h = (h ^ uint8_t(key[0])) * kPrime;
    h = (h ^ uint8_t(key[n / 2])) * kPrime;
    h = (h ^ uint8_t(key[n - 2])) * kPrime;
    h = (h ^ uint8_t(key[n - 1])) * kPrime;
    h ^= h >> 16; // the last byte only reaches the low bits: fold them up
    h *= 0x7feb352du;
    h ^= h >> 15;
    return size_t(h) & (kBuckets - 1);
  }

  consteval bool try_seed(uint32_t seed) {
    buckets_.fill(0);
    for (size_t i = 0; i < N; ++i) {
      size_t b = bucket(seed, keys_[i]);
      if (buckets_[b] != 0)
        return false;
      buckets_[b] = uint8_t(i + 1);
    }
    seed_ = seed;
    return true;
  }

  std::array<std::string_view, N> keys_{};
  std::array<uint8_t, kBuckets> buckets_{}; // slot index + 1; 0 is an empty bucket
  uint32_t seed_ = 0;
};

} // namespace pelarune
