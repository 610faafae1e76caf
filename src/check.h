// Broken-invariant checks shared by every layer; free of Python so the core can use it.
#pragma once

#include <cstddef>
#include <string>

namespace pelarune {

// Thrown only for a broken internal invariant; the interpreter boundary turns it into
// extension_runtime.PanicException. Bad input content is never a Panic. A message given as a
// string literal is kept as a pointer, so reporting an exhausted heap needs no allocation.
class Panic {
public:
  template <size_t N>
  Panic(const char (&literal)[N], const char *file = "", int line = 0) noexcept
      : literal_(literal), file_(file), line_(line) {}
  Panic(std::string message, const char *file = "", int line = 0)
      : message_(std::move(message)), file_(file), line_(line) {}

  const char *what() const noexcept { return literal_ != nullptr ? literal_ : message_.c_str(); }
  const char *file() const noexcept { return file_; }
  int line() const noexcept { return line_; }

private:
  const char *literal_ = nullptr;
  std::string message_;
  const char *file_;
  int line_;
};

[[noreturn, gnu::cold, gnu::noinline]] inline void panic_at(const char *what, const char *file,
                                                            int line) {
  throw Panic(std::string(what), file, line);
}

} // namespace pelarune

#define PELARUNE_CHECK(cond, what)                                                                 \
  do {                                                                                             \
    if (!(cond)) [[unlikely]]                                                                      \
      ::pelarune::panic_at((what), __FILE__, __LINE__);                                            \
  } while (0)
