// Fuzzes the loader over arbitrary bytes. Oracle: the same bytes load to equal records or an
// equal error whether read plain or gzip-wrapped (split into two members at a point the input
// chooses); read as a gzip file themselves, they may fail but never crash or hang.
#include "fuzz_util.h"
#include "input/message_loader.h"

#include <cstdint>
#include <cstdlib>

using namespace pelarune;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char *>(data), size);

  LoadResult plain = load_messages(ByteSource::plain(bytes));
  size_t split = size == 0 ? 0 : data[0] % (size + 1);
  std::string zipped =
      fuzz::gzip_member(bytes.substr(0, split)) + fuzz::gzip_member(bytes.substr(split));
  if (!(plain == load_messages(ByteSource::gzip(zipped))))
    std::abort(); // gzip framing changed what was loaded

  if (plain.ok())
    for (const StreamMessage &message : plain.value())
      if (message.publish_time_epoch < 1 || !message.market_changes.is_array())
        std::abort(); // a record the keep rules should have dropped

  (void)load_messages(ByteSource::gzip(bytes)).ok();
  return 0;
}
