#include "util/cache_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "util/file_handle.h"
#include "util/file_key.h"
#include "util/file_writes.h"
#include "util/folders.h"

namespace fs = std::filesystem;

namespace cachefile {

namespace {

// A temporary file this old is a killed writer's, not another's at work.
constexpr std::int64_t kStaleTemporaryNs = std::int64_t{600} * 1'000'000'000;

}  // namespace

std::uint64_t checksum(std::span<const char> bytes) {
  std::uint64_t hash = 0x6a09e667f3bcc908ULL ^ bytes.size();
  const auto mix = [&hash](std::uint64_t word) {
    hash = (hash ^ word) * 0x9E3779B97F4A7C15ULL;
    hash ^= hash >> 29;
  };
  std::size_t at = 0;
  for (; at + 8 <= bytes.size(); at += 8) mix(get(bytes.data() + at, 8));
  if (at < bytes.size()) mix(get(bytes.data() + at, bytes.size() - at));
  return hash;
}

namespace {

std::uint64_t mixed(std::uint64_t hash, std::uint64_t word) {
  hash = (hash ^ word) * 0x9E3779B97F4A7C15ULL;
  return hash ^ (hash >> 29);
}

}  // namespace

void Checksum::add(std::span<const char> bytes) {
  std::size_t at = 0;
  for (; at + 8 <= bytes.size(); at += 8) hash_ = mixed(hash_, get(bytes.data() + at, 8));
  if (at < bytes.size()) hash_ = mixed(hash_, get(bytes.data() + at, bytes.size() - at));
  size_ += bytes.size();
}

std::uint64_t Checksum::value() const { return mixed(hash_, size_); }

std::optional<std::string> readWhole(const fs::path& file, std::uintmax_t mostBytes) {
  const FileHandle in(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  struct stat status = {};
  if (!in || ::fstat(in.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  if (static_cast<std::uintmax_t>(status.st_size) > mostBytes) return std::nullopt;
  std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
  if (!readAt(in.get(), 0, bytes.data(), bytes.size())) return std::nullopt;
  return bytes;
}

bool readAt(int fd, std::uint64_t offset, char* into, std::size_t size) {
  std::size_t held = 0;
  while (held < size) {
    const ssize_t got = ::pread(fd, into + held, size - held, static_cast<off_t>(offset + held));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    held += static_cast<std::size_t>(got);
  }
  return true;
}

namespace {

// Removes the temporary file at `path` where it is a killed writer's: no
// writer holds its lock (a lock goes with its process) and it is older than
// the moment between a writer's making it and locking it; or, where the
// storage has no locks, it was left alone for ten minutes. Removed under
// its lock, and only if the path still holds it.
bool removeKilledWritersFile(const fs::path& path, std::int64_t nowNs) {
  constexpr std::int64_t kMakingNs = std::int64_t{2} * 1'000'000'000;
  const FileHandle left(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  struct stat opened = {};
  struct stat there = {};
  if (!left || ::fstat(left.get(), &opened) != 0) {
    // Not a file this process can open (a link, another's): the time rule.
    return ::lstat(path.c_str(), &there) == 0 &&
           FileKey::nanoseconds(there.st_mtim) < nowNs - kStaleTemporaryNs &&
           ::unlink(path.c_str()) == 0;
  }
  const std::int64_t age = nowNs - FileKey::nanoseconds(opened.st_mtim);
  if (::flock(left.get(), LOCK_EX | LOCK_NB) == 0
          ? age < kMakingNs
          : errno == EWOULDBLOCK || age < kStaleTemporaryNs) {
    return false;
  }
  return ::lstat(path.c_str(), &there) == 0 && there.st_dev == opened.st_dev &&
         there.st_ino == opened.st_ino && ::unlink(path.c_str()) == 0;
}

}  // namespace

NewFile::NewFile(const fs::path& file, std::int64_t nowNs) : file_(file) {
  if (!files::createDirectories(file.parent_path())) return;
  // Made exclusively, and locked while it is written: while one writer is
  // at work, the others leave the file to it. One whose writer was killed
  // goes.
  std::string name = ".";
  name += file.filename().string();
  name += ".tmp";
  temporary_ = file.parent_path() / name;
  fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd_ < 0 && errno == EEXIST && removeKilledWritersFile(temporary_, nowNs)) {
    fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  }
  // Storage without locks refuses this; the time rule above then serves.
  if (fd_ >= 0) ::flock(fd_, LOCK_EX | LOCK_NB);
  struct stat made = {};
  if (fd_ >= 0 && ::fstat(fd_, &made) == 0) {
    device_ = made.st_dev;
    inode_ = made.st_ino;
  } else if (fd_ >= 0) {
    drop();
  }
}

NewFile::~NewFile() { drop(); }

bool NewFile::ours() const {
  // A writer that took long enough for another to take its temporary file
  // for a killed one's: the path now holds the other's.
  struct stat there = {};
  return ::lstat(temporary_.c_str(), &there) == 0 && there.st_dev == device_ &&
         there.st_ino == inode_;
}

void NewFile::drop() {
  if (fd_ < 0) return;
  if (ours()) ::unlink(temporary_.c_str());
  ::close(fd_);
  fd_ = -1;
}

bool NewFile::write(std::string_view bytes) {
  if (fd_ < 0) return false;
  if (files::writeAll(fd_, bytes)) {
    size_ += bytes.size();
    return true;
  }
  drop();
  return false;
}

bool NewFile::commit() {
  if (fd_ < 0) return false;
  // Not synced: a file cut short by a crash fails its checksums, and a
  // cache read as empty costs a search, never a wrong result.
  if (!ours()) {
    drop();
    return false;
  }
  // Renamed under its lock: closed first, it could be taken for a killed
  // writer's and replaced by another's in between.
  if (::rename(temporary_.c_str(), file_.c_str()) != 0) {
    drop();
    return false;
  }
  ::close(fd_);
  fd_ = -1;
  return true;
}

bool writeWhole(const fs::path& file, std::string_view bytes, std::int64_t nowNs) {
  try {
    NewFile out(file, nowNs);
    return out.write(bytes) && out.commit();
  } catch (...) {  // memory
    return false;
  }
}

fs::path fileFor(const fs::path& cacheFolder, std::string_view folder, std::string_view suffix) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::uint64_t hash = checksum(folder);
  std::string name;
  for (int i = 0; i < 16; ++i, hash >>= 4) name.insert(name.begin(), kHex[hash & 15]);
  name += suffix;
  return cacheFolder / name;
}

}  // namespace cachefile
