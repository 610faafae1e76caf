// The record store: encoded market changes packed into large chunks. This file stays free of
// Python.
#include "input/message_store.h"

#include <cstring>
#include <new>
#include <span>

#include <sys/mman.h>
#include <unistd.h>

namespace pelarune {
namespace {

// Asks the system to map the whole pages of [begin, begin + bytes) now; only advice, ignored
// where unsupported.
void map_pages(uint8_t *begin, size_t bytes) noexcept {
#ifdef MADV_POPULATE_WRITE
  static const uintptr_t page = uintptr_t(::sysconf(_SC_PAGESIZE));
  uintptr_t first = (reinterpret_cast<uintptr_t>(begin) + page - 1) & ~(page - 1);
  uintptr_t last = (reinterpret_cast<uintptr_t>(begin) + bytes) & ~(page - 1);
  if (first < last)
    ::madvise(reinterpret_cast<void *>(first), last - first, MADV_POPULATE_WRITE);
#else
  (void)begin;
  (void)bytes;
#endif
}

} // namespace

void MessageStore::Records::resize_block(size_t records) {
  if (records < size)
    records = size;
  if (records == 0) {
    std::free(data);
    data = nullptr;
    capacity = 0;
    return;
  }
  void *moved = std::realloc(data, records * sizeof(StreamMessage));
  if (!moved)
    throw std::bad_alloc();
  data = static_cast<StreamMessage *>(moved);
  capacity = records;
}

uint8_t *MessageStore::reserve(size_t bytes) {
  if (bytes > kOwnChunkBytes) {
    // Goes in before the chunk being filled, which stays last and keeps filling.
    size_t at = chunks_.empty() ? 0 : chunks_.size() - 1;
    chunks_.insert(chunks_.begin() + ptrdiff_t(at), std::unique_ptr<uint8_t[]>(new uint8_t[bytes]));
    chunk_sizes_.insert(chunk_sizes_.begin() + ptrdiff_t(at), bytes);
    if (chunks_.size() == 1)
      used_ = bytes; // it is also the last chunk, and full
    return chunks_[at].get();
  }
  if (chunks_.empty() || chunk_sizes_.back() - used_ < bytes) {
    chunks_.emplace_back(new uint8_t[kChunkBytes]);
    // A file that fills one chunk is large: map the pages of the next ones in one call each,
    // not one page fault at a time. The first stays lazy, so a small file touches only what
    // it fills.
    if (chunk_sizes_.size() > 0)
      map_pages(chunks_.back().get(), kChunkBytes);
    chunk_sizes_.push_back(kChunkBytes);
    used_ = 0;
  }
  uint8_t *at = chunks_.back().get() + used_;
  used_ += bytes;
  return at;
}

void MessageStore::add(std::string_view changes, int64_t publish_time_epoch) {
  uint8_t *at = reserve(changes.size());
  std::memcpy(at, changes.data(), changes.size());
  messages_.push_back({JsonValue(at), publish_time_epoch});
}

void MessageStore::add_single(std::string_view change, int64_t publish_time_epoch) {
  char header[1 + tape::kMaxVarintBytes] = {char(tape::kArray)};
  size_t header_size = size_t(tape::write_varint(header + 1, change.size()) - header);
  uint8_t *at = reserve(header_size + change.size());
  std::memcpy(at, header, header_size);
  std::memcpy(at + header_size, change.data(), change.size());
  messages_.push_back({JsonValue(at), publish_time_epoch});
}

void MessageStore::shrink_to_fit() {
  messages_.resize_block(messages_.size);
  if (chunks_.empty() || used_ == chunk_sizes_.back())
    return;
  // The last chunk is partly used: move its records to an exact allocation. For a small
  // file this is most of what the store holds.
  uint8_t *old_begin = chunks_.back().get();
  uint8_t *old_end = old_begin + used_;
  std::unique_ptr<uint8_t[]> exact(new uint8_t[used_ > 0 ? used_ : 1]);
  std::memcpy(exact.get(), old_begin, used_);
  for (StreamMessage &message : std::span(messages_.data, messages_.size)) {
    const uint8_t *p = message.market_changes.data();
    if (p >= old_begin && p < old_end)
      message.market_changes = JsonValue(exact.get() + (p - old_begin));
  }
  chunks_.back() = std::move(exact);
  chunk_sizes_.back() = used_ > 0 ? used_ : 1;
  used_ = chunk_sizes_.back();
}

size_t MessageStore::held_bytes() const noexcept {
  size_t total = messages_.capacity * sizeof(StreamMessage) +
                 chunks_.capacity() * sizeof(chunks_[0]) + chunk_sizes_.capacity() * sizeof(size_t);
  for (size_t size : chunk_sizes_)
    total += size;
  return total;
}

bool operator==(const MessageStore &a, const MessageStore &b) noexcept {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].publish_time_epoch != b[i].publish_time_epoch ||
        a[i].market_changes.bytes() != b[i].market_changes.bytes())
      return false;
  return true;
}

} // namespace pelarune
