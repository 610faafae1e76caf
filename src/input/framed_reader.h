// The read loop of decoders for concatenated compressed units (gzip members, bzip2 streams):
// a unit's header, then its body, then a look for another unit; the first failure is kept so
// that every later read fails alike. This file stays free of Python.
#pragma once

#include "check.h"
#include "input/byte_source.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

namespace pelarune {

// A framing step: done, or why the input cannot be decoded.
using Step = Expected<Unit, LoadError>;

// The compressed input between a source and its decoder: the bytes read and not yet consumed,
// and room of `put_back` bytes before them (and after the buffer) for bytes a decoder read
// ahead and hands back.
class InputBuffer {
public:
  InputBuffer(ByteSource source, size_t capacity, size_t put_back = 0)
      : source_(std::move(source)), storage_(new char[put_back + capacity + put_back]),
        base_(storage_.get() + put_back), begin_(base_), end_(base_), capacity_(capacity) {}

  const char *data() const noexcept { return begin_; }
  size_t size() const noexcept { return size_t(end_ - begin_); }
  void consume(size_t n) noexcept { begin_ += n; }
  // Leaves the last n bytes unconsumed, as a decoder reports what it left of the input it was
  // given; never more than that. see InputBuffer.KeepLastIsBoundByTheUnconsumedBytes
  void keep_last(size_t n) {
    PELARUNE_CHECK(n <= size(), "decoder kept more input than it was given");
    begin_ = end_ - n;
  }
  // Whether the source has no more.
  bool ended() const noexcept { return ended_; }

  // Keeps the unconsumed bytes, moved to the front, and reads more after them.
  Step fill() {
    if (begin_ != base_) {
      std::memmove(base_, begin_, size()); // at most capacity + put_back bytes
      end_ = base_ + size();
      begin_ = base_;
    }
    if (size() >= capacity_)
      return Unit{};
    auto got = source_.read(end_, capacity_ - size());
    if (!got)
      return std::move(got).error();
    if (*got == 0)
      ended_ = true;
    end_ += *got;
    return Unit{};
  }

  // Reads until n bytes are unconsumed or the source ends.
  Step at_least(size_t n) {
    while (size() < n && !ended_)
      PELARUNE_CHECK_OK(fill());
    return Unit{};
  }

  // The n bytes before the unconsumed ones, unconsumed again for the caller to write.
  char *put_back(size_t n) {
    // After a fill the unconsumed bytes start at the base, and no more than put_back bytes
    // are handed back before the next fill.
    PELARUNE_CHECK(size_t(begin_ - storage_.get()) >= n, "put-back beyond the buffer");
    begin_ -= n;
    return begin_;
  }

private:
  ByteSource source_;
  std::unique_ptr<char[]> storage_;
  char *base_;  // where a fill moves the unconsumed bytes
  char *begin_; // the unconsumed bytes: [begin_, end_)
  char *end_;
  size_t capacity_;
  bool ended_ = false;
};

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
