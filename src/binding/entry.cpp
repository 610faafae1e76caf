// Error values, internal-failure conversion and the PanicException type.
#include "binding/entry.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

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
  // Making the exception fails only for want of memory; the MemoryError raised then stands in.
  PyObject *type = panic_exception_type();
  PyObject *message = type != nullptr ? PyUnicode_FromString(panic.what()) : nullptr;
  if (message == nullptr) {
    if (!PyErr_Occurred())
      abort_with(panic.what());
    return;
  }
  PyErr_SetObject(type, message);
  Py_DECREF(message);
}

void raise_no_memory() noexcept {
  if (!PyErr_ExceptionMatches(PyExc_MemoryError))
    PyErr_NoMemory();
}

void api_call_failed() {
  if (PyErr_ExceptionMatches(PyExc_MemoryError))
    throw std::bad_alloc(); // enter() keeps the interpreter's MemoryError
  if (PyErr_Occurred())
    PyErr_Print();
  throw Panic("Python API call failed");
}

PyObject *creation_failed() noexcept {
  return enter<PyObject *>(nullptr, []() -> Result<PyRef> { api_call_failed(); });
}

Error Error::take_current() {
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  if (!exception)
    return Error(PyExc_SystemError, "attempted to fetch exception but none was set");
  PyObject *panic_type = panic_exception_type();
  if (panic_type == nullptr)
    PyErr_Clear(); // then it cannot be one
  else if (PyObject_TypeCheck(exception.get(), (PyTypeObject *)panic_type)) {
    std::fprintf(stderr, "pelarune: resuming an internal failure raised by Python code:\n");
    std::string message = "PanicException";
    PyRef text = PyRef::steal(PyObject_Str(exception.get()));
    if (text) {
      if (const char *utf8 = PyUnicode_AsUTF8(text.get()))
        message = utf8;
    }
    PyErr_Clear();
    PyErr_DisplayException(exception.get());
    throw Panic(std::move(message));
  }
  Error error;
  error.exception_ = std::move(exception);
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

namespace {
// The interpreter that first imported either module; the library binds to it for good.
std::atomic<int64_t> initialised_interpreter{-1};
} // namespace

Status check_interpreter(const char *module) {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1)
    return Error::take_current();
  int64_t expected = -1;
  if (!initialised_interpreter.compare_exchange_strong(expected, id) && expected != id)
    return Error(PyExc_ImportError,
                 std::string(module) +
                     " does not support sub-interpreters: it was already imported by another "
                     "interpreter in this process");
  return ok();
}

} // namespace pelarune
