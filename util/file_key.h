#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <limits>

// What a file is, as the file system tells it without the file being opened.
// Two files with the same key are taken to hold the same bytes. That holds
// only where the storage keeps three things, and the selection index is used
// only where storage_times.h has checked them, once a run:
// - The status-change time is set from the storage's clock at every change
//   of the bytes or the status, and no call sets it back as utimensat sets
//   back the modification time; so a file changed in place never keeps its
//   key. Checked: a probe file's modification time is set back a day, and
//   its change time must stay at the moment of the change. FAT and exFAT in
//   the kernel report their creation time as the change time, which a fresh
//   probe cannot tell apart: they are refused by their type, and so is
//   any FUSE or sdcardfs mount not known to pass a kernel file system's
//   times through (an SD card shown through FUSE is kernel FAT beneath).
// - (device, inode) names one file while it exists. Not checked apart: the
//   storage seen to swap inode numbers (FUSE FAT) fails the first check.
// - The storage's clock and the tool's agree. Checked: the probe's change
//   time against the tool's clock at the change; the settling time is
//   widened by the distance between them.
// Known limit: a file written through a MAP_SHARED map has its times moved
// when a clean page is first written; a second write to that page while it
// is still dirty (before writeback) moves neither, so an edit made that way
// keeps its key, and a run that took the key after the first write keeps
// the answer it found then.
// Known limit: a FUSE daemon may answer stat from its attribute cache (about
// a second) where the storage beneath was changed beside the mount, not
// through it; an edit made so is hidden from a run in that second: the old
// size and change time are all it sees. Edits made through the mount, as
// apps on a phone make them, are seen at once.
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
