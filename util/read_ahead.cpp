#include "util/read_ahead.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace {

// Asks the system to start reading the whole open file into the page cache
// and returns at once. Returns the file's size, 0 on any failure.
std::uintmax_t askToRead(const FileHandle& file) {
  struct stat status = {};
  if (!file || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_WILLNEED) != 0) {
    return 0;
  }
  return static_cast<std::uintmax_t>(status.st_size);
}

}  // namespace

ReadAhead::ReadAhead(const std::vector<std::string>& files,
                     const std::filesystem::path& folder, std::vector<bool> skipped,
                     std::size_t lag)
    : files_(files),
      skipped_(std::move(skipped)),
      pays_(pays(folder)),
      aheadFiles_(filesAllowedAhead()),
      lag_(lag) {}

FileHandle ReadAhead::open(std::size_t current) {
  const std::lock_guard<std::mutex> hold(mutex_);
  // Files no thread will take any more: opened in their turn without them.
  while (!ahead_.empty() && ahead_.front().index + lag_ < current) {
    pending_ -= ahead_.front().size;
    ahead_.pop_front();
  }
  // In the list's order, so the one sought is at the front where one thread
  // opens them, and a few entries in where several do.
  FileHandle file;
  const auto it = std::find_if(ahead_.begin(), ahead_.end(),
                               [current](const Ahead& a) { return a.index >= current; });
  if (it != ahead_.end() && it->index == current) {
    file = std::move(it->file);
    pending_ -= it->size;
    ahead_.erase(it);
  } else {
    file = FileHandle::openForReading(files_[current]);
  }
  const int openError = file ? 0 : errno;
  if (pays_ && !treeInMemory_) {
    next_ = std::max(next_, current + 1);
    for (; next_ < files_.size() && pending_ < kAheadBytes && ahead_.size() < aheadFiles_;
         ++next_) {
      if (next_ < skipped_.size() && skipped_[next_]) continue;
      FileHandle opened = FileHandle::openForReading(files_[next_]);
      if (!opened) continue;  // opened again in its turn, which reports a failure
      const std::uintmax_t size = askToRead(opened);
      pending_ += size;
      ahead_.push_back({next_, std::move(opened), size});
    }
  }
  errno = openError;
  return file;
}

void ReadAhead::searched(std::optional<bool> wasInMemory) {
  const std::lock_guard<std::mutex> hold(mutex_);
  if (wasInMemory) treeInMemory_ = *wasInMemory;
}

bool ReadAhead::pays(const std::filesystem::path& dir) {
  struct statfs where = {};
  return ::statfs(dir.c_str(), &where) == 0 && where.f_type != FUSE_SUPER_MAGIC;
}

std::size_t ReadAhead::filesAllowedAhead() {
  rlimit limit = {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return kAheadFiles;
  }
  return std::min<std::size_t>(kAheadFiles, static_cast<std::size_t>(limit.rlim_cur / 8));
}
