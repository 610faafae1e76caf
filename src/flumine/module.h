// pelarune_flumine._replay, the companion's native module, which lives in pelarune's own library
// so that its books are pelarune's classes; and LoadedFile, a load the companion's pre-scan hands
// on to its replay.
#pragma once

#include "binding/class_object.h"
#include "objects/load_file.h"

namespace pelarune {

// A file loaded once for both a backtest's pre-scan and its replay. On .bz2 files the pre-scan
// is 9% to 55% of a backtest's CPU time, nearly all of it bzip2 decoding; sharing the load makes
// the backtest 1.12x to 1.94x as fast (bench/bench_shared_load.py).
struct LoadedFileRecord {
  static constexpr const char *kName = "LoadedFile";
  static constexpr const char *kModule = "pelarune_flumine";
  static constexpr bool kGuarded = false; // records leave once, by a move that runs no Python

  PyRef path;    // the str it was loaded from
  PyRef markets; // what markets(path) gives
  MessageStore records;
  SkippedLines skipped;
  bool taken = false;
};
template <> PyTypeObject *class_object<LoadedFileRecord>();

// The records a replay of `file` reads: the file at that path loaded with `bad_lines`, or a
// LoadedFile's records, taken (each replays once) and warned about as `bad_lines` says.
Result<MessageStore> load_or_take(PyObject *file, BadLines bad_lines);

} // namespace pelarune
