// storagetimes: whether the selection index may be used on a storage, and
// with what settling time; and that a run on storage whose change time
// follows the modification time selects what a run without the index does.
#include "util/storage_times.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <thread>

#include "app/uexp_processor.h"
#include "tests/test_support.h"
#include "util/file_key.h"
#include "util/mount_table.h"
#include "util/selection_index.h"

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::skipOrFailWithout;
using testsupport::TempDir;
using testsupport::writeFile;

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr std::int64_t kNow = std::int64_t{1'800'000'000} * kSecond;
constexpr std::int64_t kSettle = SelectionIndex::kSettleNs;
constexpr std::uint32_t kExt4 = 0xEF53;
constexpr std::uint32_t kFuse = 0x65735546;
constexpr std::uint32_t kVfat = 0x4D44;
constexpr std::uint32_t kExfat = 0x2011BAB0;
constexpr std::uint32_t kNfs = 0x6969;
const std::string kNoBindfs = "no bindfs mount here (bindfs missing or not root)";

// A probe whose modification time was set back a day over a change that the
// tool's clock saw between kNow and kNow + 1 ms, read back with these times.
storagetimes::ProbeReading reading(std::int64_t modifiedNs, std::int64_t changedNs) {
  storagetimes::ProbeReading probe;
  probe.setModifiedNs = kNow - 24 * 3600 * kSecond;
  probe.clockBeforeNs = kNow;
  probe.clockAfterNs = kNow + 1'000'000;
  probe.after.st_mtim = {static_cast<time_t>(modifiedNs / kSecond),
                         static_cast<long>(modifiedNs % kSecond)};
  probe.after.st_ctim = {static_cast<time_t>(changedNs / kSecond),
                         static_cast<long>(changedNs % kSecond)};
  return probe;
}

// Each kind of storage the index may meet, as its type and its probe show it.
TEST(StorageTimes, TrustsOnlyStorageWhoseProbeOrTypeShowsHonestTimes) {
  const std::int64_t dayBack = kNow - 24 * 3600 * kSecond;
  const auto honest = reading(dayBack, kNow + 400'000);
  const auto followsModified = reading(dayBack, dayBack);
  struct Case {
    const char* what;
    std::uint32_t type;
    std::optional<storagetimes::ProbeReading> probe;
    std::optional<std::int64_t> settle;
  };
  const Case cases[] = {
      {"ext4, probed", kExt4, honest, kSettle},
      {"Android's shared storage or bindfs", kFuse, honest, kSettle},
      {"change time follows the modification time", kFuse, followsModified, std::nullopt},
      {"storage clock 10 s behind", kFuse, reading(dayBack, kNow - 10 * kSecond),
       kSettle + 10 * kSecond},
      {"storage clock 3 s ahead", kFuse, reading(dayBack, kNow + 1'000'000 + 3 * kSecond),
       kSettle + 3 * kSecond},
      {"2-s ticks, rounded down", kFuse, reading(dayBack - kSecond, kNow - kSecond / 2),
       kSettle + kSecond / 2},
      {"modification time not set back", kFuse, reading(kNow, kNow + 400'000), std::nullopt},
      {"kernel FAT, though the probe looks honest", kVfat, honest, std::nullopt},
      {"kernel exFAT", kExfat, honest, std::nullopt},
      {"ext4, no probe there", kExt4, std::nullopt, kSettle},
      {"FUSE, no probe there", kFuse, std::nullopt, std::nullopt},
      {"NFS, no probe there", kNfs, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.settle, storagetimes::settleWindow(c.type, c.probe)) << c.what;
  }
}

// Which FUSE mounts the probe may judge: only those known to pass a kernel
// file system's own times through. An SD card seen through FUSE is kernel FAT
// beneath, whose fresh probe looks honest.
TEST(StorageTimes, OnFuseOnlySharedStorageAndBindfsAreProbed) {
  constexpr std::uint32_t kSdcardfs = 0x5DCA2DF5;
  const std::string table =
      "20 1 253:1 / / rw,relatime shared:1 - ext4 /dev/root rw\n"
      "30 20 0:40 / /storage/emulated rw,nosuid shared:5 - fuse /dev/fuse rw,user_id=0\n"
      "31 20 0:41 / /storage/1234-ABCD rw,nosuid - fuse /dev/fuse rw,user_id=0\n"
      "32 20 0:42 / /mnt/user/0/emulated rw - fuse /dev/fuse rw\n"
      "33 20 0:43 / /mnt/pass_through/10/emulated rw - sdcardfs /data/media rw\n"
      "34 20 0:44 / /mnt/user/0/emulatedx rw - fuse /dev/fuse rw\n"
      "35 20 0:45 / /media/usb rw - fuseblk /dev/sdb1 rw\n"
      "36 20 0:46 / /home/u/mnt rw master:2 - fuse /home/u/src rw,user_id=0\n"  // bindfs
      "37 36 0:47 / /home/u/mnt/sd\\040card rw - fuse /dev/fuse rw\n"
      "38 20 0:48 / /srv rw - fuse.bindfs /x rw\n"
      "39 20 0:49 / /srv rw - fuse.sshfs host: rw\n"
      "40 20 0:50 / /opt/b rw - fuse.bindfs /home/u/src rw\n"
      "41 20 179:65 / /mnt/media_rw/1234-ABCD rw - vfat /dev/block/vold/public:179,65 rw\n"
      "42 20 0:51 / /home/u/sdview rw - fuse /mnt/media_rw/1234-ABCD rw\n"  // bindfs over FAT
      "43 20 0:52 / /home/u/nodev rw - fuse /dev/fuse rw\n";
  struct Case {
    std::uint32_t type;
    const char* folder;
    bool probed;
  };
  const Case cases[] = {
      {kExt4, "/home/u/ws/uexp解包", true},
      {kFuse, "/storage/emulated/0/ws/uexp解包", true},
      {kFuse, "/mnt/user/0/emulated/0/ws/uexp解包", true},
      {kSdcardfs, "/mnt/pass_through/10/emulated/10/ws/uexp解包", true},
      {kFuse, "/home/u/mnt/ws/uexp解包", true},
      {kFuse, "/opt/b/ws/uexp解包", true},
      {kFuse, "/home/u/sdview/ws/uexp解包", false},
      {kFuse, "/home/u/nodev/ws/uexp解包", false},
      {kFuse, "/storage/1234-ABCD/ws/uexp解包", false},
      {kFuse, "/mnt/user/0/emulatedx/ws/uexp解包", false},
      {kFuse, "/media/usb/ws/uexp解包", false},
      {kFuse, "/home/u/mnt/sd card/ws/uexp解包", false},  // the innermost mount decides
      {kFuse, "/srv/ws/uexp解包", false},                 // the latest at one point decides
      {kFuse, "/home/u/ws/uexp解包", false},              // ext4 listed: not a FUSE mount
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.probed, storagetimes::passesTimesThrough(c.type, c.folder, table)) << c.folder;
  }
  EXPECT_FALSE(storagetimes::passesTimesThrough(kFuse, "/storage/emulated/0", ""));
}

// A FUSE mount by bindfs of `source` at `at`, with `options`; unmounted
// with the object. Not mounted where bindfs or the right to mount is missing.
class BindMount {
 public:
  BindMount(const fs::path& source, const fs::path& at, const std::string& options) : at_(at) {
    fs::create_directories(source);
    fs::create_directories(at);
    const std::string command =
        "bindfs " + options + " '" + source.string() + "' '" + at.string() + "' 2>/dev/null";
    struct stat outer = {};
    struct stat inner = {};
    mounted_ = ::geteuid() == 0 && std::system("command -v bindfs >/dev/null") == 0 &&
               std::system(command.c_str()) == 0 && ::stat(source.c_str(), &outer) == 0 &&
               ::stat(at.c_str(), &inner) == 0 && outer.st_dev != inner.st_dev;
  }
  ~BindMount() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  }
  BindMount(const BindMount&) = delete;
  BindMount& operator=(const BindMount&) = delete;
  bool mounted() const { return mounted_; }

 private:
  fs::path at_;
  bool mounted_ = false;
};

// The probe on real storage: this machine's folders and a bindfs mount whose
// change time follows the modification time. A probe is made only on the
// unpack folder's device, never in the unpack folder (its time and its
// entries' stay), and leaves nothing behind: not even a killed run's probe.
TEST(StorageTimes, ProbesOnlyOnTheUnpackFoldersDeviceAndLeavesNothing) {
  TempDir dir;
  const fs::path unpack = dir / "ws/uexp解包";
  fs::create_directories(unpack);
  struct statfs storage = {};
  ASSERT_EQ(0, ::statfs(unpack.c_str(), &storage));
  const auto type = static_cast<std::uint32_t>(storage.f_type);
  const std::string name = ".uexp打包.uexpmod-probe";
  // The unpack folder's time put back: a probe made in it would move it.
  writeFile(unpack / "a.uexp", "a");
  const auto hourAgo = fs::file_time_type::clock::now() - std::chrono::hours(1);
  fs::last_write_time(unpack, hourAgo);
  struct stat folderBefore = {};
  struct stat entryBefore = {};
  ASSERT_EQ(0, ::stat(unpack.c_str(), &folderBefore));
  ASSERT_EQ(0, ::stat((unpack / "a.uexp").c_str(), &entryBefore));
  // A killed run's probe goes; a name of the user's that only looks alike stays.
  writeFile(dir / "ws" / (name + "-4242-0"), "");
  writeFile(dir / "ws" / (name + "-notes"), "kept");
  const auto here = storagetimes::settleWindowFor(unpack, dir / "ws", name);
  struct stat folderAfter = {};
  struct stat entryAfter = {};
  ASSERT_EQ(0, ::stat(unpack.c_str(), &folderAfter));
  ASSERT_EQ(0, ::stat((unpack / "a.uexp").c_str(), &entryAfter));
  EXPECT_EQ(FileKey::of(folderBefore), FileKey::of(folderAfter)) << "the unpack folder changed";
  EXPECT_EQ(FileKey::of(entryBefore), FileKey::of(entryAfter)) << "its entry changed";
  EXPECT_EQ(1, std::distance(fs::directory_iterator(unpack), fs::directory_iterator()));
  EXPECT_FALSE(fs::exists(dir / "ws" / (name + "-4242-0")));
  EXPECT_EQ("kept", readFile(dir / "ws" / (name + "-notes")));
  if (storagetimes::kernelOwnsTimes(type)) {
    ASSERT_TRUE(here.has_value());
    struct stat folder = {};
    ASSERT_EQ(0, ::stat(unpack.c_str(), &folder));
    EXPECT_EQ(static_cast<std::uint64_t>(folder.st_dev), here->device);
    EXPECT_GE(here->settleNs, kSettle);
    EXPECT_LT(here->settleNs, kSettle + kSecond);  // one clock: within a tick or two
  }
  EXPECT_EQ(2, std::distance(fs::directory_iterator(dir / "ws"), fs::directory_iterator()));

  BindMount dishonest(dir / "behind", dir / "mnt", "--ctime-from-mtime");
  if (!dishonest.mounted()) return skipOrFailWithout(kNoBindfs);
  // The repack folder's place on another device: no probe there (its
  // folder's time, put back, stays), and the unpack folder's type decides.
  fs::create_directories(dir / "mnt/uexp解包");
  const auto past = fs::file_time_type::clock::now() - std::chrono::hours(1);
  fs::last_write_time(dir / "behind", past);
  const auto elsewhere = storagetimes::settleWindowFor(unpack, dir / "mnt", name);
  EXPECT_EQ(storagetimes::kernelOwnsTimes(type), elsewhere.has_value());
  EXPECT_EQ(kSettle, elsewhere.value_or(storagetimes::Checked{0, kSettle}).settleNs);
  EXPECT_EQ(past, fs::last_write_time(dir / "behind"));
  EXPECT_FALSE(storagetimes::settleWindowFor(dir / "mnt/uexp解包", dir / "mnt", name));
  EXPECT_FALSE(storagetimes::settleWindowFor(dir / "mnt/uexp解包", dir / "ws", name));
  EXPECT_EQ(1, std::distance(fs::directory_iterator(dir / "mnt"), fs::directory_iterator()));
  EXPECT_EQ(2, std::distance(fs::directory_iterator(dir / "ws"), fs::directory_iterator()));
}

const std::string kMarker = "Game/Mod/Escape/Audio/WwiseBank/";
const std::string kWith = kMarker + "abc";
const std::string kWithout(kWith.size(), '.');

// The copy stage run once on the workspace at `root`, with the index in
// `cache` (none: without one): what it printed, and the copies it left.
std::pair<std::string, std::map<std::string, std::string>> copyStage(const fs::path& root,
                                                                     const fs::path& cache) {
  std::istringstream in;
  std::ostringstream out;
  UEXPProcessor processor(root, in, out, cache);
  processor.findAndCopyTargetUexp();
  std::map<std::string, std::string> copies;
  for (const auto& entry : fs::directory_iterator(root / "uexp打包")) {
    copies[entry.path().filename().string()] = readFile(entry.path());
  }
  return {out.str(), copies};
}

// Writes `bytes` to `file` with its modification time at `time`.
void writeBackdated(const fs::path& file, const std::string& bytes, fs::file_time_type time) {
  writeFile(file, bytes);
  fs::last_write_time(file, time);
}

// The entries of the index of the unpack folder of `root`, kept in `cache`,
// and the inode of its file (0 where there is none).
std::pair<std::size_t, ino_t> indexed(const fs::path& root, const fs::path& cache) {
  const std::string key = fs::absolute(root / "uexp解包").lexically_normal().string();
  const fs::path file = SelectionIndex::fileFor(cache, key);
  struct stat status = {};
  return {SelectionIndex::read(file, key, 100).size(),
          ::stat(file.c_str(), &status) == 0 ? status.st_ino : 0};
}

// A same-size edit whose modification time is put back, on storage whose
// change time follows it (bindfs --ctime-from-mtime), is found: the run
// selects what a run without the index does, and no index is kept. On plain
// bindfs, which passes the change time of the storage beneath through, the
// index is kept and used.
TEST(StorageTimes, BackdatedEditsAreFoundWhereTheChangeTimeFollows) {
  for (const auto& [options, indexKept] :
       {std::pair<std::string, bool>{"--ctime-from-mtime", false}, {"", true}}) {
    TempDir dir;
    BindMount mount(dir / "behind", dir / "mnt", options);
    if (!mount.mounted()) return skipOrFailWithout(kNoBindfs);
    const fs::path root = dir / "mnt/ws";
    const fs::path unpack = root / "uexp解包";
    // Every file's modification time is put at the same hour-old moment.
    const auto past = fs::file_time_type::clock::now() - std::chrono::hours(1);
    writeBackdated(unpack / "gains.uexp", kWithout, past);
    writeBackdated(unpack / "loses.uexp", kWith, past);
    writeBackdated(unpack / "keeps.uexp", kWith, past);
    // Settled, where the change time is the storage's own.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    copyStage(root, dir / "cache");
    EXPECT_EQ(indexKept ? 3u : 0u, indexed(root, dir / "cache").first) << options;
    EXPECT_EQ(indexKept, fs::exists(dir / "cache")) << options;

    writeBackdated(unpack / "gains.uexp", kWith, past);
    writeBackdated(unpack / "loses.uexp", kWithout, past);
    const auto cached = copyStage(root, dir / "cache");
    EXPECT_EQ(copyStage(root, {}), cached) << options;
    EXPECT_EQ((std::map<std::string, std::string>{{"gains.uexp", kWith}, {"keeps.uexp", kWith}}),
              cached.second)
        << options;
  }
}

// The index knows only the files of the storage it checked: a file in the
// unpack folder that is a link to one on storage whose change time follows
// the modification time is searched on every run, and that search is no
// reason to write the index again.
TEST(StorageTimes, LinkedFilesOnOtherStorageAreAlwaysSearched) {
  TempDir dir;
  BindMount mount(dir / "behind", dir / "mnt", "--ctime-from-mtime");
  if (!mount.mounted()) return skipOrFailWithout(kNoBindfs);
  const fs::path root = dir / "ws";
  const auto past = fs::file_time_type::clock::now() - std::chrono::hours(1);
  writeBackdated(root / "uexp解包/local.uexp", kWithout, past);
  writeBackdated(dir / "mnt/linked.uexp", kWithout, past);
  fs::create_symlink(dir / "mnt/linked.uexp", root / "uexp解包/linked.uexp");
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  copyStage(root, dir / "cache");
  const auto first = indexed(root, dir / "cache");
  if (first.second == 0) GTEST_SKIP() << "no index on this machine's storage";
  EXPECT_EQ(1u, first.first);

  writeBackdated(dir / "mnt/linked.uexp", kWith, past);
  const auto cached = copyStage(root, dir / "cache");
  EXPECT_EQ(copyStage(root, {}), cached);
  EXPECT_EQ((std::map<std::string, std::string>{{"linked.uexp", kWith}}), cached.second);
  EXPECT_EQ(first, indexed(root, dir / "cache"));  // not written again
}

// The table is read once and kept, but read again once a mount changed or
// the process moved to another mount namespace: what it lists is never older
// than the last mount. A folder renamed above a mount point moves the mount
// with no word from the kernel: the table kept still lists the old path
// (so it was not read again), but a caller that asks about the new path is
// given a table read again, which lists it there.
TEST(MountTable, IsReadAgainOnceAMountChangesOrMovedWhereAsked) {
  TempDir dir;
  const fs::path base = fs::canonical(dir.path());
  const fs::path shown = base / "shown";
  const fs::path at = base / "a" / "at";
  const fs::path moved = base / "b" / "at";
  fs::create_directories(shown);
  fs::create_directories(at);
  EXPECT_FALSE(mounttable::listed(at, mounttable::read()));
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return skipOrFailWithout("no mount namespace here");
  }
  EXPECT_FALSE(mounttable::listed(at, mounttable::read()));
  ASSERT_EQ(0, ::mount(shown.c_str(), at.c_str(), nullptr, MS_BIND, nullptr));
  EXPECT_TRUE(mounttable::listed(at, mounttable::read()));
  fs::rename(base / "a", base / "b");
  EXPECT_TRUE(mounttable::listed(at, mounttable::read()));  // kept
  EXPECT_FALSE(mounttable::listed(moved, mounttable::read()));
  EXPECT_TRUE(mounttable::listed(moved, mounttable::readFor(moved)));
  EXPECT_FALSE(mounttable::listed(at, mounttable::read()));
  ::umount2(moved.c_str(), MNT_DETACH);
  EXPECT_FALSE(mounttable::listed(moved, mounttable::read()));
}

// A forked child reads the table through a file of its own: through the
// parent's, its look would take the kernel's word of a change from the
// parent, whose table would then stay as it was before the mount.
TEST(MountTable, AForkedChildLeavesTheParentsNoticeAlone) {
  TempDir dir;
  const fs::path shown = fs::canonical(dir.path()) / "shown";
  const fs::path at = fs::canonical(dir.path()) / "at";
  fs::create_directories(shown);
  fs::create_directories(at);
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return skipOrFailWithout("no mount namespace here");
  }
  EXPECT_FALSE(mounttable::listed(at, mounttable::read()));
  ASSERT_EQ(0, ::mount(shown.c_str(), at.c_str(), nullptr, MS_BIND, nullptr));
  const pid_t child = ::fork();
  ASSERT_NE(-1, child);
  if (child == 0) ::_exit(mounttable::listed(at, mounttable::read()) ? 0 : 1);
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(mounttable::listed(at, mounttable::read()));
  ::umount2(at.c_str(), MNT_DETACH);
}

}  // namespace
