#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Whether a storage shows that it keeps the times the selection index relies
// on (see file_key.h), and how long a file must lie still on it before its
// key may be kept. Asked once a run, before the index is read.
//
// What is checked, in this order:
// 1. The file-system type of the unpack folder (statfs). FAT and exFAT in the
//    kernel keep no change time: they report the creation time in its place,
//    which no edit moves, and a fresh probe cannot tell that from an honest
//    one. They are never trusted.
// 2. On FUSE and sdcardfs, the mount that holds the unpack folder (see
//    mount_table.h). They show whatever the daemon or the file system
//    beneath makes of the times: an SD card's kernel FAT or exFAT seen
//    through FUSE fools a probe as it would directly. Only the mounts known
//    to pass a kernel file system's own times through go on to the probe:
//    Android's emulated shared storage (type fuse or sdcardfs, mounted at or
//    under /storage/emulated, /mnt/user/<n>/emulated,
//    /mnt/pass_through/<n>/emulated or /data/media) and bindfs (type fuse
//    or fuse.bindfs, its source a folder on one of the kernel file systems
//    of kernelOwnsTimes(); its --ctime-from-mtime the probe catches). Every
//    other (fuseblk, FUSE exFAT, SD cards at /storage/XXXX-XXXX, bindfs over
//    FAT, any other daemon) is not trusted.
// 3. A probe: a file made beside the repack folder, on the unpack folder's
//    device, has its modification time set back a day. Where the storage
//    keeps its own change time, that stays at the moment of the change; where
//    the change time follows the modification time (FUSE exFAT and FAT,
//    bindfs --ctime-from-mtime), it goes back too, and the storage is not
//    trusted. How far the change time stands from the tool's clock at that
//    moment is how far the two clocks differ, and widens the settling time.
// 4. Where no probe can be made there (the repack folder on another device,
//    no room, no write access), the type alone decides: the local file
//    systems of kernelOwnsTimes() are trusted with the plain settling time,
//    everything else (FUSE included, whatever lies beneath it) is not.
namespace storagetimes {

// What a probe showed: its status after its modification time was set to
// `setModifiedNs`, and the tool's clock just before and just after that
// change.
struct ProbeReading {
  std::int64_t setModifiedNs = 0;
  struct stat after = {};
  std::int64_t clockBeforeNs = 0;
  std::int64_t clockAfterNs = 0;
};

// Whether a file-system type (statfs's f_type) keeps change times from the
// kernel's own clock, set on every change of bytes or status and never set
// back by any call: ext2/3/4, f2fs, btrfs, xfs, tmpfs.
bool kernelOwnsTimes(std::uint32_t fileSystemType);
// Whether a file-system type keeps no change time at all: kernel FAT, exFAT.
bool keepsNoChangeTime(std::uint32_t fileSystemType);

// Whether a storage of `fileSystemType` holding `folder` (absolute, every
// link resolved), in the mounts of `mountTable` (mountinfo's text), may be
// judged by its probe; always so but on FUSE and sdcardfs (see 2. above).
bool passesTimesThrough(std::uint32_t fileSystemType, const std::filesystem::path& folder,
                        std::string_view mountTable);

// The settling time for the index on a storage of `fileSystemType` that
// showed `probe` (none where no probe could be made there), or none when the
// index must not be used on it.
std::optional<std::int64_t> settleWindow(std::uint32_t fileSystemType,
                                         const std::optional<ProbeReading>& probe);

// Where the index may be used, and how: on the files of one device (the
// unpack folder's; a file there may be a link to a file on other storage,
// which nothing here has checked), kept once settled for `settleNs`.
struct Checked {
  std::uint64_t device = 0;
  std::int64_t settleNs = 0;
};

// The same for the unpack folder `unpackFolder`, its probe made in `probeFolder`
// under a hidden name of the family of `nameBase` that is unique to the call,
// and removed again. No probe is made where `probeFolder` is on another device
// than `unpackFolder`. None when `unpackFolder` cannot be examined. The
// caller holds what keeps any other run from probing there under that
// family (the repack folder's lock), so the probes of it found there first
// are a killed run's, and are removed.
std::optional<Checked> settleWindowFor(const std::filesystem::path& unpackFolder,
                                       const std::filesystem::path& probeFolder,
                                       const std::string& nameBase);

}  // namespace storagetimes
