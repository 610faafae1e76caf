// The one boundary for every call from the interpreter: runs a body returning a Result and
// turns its error, or an internal failure, into a Python exception.
#pragma once

#include "binding/py_ref.h"
#include "binding/result.h"
#include "check.h"

#include <cstddef>
#include <exception>
#include <new>

namespace pelarune {

// Binds the library to the first interpreter that initialises either of its modules; ImportError
// in any other.
Status check_interpreter(const char *module);

// Writes the diagnostic and raises extension_runtime.PanicException; aborts if even that fails.
[[gnu::cold]] void raise_panic(const Panic &panic) noexcept;

// The PanicException type, made on first need and kept for the life of the process.
PyObject *panic_exception_type();

// Sets MemoryError, unless the interpreter already raised one for the allocation that failed.
[[gnu::cold]] void raise_no_memory() noexcept;

// Result creation: a basic object the interpreter could not make is an internal failure, or
// std::bad_alloc when it could not for want of memory.
[[noreturn, gnu::cold, gnu::noinline]] void api_call_failed();
inline PyRef created(PyObject *p) {
  if (p == nullptr) [[unlikely]]
    api_call_failed();
  return PyRef::steal(p);
}
// The same rule for a getter that makes its value outside enter: returns its failure value.
[[gnu::cold, gnu::noinline]] PyObject *creation_failed() noexcept;

inline PyObject *to_interpreter(PyRef value) noexcept {
  return value.release();
}
inline int to_interpreter(int value) noexcept {
  return value;
}
inline Py_ssize_t to_interpreter(Py_ssize_t value) noexcept {
  return value;
}
inline int to_interpreter(Unit) noexcept {
  return 0;
}

// The C++ runtime keeps each thread's exception state in thread-local storage of its own
// library, which the dynamic loader allocates on first use and aborts the process when it cannot.
// Touching it on a thread's first entry makes that happen there, and not at a throw after memory
// ran out. The flag itself is initial-exec: it lives in the block every thread gets when it
// starts, so reading it allocates nothing and costs one load.
inline constinit thread_local bool exception_state_claimed
    __attribute__((tls_model("initial-exec"))) = false;

inline void claim_exception_state() noexcept {
  if (!exception_state_claimed) [[unlikely]] {
    [[maybe_unused]] volatile int in_flight = std::uncaught_exceptions();
    exception_state_claimed = true;
  }
}

template <class Ret, class Body> Ret enter(Ret failed, Body &&body) noexcept {
  claim_exception_state();
  try {
    auto result = body();
    if (result)
      return to_interpreter(std::move(*result));
    std::move(result).error().raise();
  } catch (const std::bad_alloc &) {
    raise_no_memory();
  } catch (const Panic &panic) {
    raise_panic(panic);
  } catch (...) {
    raise_panic(Panic("unexpected C++ exception"));
  }
  return failed;
}

} // namespace pelarune
