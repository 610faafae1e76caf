// The record store and the loader: lines from the reader, parsed to the tape form, and the
// market changes and publish time of each usable line kept. This file stays free of Python.
#include "input/stream_message.h"

#include "input/json_load.h"
#include "input/message_loader.h"

#include <cstring>
#include <limits>

namespace pelarune {

// Keys read from a stream line, spelled as on the wire.
namespace {
constexpr std::string_view kPublishTime = "pt";
constexpr std::string_view kMarketChanges = "mc";
constexpr std::string_view kMarketDefinition = "marketDefinition";
constexpr std::string_view kRunnerChanges = "rc";
} // namespace

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
  uint8_t header[1 + 10]; // the array tag and a varint of at most ten bytes
  size_t header_size = 0;
  header[header_size++] = tape::kArray;
  for (uint64_t length = change.size();; length >>= 7) {
    if (length < 0x80) {
      header[header_size++] = uint8_t(length);
      break;
    }
    header[header_size++] = uint8_t(length | 0x80);
  }
  uint8_t *at = reserve(header_size + change.size());
  std::memcpy(at, header, header_size);
  std::memcpy(at + header_size, change.data(), change.size());
  messages_.push_back({JsonValue(at), publish_time_epoch});
}

void MessageStore::shrink_to_fit() {
  messages_.shrink_to_fit();
  if (chunks_.empty() || used_ == chunk_sizes_.back())
    return;
  // The last chunk is partly used: move its records to an exact allocation. For a small
  // file this is most of what the store holds.
  uint8_t *old_begin = chunks_.back().get();
  uint8_t *old_end = old_begin + used_;
  std::unique_ptr<uint8_t[]> exact(new uint8_t[used_ > 0 ? used_ : 1]);
  std::memcpy(exact.get(), old_begin, used_);
  for (StreamMessage &message : messages_) {
    const uint8_t *p = message.market_changes.data();
    if (p >= old_begin && p < old_end)
      message.market_changes = JsonValue(exact.get() + (p - old_begin));
  }
  chunks_.back() = std::move(exact);
  chunk_sizes_.back() = used_ > 0 ? used_ : 1;
  used_ = chunk_sizes_.back();
}

size_t MessageStore::held_bytes() const noexcept {
  size_t total = messages_.capacity() * sizeof(StreamMessage) +
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

bool is_blank_line(std::string_view line) noexcept {
  const auto *p = reinterpret_cast<const uint8_t *>(line.data());
  const uint8_t *end = p + line.size();
  while (p != end) {
    uint8_t byte = *p;
    ptrdiff_t left = end - p;
    if (byte == ' ' || (byte >= '\t' && byte <= '\r')) {
      p += 1;
    } else if (byte == 0xC2 && left >= 2 && (p[1] == 0x85 || p[1] == 0xA0)) {
      p += 2; // U+0085, U+00A0
    } else if (byte >= 0xE1 && byte <= 0xE3 && left >= 3) {
      uint8_t b1 = p[1], b2 = p[2];
      bool space = (byte == 0xE1 && b1 == 0x9A && b2 == 0x80) || // U+1680
                   (byte == 0xE2 && b1 == 0x80 &&                // U+2000..200A, U+2028,
                    (b2 <= 0x8A || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF)) || // 2029, 202F
                   (byte == 0xE2 && b1 == 0x81 && b2 == 0x9F) ||               // U+205F
                   (byte == 0xE3 && b1 == 0x80 && b2 == 0x80);                 // U+3000
      if (!space)
        return false;
      p += 3;
    } else {
      return false;
    }
  }
  return true;
}

namespace {

[[gnu::cold, gnu::noinline]] LoadError load_error(const std::string &message) {
  return LoadError{message};
}

// The market changes and publish time of one parsed line, when the line is kept.
void keep_line(JsonValue root, MessageStore &store, size_t line_bytes, LoadStats *stats) {
  if (!root.is_object())
    return;
  JsonValue publish_time, changes;
  bool whole_object = false;
  // One pass; a later duplicate key overwrites an earlier one, as a lookup would.
  for (JsonMember member : root.object()) {
    if (member.key == kPublishTime)
      publish_time = member.value;
    else if (member.key == kMarketChanges)
      changes = member.value;
    else if (member.key == kMarketDefinition || member.key == kRunnerChanges)
      whole_object = true;
  }
  // A publish time written as a double (even 1.6e12 or 5.0) does not count, nor does 0.
  if (!publish_time || !publish_time.is_uint())
    return;
  uint64_t epoch_ms = publish_time.uint_value();
  if (epoch_ms == 0 || epoch_ms > uint64_t(std::numeric_limits<int64_t>::max()))
    return;
  if (changes && changes.is_array())
    store.add(changes.bytes(), int64_t(epoch_ms));
  else if (whole_object) // a changes key holding a non-array does not stop this path
    store.add_single(root.bytes(), int64_t(epoch_ms));
  else
    return;
  if (stats) {
    ++stats->kept_lines;
    stats->kept_line_bytes += line_bytes;
  }
}

LoadResult load_lines(StreamLineReader &reader, LoadStats *stats) {
  MessageStore store;
  JsonParser parser;
  std::string tape; // one line's parse, reused so a line costs no allocation
  MutableLine line;
  for (;;) {
    switch (reader.next_line(line)) {
    case LineStatus::Line:
      break;
    case LineStatus::End:
      store.shrink_to_fit();
      return store;
    case LineStatus::Error:
      return load_error(reader.error().message);
    }
    if (stats)
      ++stats->lines;
    // Records start with '{'; only other lines need the full blank test.
    if ((line.size == 0 || line.data[0] != '{') && is_blank_line(line.view()))
      continue;
    if (!parser.parse(line.data, line.size, tape)) [[unlikely]]
      return load_error(parser.error());
    keep_line(JsonValue(reinterpret_cast<const uint8_t *>(tape.data())), store, line.size, stats);
  }
}

} // namespace

LoadResult load_messages(ByteSource source, LoadStats *stats) {
  StreamLineReader reader(std::move(source));
  return load_lines(reader, stats);
}

LoadResult load_stream_messages(std::string_view path, LoadStats *stats) {
  OpenResult opened = open_stream_file(path);
  if (!opened.ok())
    return load_error(opened.error().message);
  return load_lines(opened.value(), stats);
}

} // namespace pelarune
