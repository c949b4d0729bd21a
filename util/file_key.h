#pragma once

#include <sys/stat.h>

#include <cstdint>

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
    const auto ns = [](const struct timespec& time) {
      return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
    };
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
            static_cast<std::uint64_t>(status.st_size), ns(status.st_mtim), ns(status.st_ctim)};
  }
  bool operator==(const FileKey&) const = default;
};
