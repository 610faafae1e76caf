// Loading a stream file for a Python call: the one place that turns the loader's outcome into
// Python's exceptions and warnings; and LoadedFile, a load the companion's pre-scan hands on to
// its replay.
#pragma once

#include "binding/class_object.h"
#include "input/loader.h"

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

// A file loaded once for both a backtest's pre-scan and its replay. On .bz2 files the pre-scan
// is 9% to 55% of a backtest's CPU time, nearly all of it bzip2 decoding; sharing the load makes
// the backtest 1.12x to 1.94x as fast (bench/bench_shared_load.py).
struct LoadedFileRecord {
  static constexpr const char *kName = "LoadedFile";
  static constexpr const char *kModule = "pelarune_flumine";
  static constexpr bool kGuarded = false; // records leave once, by a move that runs no Python

  PyRef path;    // the str it was loaded from
  PyRef markets; // what markets(path) gives, filled by the companion's load()
  MessageStore records;
  SkippedLines skipped;
  bool taken = false;
};
template <> PyTypeObject *class_object<LoadedFileRecord>();

// The file at `path` loaded, lines that are not JSON passed over and counted; `markets` is None.
Result<LoadedFileRecord> load_for_replay(PyObject *path);

// The records a replay of `file` reads: the file at that path loaded with `bad_lines`, or a
// LoadedFile's records, taken (each replays once) and warned about as `bad_lines` says.
Result<MessageStore> load_or_take(PyObject *file, BadLines bad_lines);

} // namespace pelarune
