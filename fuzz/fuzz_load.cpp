// Fuzzes the loader over arbitrary bytes. Oracle: the same bytes load to equal records or an
// equal error whether read plain, gzip-wrapped or bzip2-wrapped (split into two members or
// streams at a point the input chooses); every string kept is UTF-8, as Python needs it; read
// as a gzip or a bzip2 file themselves, the bytes may fail but never crash or hang; a load that
// passes over lines that are not JSON differs from a strict one only there.
#include "fuzz_util.h"
#include "input/line_reader.h"
#include "input/loader.h"

#include <cstdint>
#include <cstdlib>

using namespace pelarune;

namespace {

// Keys and strings anywhere in `value` are UTF-8.
bool all_text_utf8(JsonValue value) {
  if (value.is_string())
    return is_valid_utf8(value.string_value().data(), value.string_value().size());
  if (value.is_array()) {
    for (JsonValue item : value.array())
      if (!all_text_utf8(item))
        return false;
  } else if (value.is_object()) {
    for (JsonMember member : value.object())
      if (!is_valid_utf8(member.key.data(), member.key.size()) || !all_text_utf8(member.value))
        return false;
  }
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char *>(data), size);

  LoadResult plain = load_messages(ByteSource::plain(bytes));
  size_t split = size == 0 ? 0 : data[0] % (size + 1);
  std::string zipped =
      fuzz::gzip_member(bytes.substr(0, split)) + fuzz::gzip_member(bytes.substr(split));
  if (!(plain == load_messages(ByteSource::gzip(zipped))))
    std::abort(); // gzip framing changed what was loaded
  std::string bzipped =
      fuzz::bzip2_stream(bytes.substr(0, split)) + fuzz::bzip2_stream(bytes.substr(split));
  if (!(plain == load_messages(ByteSource::bzip2(bzipped))))
    std::abort(); // bzip2 decoding changed what was loaded

  // Passing over lines that are not JSON changes nothing else: a load that met none is the
  // same, and the first one passed over is the one a strict load fails on.
  SkippedLines skipped;
  LoadResult lenient = load_messages(ByteSource::plain(bytes), nullptr, nullptr, &skipped);
  bool not_json = !plain && plain.error().kind == LoadError::Kind::NotJson;
  if (!lenient && lenient.error().kind == LoadError::Kind::NotJson)
    std::abort(); // failed on a line it passes over
  if (!not_json && !(lenient == plain && skipped.count == 0))
    std::abort(); // leniency changed a load without a line that is not JSON
  if (not_json && lenient && skipped.first_error != plain.error().message)
    std::abort(); // passed over another line first

  if (plain)
    for (const StreamMessage &message : *plain) {
      if (message.publish_time_epoch < 1 || !message.market_changes.is_array())
        std::abort(); // a record the keep rules should have dropped
      if (!all_text_utf8(message.market_changes))
        std::abort(); // text no Python str can hold
    }

  (void)load_messages(ByteSource::gzip(bytes));
  (void)load_messages(ByteSource::bzip2(bytes));
  return 0;
}
