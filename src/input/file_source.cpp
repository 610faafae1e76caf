// Files as byte sources, and opening a stream file by path. This file stays free of Python.
#include "input/file_source.h"

#include <cerrno>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace pelarune {
namespace {

[[gnu::cold, gnu::noinline]] LoadError os_error(int code) {
  return {std::generic_category().message(code) + " (os error " + std::to_string(code) + ")"};
}

class FileReader final : public ByteReader {
public:
  FileReader(int fd, InterruptCheck interrupted) noexcept : fd_(fd), interrupted_(interrupted) {}
  FileReader(const FileReader &) = delete;
  FileReader &operator=(const FileReader &) = delete;
  ~FileReader() override { ::close(fd_); }

  Expected<size_t, LoadError> read(char *out, size_t capacity) override {
    for (;;) {
      ssize_t n = ::read(fd_, out, capacity);
      if (n >= 0)
        return size_t(n);
      if (errno != EINTR)
        return os_error(errno);
      if (interrupted_ != nullptr && interrupted_())
        return interrupted_error();
    }
  }

private:
  int fd_;
  InterruptCheck interrupted_;
};

// The text after the last dot of the path's final component; empty when there is no final
// component, it is "..", or its only dot leads it (".gz" alone names a file with no extension).
std::string_view extension_of(std::string_view path) noexcept {
  while (!path.empty() && path.back() == '/')
    path.remove_suffix(1);
  std::string_view name = path.substr(path.find_last_of('/') + 1); // npos + 1 == 0
  if (name.empty() || name == "..")
    return {};
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0)
    return {};
  return name.substr(dot + 1);
}

} // namespace

ByteSource ByteSource::file(int fd, InterruptCheck interrupted) {
  return ByteSource(std::make_unique<FileReader>(fd, interrupted));
}

bool is_gzip_path(std::string_view path) noexcept {
  std::string_view extension = extension_of(path);
  return extension == "gz" || extension == "gzip";
}

bool is_bzip2_path(std::string_view path) noexcept {
  return extension_of(path) == "bz2";
}

Expected<ByteSource, LoadError> open_stream_file(std::string_view path,
                                                 InterruptCheck interrupted) {
  if (path.find('\0') != std::string_view::npos)
    return load_error("path contains a NUL character");
  std::string terminated(path);
  int fd;
  while ((fd = ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
    if (errno != EINTR)
      return os_error(errno);
    if (interrupted != nullptr && interrupted())
      return interrupted_error();
  }
  // Opened before the name is looked at, so a missing file fails alike whatever its name.
  ByteSource source = ByteSource::file(fd, interrupted);
  if (is_gzip_path(path))
    source = ByteSource::gzip(std::move(source));
  else if (is_bzip2_path(path))
    source = ByteSource::bzip2(std::move(source));
  return source;
}

} // namespace pelarune
