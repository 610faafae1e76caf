// Errors as values: a Result holds a value or an Error that is raised only at the boundary.
#pragma once

#include "binding/py_ref.h"

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

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

struct Unit {}; // the value of a Result that carries none

template <class T> class [[nodiscard]] Result {
public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}
  template <class U>
  requires(std::is_convertible_v<U, T> && !std::is_same_v<std::decay_t<U>, T> &&
           !std::is_same_v<std::decay_t<U>, Error>) Result(U &&value)
      : v_(std::in_place_index<0>, std::forward<U>(value)) {}

  explicit operator bool() const noexcept { return v_.index() == 0; }
  T &operator*() &noexcept { return std::get<0>(v_); }
  T &&operator*() &&noexcept { return std::get<0>(std::move(v_)); }
  T *operator->() noexcept { return &std::get<0>(v_); }
  Error &error() &noexcept { return std::get<1>(v_); }
  Error &&error() &&noexcept { return std::get<1>(std::move(v_)); }

private:
  std::variant<T, Error> v_;
};

using Status = Result<Unit>;
inline Status ok() {
  return Unit{};
}

} // namespace pelarune

#define PELARUNE_CONCAT_(a, b) a##b
#define PELARUNE_CONCAT(a, b) PELARUNE_CONCAT_(a, b)
#define PELARUNE_TRY_IMPL(tmp, decl, expr)                                                         \
  auto tmp = (expr);                                                                               \
  if (!tmp) [[unlikely]]                                                                           \
    return std::move(tmp).error();                                                                 \
  decl = std::move(*tmp)
// PELARUNE_TRY(auto x, expr): binds the value of a Result, or returns its error.
#define PELARUNE_TRY(decl, expr) PELARUNE_TRY_IMPL(PELARUNE_CONCAT(try_, __COUNTER__), decl, expr)
// PELARUNE_CHECK_OK(expr): returns the error of a Status-like Result, if any.
#define PELARUNE_CHECK_OK(expr)                                                                    \
  do {                                                                                             \
    auto status_ = (expr);                                                                         \
    if (!status_) [[unlikely]]                                                                     \
      return std::move(status_).error();                                                           \
  } while (0)
