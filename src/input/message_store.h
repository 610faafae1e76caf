// The records a load keeps: per kept line, its market changes (still encoded) and publish time.
// This file stays free of Python.
#pragma once

#include "input/json_tape.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace pelarune {

struct StreamMessage {
  JsonValue market_changes;   // an encoded array; each element is one market change
  int64_t publish_time_epoch; // "pt", milliseconds since the Unix epoch, at least 1
};

// Owns the encoded records of one load in a few large chunks, so a loaded file costs about
// the size of its kept changes and no per-record allocation.
class MessageStore {
public:
  MessageStore() = default;
  MessageStore(MessageStore &&) noexcept = default;
  MessageStore &operator=(MessageStore &&) noexcept = default;

  size_t size() const noexcept { return messages_.size; }
  bool empty() const noexcept { return messages_.size == 0; }
  const StreamMessage &operator[](size_t i) const noexcept { return messages_.data[i]; }
  const StreamMessage *begin() const noexcept { return messages_.data; }
  const StreamMessage *end() const noexcept { return messages_.data + messages_.size; }

  // Appends a record whose changes are the encoded array `changes`.
  void add(std::string_view changes, int64_t publish_time_epoch);
  // Appends a record whose one change is the encoded value `change` (wrapped in an array).
  void add_single(std::string_view change, int64_t publish_time_epoch);
  // Releases spare capacity once loading is done.
  void shrink_to_fit();

  // Bytes held on the heap by this store (chunks and the record index).
  size_t held_bytes() const noexcept;

  // Same records: equal publish times and equal encoded changes, in the same order.
  friend bool operator==(const MessageStore &a, const MessageStore &b) noexcept;

  // Records are packed into chunks of this size. A record above kOwnChunkBytes gets a chunk
  // of its own instead, so a chunk never wastes more than that at its end.
  static constexpr size_t kChunkBytes = size_t(1) << 20;
  static constexpr size_t kOwnChunkBytes = kChunkBytes / 16;

private:
  // The records in one block grown with realloc: a large block moves by remapping its pages,
  // not by copying them, so neither growing nor the final trim holds two copies at once.
  struct Records {
    StreamMessage *data = nullptr;
    size_t size = 0;
    size_t capacity = 0;

    Records() = default;
    Records(Records &&other) noexcept
        : data(std::exchange(other.data, nullptr)), size(std::exchange(other.size, 0)),
          capacity(std::exchange(other.capacity, 0)) {}
    Records &operator=(Records &&other) noexcept {
      std::swap(data, other.data);
      std::swap(size, other.size);
      std::swap(capacity, other.capacity);
      return *this;
    }
    ~Records() { std::free(data); }
    void push_back(const StreamMessage &message) {
      if (size == capacity) [[unlikely]]
        resize_block(capacity < 1024 ? 1024 : capacity * 2);
      data[size++] = message;
    }
    void resize_block(size_t records); // to room for exactly that many, never below size
  };
  static_assert(std::is_trivially_copyable_v<StreamMessage>, "records move with realloc");

  uint8_t *reserve(size_t bytes);

  std::vector<std::unique_ptr<uint8_t[]>> chunks_;
  std::vector<size_t> chunk_sizes_;
  size_t used_ = 0; // bytes used in the last chunk
  Records messages_;
};

} // namespace pelarune
