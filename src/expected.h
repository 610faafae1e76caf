// Errors as values for every layer: an Expected holds a value or the error that stopped it.
// Free of Python, so the core and the binding share it.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace pelarune {

struct Unit {}; // the value of an Expected that carries none

template <class T, class E> class [[nodiscard]] Expected {
public:
  Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Expected(E error) : v_(std::in_place_index<1>, std::move(error)) {}
  template <class U>
  requires(std::is_convertible_v<U, T> && !std::is_same_v<std::decay_t<U>, T> &&
           !std::is_same_v<std::decay_t<U>, E>) Expected(U &&value)
      : v_(std::in_place_index<0>, std::forward<U>(value)) {}

  explicit operator bool() const noexcept { return v_.index() == 0; }
  T &operator*() &noexcept { return std::get<0>(v_); }
  const T &operator*() const &noexcept { return std::get<0>(v_); }
  T &&operator*() &&noexcept { return std::get<0>(std::move(v_)); }
  T *operator->() noexcept { return &std::get<0>(v_); }
  const T *operator->() const noexcept { return &std::get<0>(v_); }
  E &error() &noexcept { return std::get<1>(v_); }
  const E &error() const &noexcept { return std::get<1>(v_); }
  E &&error() &&noexcept { return std::get<1>(std::move(v_)); }

  // Compiled only where used, so T and E need == only then.
  friend bool operator==(const Expected &a, const Expected &b) { return a.v_ == b.v_; }

private:
  std::variant<T, E> v_;
};

} // namespace pelarune

#define PELARUNE_CONCAT_(a, b) a##b
#define PELARUNE_CONCAT(a, b) PELARUNE_CONCAT_(a, b)
#define PELARUNE_TRY_IMPL(tmp, decl, expr)                                                         \
  auto tmp = (expr);                                                                               \
  if (!tmp) [[unlikely]]                                                                           \
    return std::move(tmp).error();                                                                 \
  decl = std::move(*tmp)
// PELARUNE_TRY(auto x, expr): binds the value of an Expected, or returns its error.
#define PELARUNE_TRY(decl, expr) PELARUNE_TRY_IMPL(PELARUNE_CONCAT(try_, __COUNTER__), decl, expr)
// PELARUNE_CHECK_OK(expr): returns the error of an Expected<Unit, E>, if any.
#define PELARUNE_CHECK_OK(expr)                                                                    \
  do {                                                                                             \
    auto status_ = (expr);                                                                         \
    if (!status_) [[unlikely]]                                                                     \
      return std::move(status_).error();                                                           \
  } while (0)
