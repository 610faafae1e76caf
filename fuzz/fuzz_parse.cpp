// Fuzzes the line parser's two paths against each other: wherever the scanner takes a line,
// RapidJSON's reader must accept it with the same tape, and the parser as a whole must give
// the reader's outcome (the tape, or the error text) on every line.
#include "input/json_parser.h"
#include "input/line_reader.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

using namespace pelarune;

namespace {

void check_line(std::string_view text, JsonParser &parser) {
  if (!is_valid_utf8(text.data(), text.size()))
    return; // the line reader refuses these before any parse
  std::string line(text);
  auto scanned = std::make_unique<char[]>(JsonScanner::tape_bound(text.size()));
  char *end = JsonScanner().scan(line.c_str(), text.size(), scanned.get());

  std::string by_reader;
  auto read = parser.parse_with_reader(line.data(), text.size(), by_reader);
  if (end && (!read || std::string_view(scanned.get(), size_t(end - scanned.get())) != by_reader))
    std::abort(); // the scanner took a line the reader refuses, or wrote another tape

  line.assign(text);
  std::string by_parser;
  auto parsed = parser.parse(line.data(), text.size(), by_parser);
  if (bool(parsed) != bool(read) ||
      (read ? by_parser != by_reader : parsed.error() != read.error()))
    std::abort(); // the parser's outcome is not the reader's
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char *>(data), size);
  JsonParser parser; // reused across lines, as the loader does
  while (!bytes.empty()) {
    size_t lf = bytes.find('\n');
    check_line(bytes.substr(0, lf), parser);
    bytes.remove_prefix(lf == std::string_view::npos ? bytes.size() : lf + 1);
  }
  return 0;
}
