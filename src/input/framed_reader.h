// The read loop of decoders for concatenated compressed units (gzip members, bzip2 streams):
// a unit's header, then its body, then a look for another unit; the first failure is kept so
// that every later read fails alike. This file stays free of Python.
#pragma once

#include "check.h"
#include "input/byte_source.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace pelarune {

// A framing step: done, or why the input cannot be decoded.
using Step = Expected<Unit, LoadError>;

// Reads what `source` gives into at[0, room) and moves `end` past it; `ended` is set when the
// source has no more.
inline Step read_more(ByteSource &source, char *at, size_t room, size_t &end, bool &ended) {
  auto got = source.read(at, room);
  if (!got)
    return std::move(got).error();
  if (*got == 0)
    ended = true;
  end += *got;
  return Unit{};
}

class FramedReader : public ByteReader {
public:
  // `magic` starts every unit.
  explicit FramedReader(std::string_view magic) noexcept : magic_(magic) {}

  Expected<size_t, LoadError> read(char *out, size_t capacity) final {
    if (failure_) [[unlikely]]
      return *failure_;
    PELARUNE_CHECK(capacity > 0, "decoder read without room");
    size_t produced = 0;
    while (produced == 0 && state_ != State::Done) {
      Step step = state_ == State::Header ? read_header()
                  : state_ == State::Body ? decode_into(out, capacity, produced)
                                          : look_for_next();
      if (!step) [[unlikely]] {
        failed();
        failure_ = step.error();
        return std::move(step).error();
      }
    }
    return produced;
  }

protected:
  enum class State : uint8_t { Header, Body, AfterUnit, Done };
  State state_ = State::Header;

private:
  // Checks a unit's header and sets up for its body (state_ becomes Body).
  virtual Step read_header() = 0;
  // Decodes into out[produced, capacity) until it is full or the unit ends (state_ becomes
  // AfterUnit once its trailer, if any, is checked).
  virtual Step decode_into(char *out, size_t capacity, size_t &produced) = 0;
  // The next n input bytes without consuming them; fewer only where the input ends.
  virtual Expected<std::string_view, LoadError> peek(size_t n) = 0;
  // Releases what decoding holds, once reading has failed.
  virtual void failed() noexcept {}

  // After a unit: the magic starts another one; anything else (padding, garbage, a cut magic
  // at the end) ends the input, without error.
  Step look_for_next() {
    PELARUNE_TRY(std::string_view ahead, peek(magic_.size()));
    state_ = ahead == magic_ ? State::Header : State::Done;
    return Unit{};
  }

  std::string_view magic_;
  std::optional<LoadError> failure_;
};

} // namespace pelarune
