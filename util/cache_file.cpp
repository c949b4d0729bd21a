#include "util/cache_file.h"

#include <fcntl.h>
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

std::optional<std::string> readWhole(const fs::path& file, std::uintmax_t mostBytes) {
  const FileHandle in(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  struct stat status = {};
  if (!in || ::fstat(in.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  if (static_cast<std::uintmax_t>(status.st_size) > mostBytes) return std::nullopt;
  std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
  std::size_t held = 0;
  while (held < bytes.size()) {
    const ssize_t got =
        ::pread(in.get(), bytes.data() + held, bytes.size() - held, static_cast<off_t>(held));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    held += static_cast<std::size_t>(got);
  }
  return bytes;
}

bool writeWhole(const fs::path& file, std::string_view bytes, std::int64_t nowNs) {
  try {
    if (!files::createDirectories(file.parent_path())) return false;
    // Made exclusively and never taken from another writer: while one is at
    // work, the others leave the file to it. A temporary file long left
    // alone is a killed writer's, and goes.
    std::string name = ".";
    name += file.filename().string();
    name += ".tmp";
    const fs::path temporary = file.parent_path() / name;
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat leftover = {};
    if (fd < 0 && errno == EEXIST && ::lstat(temporary.c_str(), &leftover) == 0 &&
        FileKey::nanoseconds(leftover.st_mtim) < nowNs - kStaleTemporaryNs) {
      ::unlink(temporary.c_str());
      fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }
    if (fd < 0) return false;
    bool ok = files::writeAll(fd, bytes);
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temporary.c_str(), file.c_str()) == 0) return true;
    ::unlink(temporary.c_str());
    return false;
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
