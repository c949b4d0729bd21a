#include "util/storage_times.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <string>

#include "util/file_handle.h"
#include "util/file_key.h"
#include "util/selection_index.h"

namespace fs = std::filesystem;

namespace storagetimes {

namespace {

// statfs's f_type of the file systems named here; the kernel's own values,
// written out where the C library's headers do not hold them all.
constexpr std::uint32_t kExt = 0xEF53;  // ext2, ext3 and ext4 share it
constexpr std::uint32_t kF2fs = 0xF2F52010;
constexpr std::uint32_t kBtrfs = 0x9123683E;
constexpr std::uint32_t kXfs = 0x58465342;
constexpr std::uint32_t kTmpfs = 0x01021994;
constexpr std::uint32_t kMsdos = 0x4D44;  // FAT12/16/32 and vfat
constexpr std::uint32_t kExfat = 0x2011BAB0;

constexpr std::int64_t kSecondNs = 1'000'000'000;
// The probe's modification time is set back this far.
constexpr std::int64_t kSetBackNs = 24 * 3600 * kSecondNs;
// A change time further than this from the tool's clock went back with the
// modification time, or comes from a clock too far off to settle against.
constexpr std::int64_t kMostDistanceNs = kSetBackNs / 2;

std::int64_t clockNs() {
  struct timespec now = {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return FileKey::nanoseconds(now);
}

struct timespec timespecOf(std::int64_t ns) {
  struct timespec time = {};
  time.tv_sec = static_cast<time_t>(ns / kSecondNs);
  time.tv_nsec = static_cast<long>(ns % kSecondNs);
  return time;
}

// A probe file made in `folder` on `device`, its modification time set back,
// and removed again; none where it cannot be made there.
std::optional<ProbeReading> probe(const fs::path& folder, const std::string& nameBase,
                                  dev_t device) {
  // Unique to the process and the call: two runs at once never share one,
  // and a name left by a killed run is passed by.
  static std::atomic<unsigned> calls{0};
  const std::string prefix = nameBase + "-" + std::to_string(::getpid()) + "-";
  fs::path file;
  FileHandle made;
  for (int attempt = 0; attempt < 4 && !made; ++attempt) {
    file = folder / (prefix + std::to_string(calls++));
    made = FileHandle(
        ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!made && errno != EEXIST) return std::nullopt;
  }
  if (!made) return std::nullopt;
  ProbeReading reading;
  reading.clockBeforeNs = clockNs();
  reading.setModifiedNs = reading.clockBeforeNs - kSetBackNs;
  // Both times given: bindfs ignores the modification time where the access
  // time is left out (UTIME_OMIT).
  const struct timespec times[2] = {timespecOf(reading.clockBeforeNs),
                                    timespecOf(reading.setModifiedNs)};
  const bool changed = ::futimens(made.get(), times) == 0;
  reading.clockAfterNs = clockNs();
  const bool seen = changed && ::fstat(made.get(), &reading.after) == 0;
  // Closed first: FUSE keeps a file removed while open under another hidden
  // name until it is closed. Nothing more can be done where it cannot be
  // removed: it is hidden and empty.
  made = FileHandle();
  ::unlink(file.c_str());
  if (!seen || reading.after.st_dev != device) return std::nullopt;
  return reading;
}

}  // namespace

bool kernelOwnsTimes(std::uint32_t fileSystemType) {
  switch (fileSystemType) {
    case kExt:
    case kF2fs:
    case kBtrfs:
    case kXfs:
    case kTmpfs:
      return true;
    default:
      return false;
  }
}

bool keepsNoChangeTime(std::uint32_t fileSystemType) {
  return fileSystemType == kMsdos || fileSystemType == kExfat;
}

std::optional<std::int64_t> settleWindow(std::uint32_t fileSystemType,
                                         const std::optional<ProbeReading>& probe) {
  if (keepsNoChangeTime(fileSystemType)) return std::nullopt;
  if (!probe) {
    if (!kernelOwnsTimes(fileSystemType)) return std::nullopt;
    return SelectionIndex::kSettleNs;
  }
  // The modification time must read as it was set, to the storage's tick:
  // a storage that ignores the change shows nothing about its change time.
  const std::int64_t modified = FileKey::nanoseconds(probe->after.st_mtim);
  if (modified > probe->setModifiedNs + SelectionIndex::kSettleNs ||
      modified < probe->setModifiedNs - SelectionIndex::kSettleNs) {
    return std::nullopt;
  }
  const std::int64_t changed = FileKey::nanoseconds(probe->after.st_ctim);
  const std::int64_t distance = changed < probe->clockBeforeNs  ? probe->clockBeforeNs - changed
                                : changed > probe->clockAfterNs ? changed - probe->clockAfterNs
                                                                : 0;
  if (distance > kMostDistanceNs) return std::nullopt;
  return SelectionIndex::kSettleNs + distance;
}

std::optional<Checked> settleWindowFor(const fs::path& unpackFolder, const fs::path& probeFolder,
                                       const std::string& nameBase) {
  struct stat unpack = {};
  struct statfs storage = {};
  if (::stat(unpackFolder.c_str(), &unpack) != 0 || ::statfs(unpackFolder.c_str(), &storage) != 0) {
    return std::nullopt;
  }
  const auto type = static_cast<std::uint32_t>(storage.f_type);
  if (keepsNoChangeTime(type)) return std::nullopt;
  // Only beside the repack folder, never in the unpack folder itself; and
  // only where that is the unpack folder's storage, which a link at the
  // workspace's folders can make another.
  const fs::path folder = probeFolder.empty() ? fs::path(".") : probeFolder;
  struct stat beside = {};
  std::optional<ProbeReading> reading;
  if (::stat(folder.c_str(), &beside) == 0 && beside.st_dev == unpack.st_dev) {
    reading = probe(folder, nameBase, unpack.st_dev);
  }
  const std::optional<std::int64_t> settleNs = settleWindow(type, reading);
  if (!settleNs) return std::nullopt;
  return Checked{static_cast<std::uint64_t>(unpack.st_dev), *settleNs};
}

}  // namespace storagetimes
