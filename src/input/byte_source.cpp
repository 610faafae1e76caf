// Bytes already in memory, the simplest source. This file stays free of Python.
#include "input/byte_source.h"

#include <algorithm>
#include <cstring>

namespace pelarune {
namespace {

class MemoryReader final : public ByteReader {
public:
  explicit MemoryReader(std::string_view bytes) noexcept : rest_(bytes) {}

  Expected<size_t, LoadError> read(char *out, size_t capacity) override {
    size_t n = std::min(capacity, rest_.size());
    std::memcpy(out, rest_.data(), n);
    rest_.remove_prefix(n);
    return n;
  }

private:
  std::string_view rest_;
};

} // namespace

ByteSource ByteSource::plain(std::string_view bytes) {
  return ByteSource(std::make_unique<MemoryReader>(bytes));
}

} // namespace pelarune
