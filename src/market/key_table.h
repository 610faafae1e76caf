// Maps the keys that one level of a market change reads to small slot indices through a perfect
// hash found at compile time, so an object is read in one pass over its members.
// This file stays free of Python.
#pragma once

#include "input/json_tape.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace pelarune {

template <size_t N> class KeyTable;

// A key as a field's row lists it. `shared`: the row reads, on purpose, a key that another row of
// the same level reads too, and both read that key's one slot. A key listed twice without it is
// a mistake that no table is made from.
struct ListedKey {
  std::string_view key;
  bool shared = false;
};
constexpr ListedKey listed(std::string_view key) noexcept {
  return {key};
}
constexpr ListedKey listed(ListedKey key) noexcept {
  return key;
}

// Whether every key of `List` but "" is listed once without `shared`, and a shared one is also
// listed once without it.
template <const auto &List> consteval bool keys_listed_once() {
  for (size_t i = 0; i < List.size(); ++i) {
    ListedKey key = listed(List[i]);
    if (key.key.empty())
      continue;
    size_t unshared = 0;
    for (size_t j = 0; j < List.size(); ++j)
      unshared += listed(List[j]).key == key.key && !listed(List[j]).shared;
    if (unshared != 1)
      return false;
  }
  return true;
}

// The keys of `List` (keys, or ListedKey) to make slots for: each one once, with "" (a field no
// key sets at this level) left out.
template <const auto &List> consteval auto non_empty_keys() {
  static_assert(keys_listed_once<List>(),
                "a key is listed twice, or marked shared with no row listing it plainly: a row "
                "that means to read another row's key marks it shared");
  constexpr auto kept = [](size_t i) {
    return !listed(List[i]).key.empty() && !listed(List[i]).shared;
  };
  constexpr size_t kCount = [kept] {
    size_t count = 0;
    for (size_t i = 0; i < List.size(); ++i)
      count += kept(i);
    return count;
  }();
  std::array<std::string_view, kCount> keys{};
  size_t n = 0;
  for (size_t i = 0; i < List.size(); ++i)
    if (kept(i))
      keys[n++] = listed(List[i]).key;
  return keys;
}

template <size_t N> class KeyTable {
  static_assert(N > 0 && N < 255, "slot indices are stored in one byte");

public:
  // Four buckets per key: a collision-free seed then turns up within a few dozen tries.
  static constexpr size_t kBuckets = std::bit_ceil(N * 4);
  static constexpr int kBucketBits = std::countr_zero(kBuckets);
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
    // Odd multipliers from a fixed sequence, so the table is the same in every build.
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (int attempt = 0; attempt < 100000; ++attempt) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      if (try_seed(state | 1))
        return;
    }
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

  // The slot index of a key of this table, or -1 for "" (a field that no key sets).
  consteval int slot_of(std::string_view key) const { return key.empty() ? -1 : int(at(key)); }

  // The slot index of `key`, or -1 when the table does not read it.
  int find(std::string_view key) const noexcept {
    if (key.size() < kMinKeyLength)
      return -1;
    uint8_t slot = buckets_[bucket(seed_, key)];
    if (slot == 0 || keys_[slot - 1].size() != key.size() ||
        !same_bytes(keys_[slot - 1].data(), key.data(), key.size()))
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
  // Equal first and last sizeof(Word) bytes; with n between sizeof(Word) and twice that, the two
  // loads overlap and cover every byte without a loop.
  template <class Word> static bool same_ends(const char *a, const char *b, size_t n) noexcept {
    Word a_head, b_head, a_tail, b_tail;
    std::memcpy(&a_head, a, sizeof(Word));
    std::memcpy(&b_head, b, sizeof(Word));
    std::memcpy(&a_tail, a + n - sizeof(Word), sizeof(Word));
    std::memcpy(&b_tail, b + n - sizeof(Word), sizeof(Word));
    return ((a_head ^ b_head) | (a_tail ^ b_tail)) == 0;
  }

  // Keys are short and of varied lengths, where a byte loop or memcmp mispredicts its exit.
  static bool same_bytes(const char *a, const char *b, size_t n) noexcept {
    if (n < 4)
      return same_ends<uint16_t>(a, b, n);
    if (n < 8)
      return same_ends<uint32_t>(a, b, n);
    if (n <= 16)
      return same_ends<uint64_t>(a, b, n);
    return std::memcmp(a, b, n) == 0;
  }

  // One multiply over the length and the first, middle and last two bytes, which tell every key
  // of a table apart (checked when the table is built): the middle one "lineMaxUnit" and
  // "lineMinUnit", which the second byte does not.
  static constexpr size_t bucket(uint64_t seed, std::string_view key) noexcept {
    size_t n = key.size();
    uint64_t sample = uint64_t(uint8_t(key[0])) | uint64_t(uint8_t(key[n / 2])) << 8 |
                      uint64_t(uint8_t(key[n - 2])) << 16 | uint64_t(uint8_t(key[n - 1])) << 24 |
                      uint64_t(n) << 32;
    return size_t((sample * seed) >> (64 - kBucketBits));
  }

  consteval bool try_seed(uint64_t seed) {
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
  uint64_t seed_ = 0;
};

} // namespace pelarune
