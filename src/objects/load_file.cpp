// Loading a stream file for a Python call: the one place that turns the loader's outcome into
// Python's exceptions and warnings.
#include "objects/load_file.h"

#include "binding/arguments.h"
#include "binding/convert.h"

#include <string>

namespace pelarune {
namespace {

// Runs the interpreter's signal handlers during a load; true when one raised, as the handler of
// SIGINT does (KeyboardInterrupt). Other threads have no handlers to run.
bool signal_handler_raised() noexcept {
  return PyErr_CheckSignals() != 0;
}

Result<MessageStore> load(std::string_view path, SkippedLines *skipped) {
  LoadResult loaded = load_stream_messages(path, nullptr, signal_handler_raised, skipped);
  if (!loaded) {
    if (loaded.error().kind == LoadError::Kind::Interrupted)
      return Error::take_current(); // what the signal handler raised
    return Error(PyExc_ValueError, loaded.error().message);
  }
  return std::move(*loaded);
}

[[gnu::cold, gnu::noinline]] Status warn_skipped(std::string_view path,
                                                 const SkippedLines &skipped) {
  std::string message = std::string(path) + ": skipped " + std::to_string(skipped.count);
  message += skipped.count == 1 ? " line that is not JSON, at line "
                                : " lines that are not JSON, the first at line ";
  message += std::to_string(skipped.first_line) + " (" + skipped.first_error + ")";
  if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0)
    return Error::take_current(); // warnings turned into errors
  return ok();
}

} // namespace

Status warn_if_skipped(std::string_view path, const SkippedLines &skipped, BadLines bad_lines) {
  if (skipped.count > 0 && bad_lines == BadLines::Warn)
    return warn_skipped(path, skipped);
  return ok();
}

Result<MessageStore> load_file(PyObject *path_object, BadLines bad_lines) {
  PELARUNE_TRY(std::string_view path, extract_str(path_object, "path"));
  SkippedLines skipped;
  PELARUNE_TRY(MessageStore records, load(path, bad_lines == BadLines::Fail ? nullptr : &skipped));
  PELARUNE_CHECK_OK(warn_if_skipped(path, skipped, bad_lines));
  return records;
}

Result<MessageStore> load_file_skipping(std::string_view path, SkippedLines &skipped) {
  return load(path, &skipped);
}

} // namespace pelarune
