// File and memory byte sources, the line splitter with its UTF-8 check, and opening a stream
// file by path. This file stays free of Python.
#include "input/line_reader.h"

#include "check.h"
#include "input/gzip_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace pelarune {

ReadError os_error(int code) {
  return {ReadErrorKind::Os,
          std::generic_category().message(code) + " (os error " + std::to_string(code) + ")", code};
}

ReadError unexpected_eof_error() {
  return {ReadErrorKind::UnexpectedEof, "unexpected end of file"};
}

namespace {

[[gnu::cold, gnu::noinline]] ReadError invalid_utf8_error() {
  return {ReadErrorKind::InvalidData, "stream did not contain valid UTF-8"};
}

class FileReader final : public ByteReader {
public:
  explicit FileReader(int fd) noexcept : fd_(fd) {}
  FileReader(const FileReader &) = delete;
  FileReader &operator=(const FileReader &) = delete;
  ~FileReader() override { ::close(fd_); }

  ReadResult read(char *out, size_t capacity) override {
    for (;;) {
      ssize_t n = ::read(fd_, out, capacity);
      if (n >= 0)
        return {size_t(n), std::nullopt};
      if (errno != EINTR)
        return {0, os_error(errno)};
    }
  }

private:
  int fd_;
};

class MemoryReader final : public ByteReader {
public:
  explicit MemoryReader(std::string_view bytes) noexcept : rest_(bytes) {}

  ReadResult read(char *out, size_t capacity) override {
    size_t n = std::min(capacity, rest_.size());
    std::memcpy(out, rest_.data(), n);
    rest_.remove_prefix(n);
    return {n, std::nullopt};
  }

private:
  std::string_view rest_;
};

bool is_continuation(uint8_t byte) noexcept {
  return (byte & 0xC0) == 0x80;
}

} // namespace

ByteSource ByteSource::file(int fd) {
  return ByteSource(std::make_unique<FileReader>(fd));
}

ByteSource ByteSource::plain(std::string_view bytes) {
  return ByteSource(std::make_unique<MemoryReader>(bytes));
}

ByteSource ByteSource::gzip(ByteSource compressed) {
  return ByteSource(make_gzip_reader(std::move(compressed)));
}

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

StreamLineReader::StreamLineReader(ByteSource source, size_t buffer_size)
    : source_(std::move(source)), capacity_(buffer_size), buffer_(new char[buffer_size + 1]) {
  PELARUNE_CHECK(buffer_size > 0, "line buffer needs room");
}

LineStatus StreamLineReader::fail(ReadError error) {
  error_ = std::move(error);
  sticky_ = LineStatus::Error;
  return sticky_;
}

LineStatus StreamLineReader::finish_line(MutableLine &line, char *data, size_t size, bool had_lf) {
  if (had_lf && size > 0 && data[size - 1] == '\r')
    --size;
  if (!is_valid_utf8(data, size)) [[unlikely]]
    return fail(invalid_utf8_error());
  line.data = data;
  line.size = size;
  return LineStatus::Line;
}

LineStatus StreamLineReader::next_line(MutableLine &line) {
  if (sticky_ != LineStatus::Line) [[unlikely]]
    return sticky_;
  long_line_.clear();
  size_t scan = begin_; // bytes before scan hold no LF
  for (;;) {
    char *buffer = buffer_.get();
    if (auto *lf = static_cast<char *>(std::memchr(buffer + scan, '\n', end_ - scan))) {
      size_t stop = size_t(lf - buffer);
      char *start = buffer + begin_;
      begin_ = stop + 1;
      if (long_line_.empty())
        return finish_line(line, start, stop - size_t(start - buffer), true); // [size] is the LF
      long_line_.append(start, lf);
      long_line_.push_back('\0'); // the writable byte
      return finish_line(line, long_line_.data(), long_line_.size() - 1, true);
    }
    if (at_eof_) {
      if (long_line_.empty() && begin_ == end_) {
        sticky_ = LineStatus::End;
        return sticky_;
      }
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
    ReadResult got = source_.read(buffer + end_, capacity_ - end_);
    if (got.error) [[unlikely]]
      return fail(std::move(*got.error));
    if (got.bytes == 0)
      at_eof_ = true;
    end_ += got.bytes;
  }
}

bool is_gzip_path(std::string_view path) noexcept {
  while (!path.empty() && path.back() == '/')
    path.remove_suffix(1);
  std::string_view name = path.substr(path.find_last_of('/') + 1); // npos + 1 == 0
  if (name.empty() || name == "..")
    return false;
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) // ".gz" alone names a file with no extension
    return false;
  std::string_view extension = name.substr(dot + 1);
  return extension == "gz" || extension == "gzip";
}

OpenResult open_stream_file(std::string_view path) {
  if (path.find('\0') != std::string_view::npos)
    return ReadError{ReadErrorKind::InvalidInput, "path contains a NUL character"};
  std::string terminated(path);
  int fd;
  do
    fd = ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0)
    return os_error(errno);
  // Opened before the name is looked at, so a missing file fails alike whatever its name.
  ByteSource source = ByteSource::file(fd);
  if (is_gzip_path(path))
    source = ByteSource::gzip(std::move(source));
  return StreamLineReader(std::move(source));
}

} // namespace pelarune
