// Broken-invariant checks shared by every layer; free of Python so the core can use it.
#pragma once

#include <stdexcept>
#include <string>

namespace pelarune {

// Thrown only for a broken internal invariant; the interpreter boundary turns it into
// extension_runtime.PanicException. Bad input content is never a Panic.
class Panic : public std::runtime_error {
public:
  Panic(std::string message, const char *file = "", int line = 0)
      : std::runtime_error(std::move(message)), file_(file), line_(line) {}
  const char *file() const noexcept { return file_; }
  int line() const noexcept { return line_; }

private:
  const char *file_;
  int line_;
};

[[noreturn, gnu::cold, gnu::noinline]] inline void panic_at(const char *what, const char *file,
                                                            int line) {
  throw Panic(what, file, line);
}

} // namespace pelarune

#define PELARUNE_CHECK(cond, what)                                                                 \
  do {                                                                                             \
    if (!(cond)) [[unlikely]]                                                                      \
      ::pelarune::panic_at((what), __FILE__, __LINE__);                                            \
  } while (0)
