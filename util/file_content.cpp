#include "util/file_content.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "util/bus_error_guard.h"
#include "util/file_utils.h"
#include "util/page_size.h"

namespace fs = std::filesystem;

FileContent::~FileContent() { release(); }

void FileContent::release() {
  if (map_ != nullptr) ::munmap(map_, bytes_.size());
  map_ = nullptr;
  file_ = FileHandle();
  bytes_ = {};
  // A buffer grown for one large file is not kept for the next: the next
  // file's pages would then be held beside it.
  if (buffer_.capacity() > kKeptBuffer) ByteBuffer().swap(buffer_);
}

bool FileContent::load(const fs::path& file) { return load(FileHandle::openForReading(file)); }

bool FileContent::load(FileHandle opened) {
  release();
  if (!opened) return false;
  struct stat status = {};
  if (::fstat(opened.get(), &status) != 0) return false;
  permissions_ = static_cast<fs::perms>(status.st_mode) & fs::perms::mask;
  if (S_ISREG(status.st_mode) && status.st_size > 0) {
    const auto size = static_cast<std::size_t>(status.st_size);
    void* const map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, opened.get(), 0);
    if (map != MAP_FAILED) {
      file_ = std::move(opened);
      modified_ = status.st_mtim;
      map_ = map;
      bytes_ = {static_cast<char*>(map), size};
      return true;
    }
  }
  // Empty, not a regular file, or on storage that cannot map it: read it.
  if (!FileUtils::readBinaryFile(opened, buffer_)) return false;
  bytes_ = buffer_;
  return true;
}

std::span<char> FileContent::prepareWrites(std::size_t writes) {
  // Writes spread over the bytes touch about 1 - e^(-writes/pages) of the
  // pages: one per page touches two in three, an eighth of that only one in
  // nine, and copying all pages for those would cost more than the faults.
  const std::size_t pages = bytes_.size() / pageSize() + 1;
  // Once copied, the bytes stay where they are: a second copy would undo
  // the writes made since.
  if (map_ == nullptr || bytes_.data() != map_ || writes < pages) return bytes_;
  try {
    buffer_.clear();  // nothing of the last file is worth copying on growth
    // Room for every file up to kKeptBuffer at once: pages made resident for
    // one file then serve the next, where growing the buffer file by file
    // would give fresh pages, faulted in and zeroed, at every larger file.
    if (buffer_.capacity() < bytes_.size()) buffer_.reserve(std::max(bytes_.size(), kKeptBuffer));
    buffer_.resize(bytes_.size());
  } catch (const std::bad_alloc&) {
    return bytes_;  // the map's own pages are copied one by one then
  }
  // A piece at a time, so the copy and the map's pages are not both held
  // whole: the map is private and unwritten, so its pages can be let go.
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  char* const map = static_cast<char*>(map_);
  for (std::size_t at = 0; at < bytes_.size(); at += kPiece) {
    const std::size_t length = std::min(kPiece, bytes_.size() - at);
    std::memcpy(buffer_.data() + at, map + at, length);
    ::madvise(map + at, length, MADV_DONTNEED);
  }
  bytes_ = buffer_;
  return bytes_;
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
  return ::fstat(file_.get(), &status) == 0 &&
         static_cast<std::uintmax_t>(status.st_size) == bytes_.size() &&
         status.st_mtim.tv_sec == modified_.tv_sec && status.st_mtim.tv_nsec == modified_.tv_nsec;
}
