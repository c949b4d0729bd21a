#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <limits>

// What a file is, as the file system tells it without the file being opened:
// two files with the same key hold the same bytes, as far as anything short
// of reading them can tell. The status-change time moves whenever the bytes
// are written, and no tool can set it back as one can the modification
// time, so a file changed in place never keeps its key.
struct FileKey {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modifiedNs = 0;  // nanoseconds since the epoch
  std::int64_t changedNs = 0;   // the status-change time, likewise

  static FileKey of(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
            static_cast<std::uint64_t>(status.st_size), nanoseconds(status.st_mtim),
            nanoseconds(status.st_ctim)};
  }

  // A time in nanoseconds since the epoch; times beyond what 64 bits hold
  // (past the year 2262, or as far before 1970) stop at the limit instead of
  // wrapping round.
  static std::int64_t nanoseconds(const struct timespec& time) {
    constexpr std::int64_t kPerSecond = 1'000'000'000;
    constexpr std::int64_t kMost = std::numeric_limits<std::int64_t>::max();
    const auto seconds = static_cast<std::int64_t>(time.tv_sec);
    if (seconds >= kMost / kPerSecond) return kMost;
    if (seconds <= -(kMost / kPerSecond)) return -kMost;
    return seconds * kPerSecond + static_cast<std::int64_t>(time.tv_nsec);
  }
  bool operator==(const FileKey&) const = default;
};
