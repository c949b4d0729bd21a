#include "util/file_handle.h"

#include <fcntl.h>
#include <unistd.h>

FileHandle::~FileHandle() {
  if (fd_ >= 0) ::close(fd_);
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

FileHandle FileHandle::openForReading(const std::filesystem::path& file) {
  return FileHandle(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
}
