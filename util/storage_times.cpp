#include "util/storage_times.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <memory>
#include <string>
#include <system_error>

#include "util/file_handle.h"
#include "util/file_key.h"
#include "util/mount_table.h"
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
constexpr std::uint32_t kFuse = 0x65735546;
constexpr std::uint32_t kSdcardfs = 0x5DCA2DF5;

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

// Whether `text` is one or more decimal digits.
bool allDigits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// Whether `point` is `folder` or a folder beneath it.
bool atOrUnder(std::string_view point, std::string_view folder) {
  return point.starts_with(folder) &&
         (point.size() == folder.size() || point[folder.size()] == '/');
}

// Whether `point` is, or lies beneath, Android's emulated shared storage in
// one of the places it is mounted: /storage/emulated for apps,
// /mnt/user/<user>/emulated and /mnt/pass_through/<user>/emulated, and
// /data/media, the folder beneath them all.
bool underSharedStorage(std::string_view point) {
  if (atOrUnder(point, "/storage/emulated") || atOrUnder(point, "/data/media")) return true;
  for (const std::string_view base :
       {std::string_view("/mnt/user/"), std::string_view("/mnt/pass_through/")}) {
    if (!point.starts_with(base)) continue;
    const std::string_view rest = point.substr(base.size());
    const std::size_t slash = rest.find('/');
    if (slash != std::string_view::npos && allDigits(rest.substr(0, slash)) &&
        atOrUnder(rest.substr(slash), "/emulated")) {
      return true;
    }
  }
  return false;
}

// Removes the probes of the family of `nameBase` in `folder`: the caller
// holds what keeps another run from probing there under that family, so any
// found is a killed run's.
void removeDeadProbes(const fs::path& folder, const std::string& nameBase) {
  const std::string prefix = nameBase + "-";
  const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(folder.c_str()), ::closedir);
  if (!listing) return;
  while (const struct dirent* entry = ::readdir(listing.get())) {
    const std::string_view name = entry->d_name;
    if (!name.starts_with(prefix)) continue;
    // <pid>-<call>, as probe() names them; nothing else of the user's.
    const std::string_view rest = name.substr(prefix.size());
    const std::size_t dash = rest.find('-');
    if (dash == std::string_view::npos || !allDigits(rest.substr(0, dash)) ||
        !allDigits(rest.substr(dash + 1))) {
      continue;
    }
    const fs::path file = folder / std::string(name);
    struct stat status = {};
    if (::lstat(file.c_str(), &status) == 0 && S_ISREG(status.st_mode)) ::unlink(file.c_str());
  }
}

// A probe file made in `folder` on `device`, its modification time set back,
// and removed again; none where it cannot be made there.
std::optional<ProbeReading> probe(const fs::path& folder, const std::string& nameBase,
                                  dev_t device) {
  // Unique to the process and the call: two runs at once never share one,
  // and a name a killed run left that could not be removed is passed by.
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

bool passesTimesThrough(std::uint32_t fileSystemType, const fs::path& folder,
                        std::string_view mountTable) {
  if (fileSystemType != kFuse && fileSystemType != kSdcardfs) return true;
  const std::optional<mounttable::Mount> mount = mounttable::holding(folder, mountTable);
  if (!mount) return false;
  if ((mount->type == "fuse" || mount->type == "sdcardfs") && underSharedStorage(mount->point)) {
    return true;
  }
  // bindfs: its source is a folder (FUSE's own daemons name a device or
  // themselves), whose times it passes through; trusted where they are a
  // kernel file system's own, so not over an SD card's FAT.
  if (mount->type != "fuse" && mount->type != "fuse.bindfs") return false;
  if (!mount->source.starts_with('/') || mount->source.starts_with("/dev/")) return false;
  const std::optional<mounttable::Mount> beneath = mounttable::holding(mount->source, mountTable);
  if (!beneath) return false;
  for (const char* kernel : {"ext2", "ext3", "ext4", "f2fs", "btrfs", "xfs", "tmpfs"}) {
    if (beneath->type == kernel) return true;
  }
  return false;
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
  if (type == kFuse || type == kSdcardfs) {
    std::error_code unresolved;
    const fs::path real = fs::canonical(unpackFolder, unresolved);
    if (unresolved || !passesTimesThrough(type, real, mounttable::readFor(real))) return std::nullopt;
  }
  // Only beside the repack folder, never in the unpack folder itself; and
  // only where that is the unpack folder's storage, which a link at the
  // workspace's folders can make another.
  const fs::path folder = probeFolder.empty() ? fs::path(".") : probeFolder;
  struct stat beside = {};
  std::optional<ProbeReading> reading;
  if (::stat(folder.c_str(), &beside) == 0 && beside.st_dev == unpack.st_dev) {
    removeDeadProbes(folder, nameBase);
    reading = probe(folder, nameBase, unpack.st_dev);
  }
  const std::optional<std::int64_t> settleNs = settleWindow(type, reading);
  if (!settleNs) return std::nullopt;
  return Checked{static_cast<std::uint64_t>(unpack.st_dev), *settleNs};
}

}  // namespace storagetimes
