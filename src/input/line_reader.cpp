// The line splitter with its UTF-8 check. This file stays free of Python.
#include "input/line_reader.h"

#include "check.h"

#include <cstring>

namespace pelarune {
namespace {

bool is_continuation(uint8_t byte) noexcept {
  return (byte & 0xC0) == 0x80;
}

} // namespace

bool is_valid_utf8(const char *text, size_t size) noexcept {
  const auto *p = reinterpret_cast<const uint8_t *>(text);
  const uint8_t *end = p + size;
  constexpr uint64_t kHighBits = 0x8080808080808080ull;
  while (p != end) {
    // Stream lines are almost all ASCII: test 32, then 8 bytes at a time for a high bit.
    while (end - p >= 32) {
      uint64_t w[4];
      std::memcpy(w, p, 32);
      if (((w[0] | w[1] | w[2] | w[3]) & kHighBits) != 0)
        break;
      p += 32;
    }
    while (end - p >= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      if ((w & kHighBits) != 0)
        break;
      p += 8;
    }
    // Byte by byte up to and including one non-ASCII sequence, then back to the word loop.
    while (p != end && *p < 0x80)
      ++p;
    if (p == end)
      return true;
    uint8_t lead = *p;
    ptrdiff_t left = end - p;
    if (lead >= 0xC2 && lead <= 0xDF) {
      if (left < 2 || !is_continuation(p[1]))
        return false;
      p += 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      if (left < 3 || !is_continuation(p[1]) || !is_continuation(p[2]))
        return false;
      if (lead == 0xE0 && p[1] < 0xA0) // overlong
        return false;
      if (lead == 0xED && p[1] > 0x9F) // surrogate
        return false;
      p += 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      if (left < 4 || !is_continuation(p[1]) || !is_continuation(p[2]) || !is_continuation(p[3]))
        return false;
      if (lead == 0xF0 && p[1] < 0x90) // overlong
        return false;
      if (lead == 0xF4 && p[1] > 0x8F) // above U+10FFFF
        return false;
      p += 4;
    } else {
      return false; // a continuation byte, C0/C1 (always overlong) or F5..FF
    }
  }
  return true;
}

LoadError invalid_utf8_error() {
  return load_error("stream did not contain valid UTF-8");
}

StreamLineReader::StreamLineReader(ByteSource source, size_t buffer_size, bool check_utf8,
                                   InterruptCheck interrupted)
    : source_(std::move(source)), interrupted_(interrupted), capacity_(buffer_size),
      check_utf8_(check_utf8), buffer_(new char[buffer_size + 1]) {
  PELARUNE_CHECK(buffer_size > 0, "line buffer needs room");
}

Expected<bool, LoadError> StreamLineReader::stop(Expected<bool, LoadError> outcome) {
  stopped_ = std::move(outcome);
  return *stopped_;
}

Expected<bool, LoadError> StreamLineReader::finish_line(MutableLine &line, char *data, size_t size,
                                                        bool had_lf) {
  if (had_lf && size > 0 && data[size - 1] == '\r')
    --size;
  if (check_utf8_ && !is_valid_utf8(data, size)) [[unlikely]]
    return stop(invalid_utf8_error());
  line.data = data;
  line.size = size;
  return true;
}

Expected<bool, LoadError> StreamLineReader::next_line(MutableLine &line) {
  if (stopped_) [[unlikely]]
    return *stopped_;
  long_line_.clear();
  size_t scan = begin_; // bytes before scan hold no LF
  for (;;) {
    char *buffer = buffer_.get();
    if (auto *lf = static_cast<char *>(std::memchr(buffer + scan, '\n', end_ - scan))) {
      char *start = buffer + begin_;
      begin_ = size_t(lf - buffer) + 1;
      if (long_line_.empty())
        return finish_line(line, start, size_t(lf - start), true); // [size] is the LF
      long_line_.append(start, lf);
      long_line_.push_back('\0'); // the writable byte
      return finish_line(line, long_line_.data(), long_line_.size() - 1, true);
    }
    if (at_eof_) {
      if (long_line_.empty() && begin_ == end_)
        return stop(false);
      char *start = buffer + begin_;
      size_t size = end_ - begin_;
      begin_ = end_;
      if (long_line_.empty())
        return finish_line(line, start, size, false); // [size] is the spare byte past the buffer
      long_line_.append(start, size);
      long_line_.push_back('\0');
      return finish_line(line, long_line_.data(), long_line_.size() - 1, false);
    }
    // The line continues past the filled part: make room and read more.
    if (begin_ == 0 && end_ == capacity_) {
      long_line_.append(buffer, end_); // see LineReader.LinesLongerThanTheBuffer
      end_ = 0;
    } else if (begin_ > 0) {
      std::memmove(buffer, buffer + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    scan = end_;
    if (interrupted_ != nullptr && interrupted_()) [[unlikely]]
      return stop(interrupted_error());
    auto got = source_.read(buffer + end_, capacity_ - end_);
    if (!got) [[unlikely]]
      return stop(std::move(got).error());
    if (*got == 0)
      at_eof_ = true;
    end_ += *got;
  }
}

} // namespace pelarune
