// The one error type of loading, from opening the file to parsing a line. This file stays free
// of Python.
#pragma once

#include "expected.h"

#include <string>

namespace pelarune {

struct LoadError {
  std::string message; // what reaches the user, verbatim
  friend bool operator==(const LoadError &, const LoadError &) = default;
};

// Built only when the failure happens, so the success path carries no string.
[[gnu::cold, gnu::noinline]] inline LoadError load_error(const char *message) {
  return LoadError{message};
}

} // namespace pelarune
