// Loading a stream file for a Python call: the one place that turns the loader's outcome into
// Python's exceptions and warnings.
#pragma once

#include "binding/result.h"
#include "input/message_store.h"

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

} // namespace pelarune
