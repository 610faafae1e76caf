// The one error type of loading, from opening the file to parsing a line. This file stays free
// of Python.
#pragma once

#include "expected.h"

#include <cstdint>
#include <string>

namespace pelarune {

struct LoadError {
  // Interrupted: the caller's interrupt check asked to stop, and the caller holds the reason.
  // NotJson: a line (UTF-8) is not one JSON value, which a lenient load passes over.
  enum class Kind : uint8_t { Failed, Interrupted, NotJson };

  std::string message; // what reaches the user, verbatim
  Kind kind = Kind::Failed;
  friend bool operator==(const LoadError &, const LoadError &) = default;
};

// Built only when the failure happens, so the success path carries no string.
[[gnu::cold, gnu::noinline]] inline LoadError load_error(const char *message) {
  return LoadError{message};
}

[[gnu::cold, gnu::noinline]] inline LoadError interrupted_error() {
  return LoadError{"interrupted", LoadError::Kind::Interrupted};
}

// Asked whenever a signal interrupts opening or reading the file, and between reads: true ends
// the load with an interrupted error. The binding runs the interpreter's signal handlers here.
using InterruptCheck = bool (*)() noexcept;

} // namespace pelarune
