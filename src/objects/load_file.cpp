// Loading a stream file for a Python call: the one place that turns the loader's outcome into
// Python's exceptions and warnings.
#include "objects/load_file.h"

#include "binding/arguments.h"
#include "input/loader.h"

#include <string>

namespace pelarune {
namespace {

// Runs the interpreter's signal handlers during a load; true when one raised, as the handler of
// SIGINT does (KeyboardInterrupt). Other threads have no handlers to run.
bool signal_handler_raised() noexcept {
  return PyErr_CheckSignals() != 0;
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

Result<MessageStore> load_file(PyObject *path_object, BadLines bad_lines) {
  PELARUNE_TRY(std::string_view path, extract_str(path_object, "path"));
  SkippedLines skipped;
  LoadResult loaded = load_stream_messages(path, nullptr, signal_handler_raised,
                                           bad_lines == BadLines::Fail ? nullptr : &skipped);
  if (!loaded) {
    if (loaded.error().kind == LoadError::Kind::Interrupted)
      return Error::take_current(); // what the signal handler raised
    return Error(PyExc_ValueError, loaded.error().message);
  }
  if (skipped.count > 0 && bad_lines == BadLines::Warn)
    PELARUNE_CHECK_OK(warn_skipped(path, skipped));
  return std::move(*loaded);
}

} // namespace pelarune
