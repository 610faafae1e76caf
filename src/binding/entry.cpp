// Error values, internal-failure conversion and the PanicException type.
#include "binding/entry.h"

#include <cstdio>
#include <cstdlib>

namespace pelarune {

namespace {

constexpr const char *kPanicDoc =
    "Raised when the extension's native code fails.\n\n"
    "Like SystemExit, it derives from BaseException, so that it normally propagates all the "
    "way up and ends the interpreter.";

[[noreturn]] void abort_with(const char *what) noexcept {
  std::fprintf(stderr, "pelarune: fatal: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

} // namespace

PyObject *panic_exception_type() {
  // Created once and never released; the interpreter lock serialises the first call.
  static PyObject *type = nullptr;
  if (type == nullptr)
    type = PyErr_NewExceptionWithDoc("extension_runtime.PanicException", kPanicDoc,
                                     PyExc_BaseException, nullptr);
  return type;
}

void raise_panic(const Panic &panic) noexcept {
  if (panic.line() > 0)
    std::fprintf(stderr, "pelarune: internal failure at %s:%d: %s\n", panic.file(), panic.line(),
                 panic.what());
  else
    std::fprintf(stderr, "pelarune: internal failure: %s\n", panic.what());
  std::fflush(stderr);
  PyObject *type = panic_exception_type();
  if (type == nullptr)
    abort_with("cannot create extension_runtime.PanicException");
  PyObject *message = PyUnicode_FromString(panic.what());
  if (message == nullptr)
    abort_with(panic.what());
  PyErr_SetObject(type, message);
  Py_DECREF(message);
}

void api_call_failed() {
  if (PyErr_Occurred())
    PyErr_Print();
  throw Panic("Python API call failed");
}

PyObject *creation_failed() noexcept {
  return enter<PyObject *>(nullptr, []() -> Result<PyRef> { api_call_failed(); });
}

Error Error::take_current() {
  PyObject *exception = PyErr_GetRaisedException();
  if (exception == nullptr)
    return Error(PyExc_SystemError, "attempted to fetch exception but none was set");
  PyObject *panic_type = panic_exception_type();
  if (panic_type != nullptr && PyObject_TypeCheck(exception, (PyTypeObject *)panic_type)) {
    std::fprintf(stderr, "pelarune: resuming an internal failure raised by Python code:\n");
    std::string message = "PanicException";
    PyObject *text = PyObject_Str(exception);
    if (text != nullptr) {
      if (const char *utf8 = PyUnicode_AsUTF8(text))
        message = utf8;
      Py_DECREF(text);
    }
    PyErr_Clear();
    PyErr_DisplayException(exception);
    Py_DECREF(exception);
    throw Panic(std::move(message));
  }
  Error error;
  error.exception_ = PyRef::steal(exception);
  return error;
}

void Error::raise() && {
  if (exception_) {
    PyErr_SetRaisedException(exception_.release()); // steals
    return;
  }
  PyObject *message = PyUnicode_FromStringAndSize(message_.data(), Py_ssize_t(message_.size()));
  if (message == nullptr)
    return; // MemoryError is set
  PyErr_SetObject(type_, message);
  Py_DECREF(message);
}

PyObject *Error::type() const noexcept {
  return exception_ ? (PyObject *)Py_TYPE(exception_.get()) : type_;
}

} // namespace pelarune
