// Errors as values: a Result holds a value or an Error that is raised only at the boundary.
#pragma once

#include "binding/py_ref.h"
#include "expected.h"

#include <string>
#include <utility>

namespace pelarune {

class [[nodiscard]] Error {
public:
  // A pending description: the exception object is made only when raised.
  [[gnu::cold]] Error(PyObject *type, std::string message)
      : type_(type), message_(std::move(message)) {}

  // The interpreter's current exception as a value. With none set (a C API call failed
  // without saying why) it is SystemError. A PanicException raised by Python code we called
  // resumes as an internal failure instead (throws Panic).
  [[gnu::cold, gnu::noinline]] static Error take_current();

  // Sets this error as the interpreter's current exception.
  void raise() &&;

  // The exception type, for the argument-error rule (exact type compare).
  PyObject *type() const noexcept;

private:
  Error() = default;
  PyObject *type_ = nullptr; // pending form
  std::string message_;
  PyRef exception_; // fetched form
};

// enter() turns the error into the Python exception.
template <class T> using Result = Expected<T, Error>;

using Status = Result<Unit>;
inline Status ok() {
  return Unit{};
}

} // namespace pelarune
