#include "util/file_content.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "util/bus_error_guard.h"
#include "util/file_utils.h"

namespace fs = std::filesystem;

FileContent::~FileContent() { release(); }

void FileContent::release() {
  if (map_ != nullptr) ::munmap(map_, bytes_.size());
  if (fd_ >= 0) ::close(fd_);
  map_ = nullptr;
  fd_ = -1;
  bytes_ = {};
}

bool FileContent::load(const fs::path& file) {
  release();
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status = {};
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
    const auto size = static_cast<std::size_t>(status.st_size);
    void* const map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    if (map != MAP_FAILED) {
      fd_ = fd;
      modified_ = status.st_mtim;
      map_ = map;
      bytes_ = {static_cast<char*>(map), size};
      return true;
    }
  }
  ::close(fd);
  // Empty, not a regular file, or on storage that cannot map it: read it.
  if (!FileUtils::readBinaryFile(file, buffer_)) return false;
  bytes_ = buffer_;
  return true;
}

void FileContent::prepareWrites(std::size_t writes) {
  const std::size_t pageSize = FileUtils::pageSize();
  // MADV_POPULATE_WRITE, which older C library headers lack; older kernels
  // refuse it, and the pages are then copied on their first writes.
  constexpr int kPopulateWrite = 23;
  // Writes spread over the bytes touch about 1 - e^(-writes/pages) of the
  // pages: one per page touches two in three, an eighth of that only one in
  // nine, and copying all pages for those would cost more than the faults.
  const std::size_t pages = bytes_.size() / pageSize + 1;
  if (map_ != nullptr && writes >= pages) ::madvise(map_, bytes_.size(), kPopulateWrite);
}

bool FileContent::edit(const std::function<void(std::span<char>)>& work) {
  if (map_ == nullptr) {
    work(bytes_);
    return true;
  }
  {
    const BusErrorGuard guard(map_, bytes_.size());
    if (!guard.installed()) return false;
    work(bytes_);
    if (guard.faulted()) return false;
  }
  struct stat status = {};
  return ::fstat(fd_, &status) == 0 &&
         static_cast<std::uintmax_t>(status.st_size) == bytes_.size() &&
         status.st_mtim.tv_sec == modified_.tv_sec && status.st_mtim.tv_nsec == modified_.tv_nsec;
}
