// The recorded files of the shared data folder: optional in a developer's clone, required in CI.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace pelarune::recorded_data {

// CI (CI=true) has the recordings: there a missing one fails the test, since a skip would let
// the run report success without the checks.
inline bool required() {
  const char *ci = std::getenv("CI");
  return ci != nullptr && std::string_view(ci) == "true";
}

} // namespace pelarune::recorded_data

// Skips the calling test (fails it in CI) when the recorded file or folder `path` is missing.
#define PELARUNE_SKIP_WITHOUT_RECORDING(path)                                                      \
  do {                                                                                             \
    if (!std::filesystem::exists(path)) {                                                          \
      if (::pelarune::recorded_data::required())                                                   \
        GTEST_FAIL() << (path) << " not present (CI=true: not skipped)";                           \
      GTEST_SKIP() << (path) << " not present";                                                    \
    }                                                                                              \
  } while (false)
