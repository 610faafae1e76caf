// The loader: lines from the reader, parsed onto the tape, and the market changes and publish
// time of each usable line kept. This file stays free of Python.
#include "input/loader.h"

#include "input/file_source.h"
#include "input/json_parser.h"
#include "input/line_reader.h"

#include <limits>

namespace pelarune {

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

// The market changes and publish time of one parsed line, when the line is kept.
void keep_line(JsonValue root, MessageStore &store, size_t line_bytes, LoadStats *stats) {
  // Keys read from a stream line, spelled as on the wire.
  constexpr std::string_view kPublishTime = "pt";
  constexpr std::string_view kMarketChanges = "mc";
  constexpr std::string_view kMarketDefinition = "marketDefinition";
  constexpr std::string_view kRunnerChanges = "rc";
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
  uint64_t publish_time_epoch = publish_time.uint_value();
  if (publish_time_epoch == 0 || publish_time_epoch > uint64_t(std::numeric_limits<int64_t>::max()))
    return;
  if (changes && changes.is_array())
    store.add(changes.bytes(), int64_t(publish_time_epoch));
  else if (whole_object) // a changes key holding a non-array does not stop this path
    store.add_single(root.bytes(), int64_t(publish_time_epoch));
  else
    return;
  if (stats) {
    ++stats->kept_lines;
    stats->kept_line_bytes += line_bytes;
  }
}

// Counts a line that is not JSON into `skipped`, or fails with its error without one.
[[gnu::cold, gnu::noinline]] Expected<Unit, LoadError>
skip_line(LoadError error, size_t line_number, SkippedLines *skipped) {
  if (!skipped || error.kind != LoadError::Kind::NotJson)
    return error;
  if (skipped->count++ == 0) {
    skipped->first_line = line_number;
    skipped->first_error = std::move(error.message);
  }
  return Unit{};
}

} // namespace

LoadResult load_messages(ByteSource source, LoadStats *stats, InterruptCheck interrupted,
                         SkippedLines *skipped) {
  // The parser checks UTF-8 on the way, and only where a line is not plain ASCII.
  StreamLineReader reader(std::move(source), StreamLineReader::kBufferSize, false, interrupted);
  MessageStore store;
  JsonParser parser; // reused, so a line costs no allocation
  MutableLine line;
  for (size_t line_number = 1;; ++line_number) {
    PELARUNE_TRY(bool more, reader.next_line(line));
    if (!more)
      break;
    if (stats)
      ++stats->lines;
    // Records start with '{'; only other lines need the full blank test, which needs UTF-8.
    if (line.size == 0 || line.data[0] != '{') {
      if (!is_valid_utf8(line.data, line.size)) [[unlikely]]
        return invalid_utf8_error();
      if (is_blank_line(line.view()))
        continue;
    }
    auto tape = parser.parse_unchecked_utf8(line.data, line.size);
    if (!tape) [[unlikely]] {
      PELARUNE_CHECK_OK(skip_line(std::move(tape).error(), line_number, skipped));
      continue;
    }
    keep_line(JsonValue(reinterpret_cast<const uint8_t *>(tape->data())), store, line.size, stats);
  }
  store.shrink_to_fit();
  return store;
}

LoadResult load_stream_messages(std::string_view path, LoadStats *stats, InterruptCheck interrupted,
                                SkippedLines *skipped) {
  PELARUNE_TRY(ByteSource source, open_stream_file(path, interrupted));
  return load_messages(std::move(source), stats, interrupted, skipped);
}

} // namespace pelarune
