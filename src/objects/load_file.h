// Loading a stream file for a Python call: the one place that turns the loader's outcome into
// Python's exceptions and warnings.
#pragma once

#include "binding/result.h"
#include "input/loader.h"

#include <string_view>

namespace pelarune {

// What a load does with a line that is not JSON.
enum class BadLines {
  Fail, // ValueError, as iter_prices_file promises
  Skip, // passed over silently: a pre-scan, whose replay will warn
  Warn, // passed over, then one warning naming the file, the first such line and the count
};

// The records of the file at `path` (a str). ValueError when it cannot be read, and whatever a
// signal handler raised while it was read.
Result<MessageStore> load_file(PyObject *path, BadLines bad_lines);

// The records of the file at `path`, lines that are not JSON passed over and counted in
// `skipped`.
Result<MessageStore> load_file_skipping(std::string_view path, SkippedLines &skipped);

// The warning `bad_lines` asks for when lines were skipped.
Status warn_if_skipped(std::string_view path, const SkippedLines &skipped, BadLines bad_lines);

} // namespace pelarune
