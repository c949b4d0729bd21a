#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <new>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/allocation_count.h"
#include "tests/test_support.h"
#include "util/bus_error_guard.h"
#include "util/content_search.h"
#include "util/file_content.h"
#include "util/file_reads.h"
#include "util/file_walk.h"
#include "util/file_writes.h"
#include "util/folders.h"
#include "util/multi_replacer.h"
#include "util/page_size.h"

// Whether AddressSanitizer is built in: GCC defines __SANITIZE_ADDRESS__,
// clang answers __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define UEXPMOD_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UEXPMOD_TEST_ASAN 1
#endif
#endif
#ifndef UEXPMOD_TEST_ASAN
#define UEXPMOD_TEST_ASAN 0
#endif

// This executable's own mmap stands in front of the C library's, so a test
// can make maps of files fail, as on storage that cannot be mapped.
namespace mapfaults {
bool refuse = false;
}  // namespace mapfaults

extern "C" void* mmap(void* address, size_t length, int protection, int flags, int fd,
                      off_t offset) noexcept {
  using Mmap = void* (*)(void*, size_t, int, int, int, off_t);
  // Looked up on every call, not kept in a static: a sanitizer's runtime
  // maps memory while it starts, before a static's guard may be taken.
  const auto realMmap = reinterpret_cast<Mmap>(dlsym(RTLD_NEXT, "mmap"));
  if (fd >= 0 && mapfaults::refuse) {
    errno = ENODEV;
    return MAP_FAILED;
  }
  return realMmap(address, length, protection, flags, fd, offset);
}

// Likewise its own read, so a test can change a file between two reads of
// it, as another app writing the file might.
namespace readfaults {
std::string file;  // the file whose next pread is followed by the change, once
std::function<void()> change;
}  // namespace readfaults

namespace {
ssize_t readAndChange(const char* name, int fd, void* buffer, size_t size, off_t offset) {
  using Pread = ssize_t (*)(int, void*, size_t, off_t);
  const auto realPread = reinterpret_cast<Pread>(dlsym(RTLD_NEXT, name));
  const ssize_t got = realPread(fd, buffer, size, offset);
  struct stat read = {};
  struct stat named = {};
  if (got > 0 && !readfaults::file.empty() && ::fstat(fd, &read) == 0 &&
      ::stat(readfaults::file.c_str(), &named) == 0 && read.st_dev == named.st_dev &&
      read.st_ino == named.st_ino) {
    readfaults::file.clear();
    readfaults::change();
  }
  return got;
}
}  // namespace

extern "C" ssize_t pread(int fd, void* buffer, size_t size, off_t offset) {
  return readAndChange("pread", fd, buffer, size, offset);
}
extern "C" ssize_t pread64(int fd, void* buffer, size_t size, off_t offset) {
  return readAndChange("pread64", fd, buffer, size, offset);
}

// Likewise its own sendfile, so a test can have the kernel copy a file in
// parts, as it may, or refuse to copy between two files, as it does where
// it cannot.
namespace sendfaults {
std::size_t most = 0;  // the most bytes one call copies; 0: no limit
bool refuse = false;
int calls = 0;
std::string resize;  // a file that another app cuts or extends after the first call
off_t resizeTo = 0;
}  // namespace sendfaults

extern "C" ssize_t sendfile(int out, int in, off_t* offset, size_t count) noexcept {
  using Sendfile = ssize_t (*)(int, int, off_t*, size_t);
  static const auto realSendfile = reinterpret_cast<Sendfile>(dlsym(RTLD_NEXT, "sendfile"));
  if (++sendfaults::calls == 2 && !sendfaults::resize.empty() &&
      ::truncate(sendfaults::resize.c_str(), sendfaults::resizeTo) != 0) {
    std::abort();
  }
  if (sendfaults::refuse) {
    errno = EINVAL;
    return -1;
  }
  if (sendfaults::most != 0) count = std::min(count, sendfaults::most);
  return realSendfile(out, in, offset, count);
}

// Likewise its own fchmod, so a test can have the storage refuse changes
// of permissions, as Android's shared storage does.
namespace chmodfaults {
bool refuse = false;
int calls = 0;
}  // namespace chmodfaults

extern "C" int fchmod(int fd, mode_t mode) noexcept {
  using Fchmod = int (*)(int, mode_t);
  static const auto realFchmod = reinterpret_cast<Fchmod>(dlsym(RTLD_NEXT, "fchmod"));
  ++chmodfaults::calls;
  if (chmodfaults::refuse) {
    errno = EPERM;
    return -1;
  }
  return realFchmod(fd, mode);
}

// Likewise its own array allocation, so a test can run out of memory for
// large buffers: arrays of at least `refuseFrom` bytes fail while it is set.
namespace allocfaults {
std::size_t refuseFrom = 0;  // 0: none fails
}  // namespace allocfaults

void* operator new[](std::size_t size) {
  if (allocfaults::refuseFrom != 0 && size >= allocfaults::refuseFrom) throw std::bad_alloc();
  return ::operator new(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (allocfaults::refuseFrom != 0 && size >= allocfaults::refuseFrom) return nullptr;
  return ::operator new(size, std::nothrow);
}
void operator delete[](void* block) noexcept { ::operator delete(block); }
void operator delete[](void* block, std::size_t) noexcept { ::operator delete(block); }

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

bool readWhole(const fs::path& file, ByteBuffer& bytes) {
  return files::readBinaryFile(FileHandle::openForReading(file), bytes);
}

// Whether `pattern` occurs in the file at `path`, as the target scan asks.
ContainsResult searchFile(const fs::path& path, std::string_view pattern) {
  return ContentSearch::search(FileHandle::openForReading(path), pattern).contains;
}

// The content of `file` replaced through a temporary file and a rename.
bool replaceContent(const fs::path& file, std::span<const char> bytes) {
  StagedWrite staged(file);
  return staged.write(bytes) && staged.commit();
}

// A new file holding `bytes`; a new file copied from an open one.
bool writeNew(const fs::path& to, std::span<const char> bytes, fs::perms mode) {
  return files::writeNewFile(to, mode, [&](int fd) { return files::writeAll(fd, bytes); });
}
bool copyToNew(const FileHandle& from, const fs::path& to) {
  return files::writeNewFile(to, files::permissionsOf(from), files::copyOf(from));
}

std::vector<std::string> relativeNames(const std::vector<std::string>& found,
                                       const fs::path& root) {
  std::vector<std::string> names;
  for (const std::string& p : found) names.push_back(fs::path(p).lexically_relative(root).string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(FindFilesRecursive, MatchesTheExtensionExactly) {
  TempDir dir;
  for (const char* name :
       {"x.pak", "sub/y.pak", "sub/deeper/a.b.pak", "x.PAK", "x.pak.bak", ".pak", "noext"}) {
    writeFile(dir / name, "p");
  }
  fs::create_directories(dir / "z.pak");
  EXPECT_EQ((std::vector<std::string>{"sub/deeper/a.b.pak", "sub/y.pak", "x.pak"}),
            relativeNames(files::findFilesRecursive(dir.path(), ".pak").files, dir.path()));
  EXPECT_EQ((std::vector<std::string>{".pak", "noext"}),
            relativeNames(files::findFilesRecursive(dir.path(), "").files, dir.path()));
  // Paths are joined to the root exactly as given, as path's operator/ joins.
  for (const fs::path& root : {dir.path(), fs::path(dir.path().string() + "/")}) {
    std::vector<std::string> found = files::findFilesRecursive(root, ".pak").files;
    std::sort(found.begin(), found.end());
    EXPECT_EQ((std::vector<std::string>{(root / "sub/deeper/a.b.pak").string(),
                                        (root / "sub/y.pak").string(), (root / "x.pak").string()}),
              found);
  }
}

TEST(FindFilesRecursive, MissingRootOrFileRootGivesNothing) {
  TempDir dir;
  writeFile(dir / "file.pak", "p");
  for (const char* root : {"missing", "file.pak"}) {
    const FoundFiles found = files::findFilesRecursive(dir / root, ".pak");
    EXPECT_TRUE(found.files.empty()) << root;
    EXPECT_EQ(0, found.rootError) << root;  // nothing to list is no failure
  }
}

TEST(FindFilesRecursive, AnUnreadableRootIsToldFromAnEmptyOne) {
  TempDir dir;
  writeFile(dir / "locked/1.uexp", "");
  fs::create_directories(dir / "empty");
  fs::permissions(dir / "locked", fs::perms::none);
  EXPECT_TRUE(testsupport::whereModesApply([&] {
    const FoundFiles locked = files::findFilesRecursive(dir / "locked", ".uexp");
    const FoundFiles empty = files::findFilesRecursive(dir / "empty", ".uexp");
    // Behind a folder that cannot be entered, the same.
    const FoundFiles below = files::findFilesRecursive(dir / "locked/sub", ".uexp");
    return locked.files.empty() && locked.rootError == EACCES && below.rootError == EACCES &&
           empty.files.empty() && empty.rootError == 0;
  }));
  fs::permissions(dir / "locked", fs::perms::owner_all);
}

TEST(FindFilesRecursive, ListsSubfolderContentWhereTheSubfolderStands) {
  TempDir dir;
  writeFile(dir / "a/1.uexp", "");
  writeFile(dir / "a/b/2.uexp", "");
  writeFile(dir / "a/b/3.uexp", "");
  writeFile(dir / "c/4.uexp", "");
  const auto found = files::findFilesRecursive(dir.path(), ".uexp").files;
  ASSERT_EQ(4u, found.size());
  // Depth-first pre-order: a's files stand together, and a/b's inside them.
  const auto position = [&](const char* rel) {
    return std::find(found.begin(), found.end(), dir / rel) - found.begin();
  };
  const auto a = {position("a/1.uexp"), position("a/b/2.uexp"), position("a/b/3.uexp")};
  EXPECT_EQ(2, std::max(a) - std::min(a));
  EXPECT_EQ(1, std::abs(position("a/b/2.uexp") - position("a/b/3.uexp")));
}

TEST(FindFilesRecursive, FollowsFileLinksButNotFolderLinks) {
  TempDir dir;
  writeFile(dir / "outside/real.uexp", "r");
  writeFile(dir / "root/own.uexp", "o");
  fs::create_symlink(dir / "outside/real.uexp", dir / "root/link.uexp");
  fs::create_directory_symlink(dir / "outside", dir / "root/folderlink");
  fs::create_symlink(dir / "nowhere.uexp", dir / "root/dangling.uexp");
  EXPECT_EQ(
      (std::vector<std::string>{"link.uexp", "own.uexp"}),
      relativeNames(files::findFilesRecursive(dir / "root", ".uexp").files, dir / "root"));
}

TEST(FindFilesRecursive, SkipsAnUnreadableSubfolderAndGoesOn) {
  TempDir dir;
  writeFile(dir / "a/1.uexp", "");
  writeFile(dir / "locked/2.uexp", "");
  writeFile(dir / "z/3.uexp", "");
  fs::permissions(dir / "locked", fs::perms::none);
  EXPECT_TRUE(testsupport::whereModesApply([&] {
    const FoundFiles found = files::findFilesRecursive(dir.path(), ".uexp");
    return relativeNames(found.files, dir.path()) ==
               std::vector<std::string>{"a/1.uexp", "z/3.uexp"} &&
           found.rootError == 0;
  }));
  fs::permissions(dir / "locked", fs::perms::owner_all);
}

TEST(ContentSearch, UnreadableFileIsReportedAsSuch) {
  TempDir dir;
  writeFile(dir / "locked.uexp", "Game/");
  fs::permissions(dir / "locked.uexp", fs::perms::none);
  EXPECT_TRUE(testsupport::whereModesApply([&] {
    ByteBuffer bytes;
    return searchFile(dir / "locked.uexp", "Game/") == ContainsResult::kUnreadable &&
           !readWhole(dir / "locked.uexp", bytes);
  }));
}

TEST(IsFileSameSize, ComparesSizesOnly) {
  TempDir dir;
  writeFile(dir / "a", "abc");
  writeFile(dir / "b", "xyz");
  writeFile(dir / "c", "abcd");
  fs::create_directories(dir / "folder");
  EXPECT_TRUE(files::isFileSameSize(dir / "a", dir / "b"));
  EXPECT_FALSE(files::isFileSameSize(dir / "a", dir / "c"));
  EXPECT_FALSE(files::isFileSameSize(dir / "a", dir / "missing"));
  EXPECT_FALSE(files::isFileSameSize(dir / "missing", dir / "a"));
  EXPECT_FALSE(files::isFileSameSize(dir / "a", dir / "folder"));
}

TEST(CopyFile, CreatesFoldersReplacesAndFailsCleanly) {
  TempDir dir;
  writeFile(dir / "src.bin", "source bytes");
  const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions(dir / "src.bin", mode);
  EXPECT_TRUE(files::copyFile(dir / "src.bin", dir / "x/y/dst.bin"));
  EXPECT_EQ("source bytes", readFile(dir / "x/y/dst.bin"));
  EXPECT_EQ(mode, fs::status(dir / "x/y/dst.bin").permissions());

  writeFile(dir / "old.bin", "old");
  EXPECT_TRUE(files::copyFile(dir / "src.bin", dir / "old.bin"));
  EXPECT_EQ("source bytes", readFile(dir / "old.bin"));

  // A copy onto its own source would destroy it.
  EXPECT_FALSE(files::copyFile(dir / "src.bin", dir / "src.bin"));
  EXPECT_FALSE(files::copyFile(dir / "src.bin", dir / "x/../src.bin"));
  EXPECT_EQ("source bytes", readFile(dir / "src.bin"));

  fs::create_directories(dir / "taken.bin");
  EXPECT_FALSE(files::copyFile(dir / "src.bin", dir / "taken.bin"));
  EXPECT_TRUE(fs::is_directory(dir / "taken.bin"));

  EXPECT_FALSE(files::copyFile(dir / "missing.bin", dir / "m/n/dst.bin"));
  EXPECT_TRUE(fs::is_directory(dir / "m/n"));
  EXPECT_FALSE(fs::exists(dir / "m/n/dst.bin"));
  // No temporary file is left behind by any of these.
  for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
    EXPECT_EQ(std::string::npos, entry.path().string().find(".tmp")) << entry.path();
  }
}

// Content of several pieces (1 MiB and a byte, no two pieces alike) arrives
// whole by every route a copy or a write takes.
TEST(Copies, ContentOfSeveralPiecesArrivesWholeByEveryRoute) {
  TempDir dir;
  std::string bytes((std::size_t{1} << 20) + 1, '\0');
  std::mt19937 random(3);
  for (char& c : bytes) c = static_cast<char>(random());
  writeFile(dir / "src.bin", bytes);

  // The kernel's copy, in parts of a quarter of a MiB.
  sendfaults::calls = 0;
  sendfaults::most = std::size_t{256} << 10;
  EXPECT_TRUE(files::copyFile(dir / "src.bin", dir / "kernel.bin"));
  sendfaults::most = 0;
  EXPECT_LE(5, sendfaults::calls);
  // The copy through a buffer, where the kernel cannot copy.
  sendfaults::refuse = true;
  EXPECT_TRUE(files::copyFile(dir / "src.bin", dir / "buffer.bin"));
  sendfaults::refuse = false;
  EXPECT_TRUE(copyToNew(FileHandle::openForReading(dir / "src.bin"), dir / "new.bin"));
  EXPECT_TRUE(writeNew(dir / "written.bin", bytes, fs::perms::owner_read));
  for (const char* name : {"kernel.bin", "buffer.bin", "new.bin", "written.bin"}) {
    const std::string copied = readFile(dir / name);
    EXPECT_TRUE(copied == bytes) << name << ": " << copied.size() << " bytes";
  }
}

// A copy gives its file the source's mode, which the creation mask may have
// cut; storage that refuses the change still gets every byte.
TEST(Copies, ARefusedModeChangeStillCopiesEveryByte) {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if ((mask & 0777) == 0) GTEST_SKIP() << "no creation mask: no mode to change";
  TempDir dir;
  writeFile(dir / "src.bin", "source bytes");
  fs::permissions(dir / "src.bin", fs::perms::all);
  chmodfaults::calls = 0;
  chmodfaults::refuse = true;
  const bool copied = files::copyFile(dir / "src.bin", dir / "copy.bin");
  const bool copiedToNew = copyToNew(FileHandle::openForReading(dir / "src.bin"), dir / "new.bin");
  chmodfaults::refuse = false;
  EXPECT_EQ(2, chmodfaults::calls);  // each asked, and was refused
  EXPECT_TRUE(copied);
  EXPECT_TRUE(copiedToNew);
  EXPECT_EQ("source bytes", readFile(dir / "copy.bin"));
  EXPECT_EQ("source bytes", readFile(dir / "new.bin"));
}

// New files are made whole or not at all, and never over what stands.
TEST(NewFile, CreatedExclusivelyCompleteOrAbsent) {
  TempDir dir;
  const std::string big(1 << 20, 'b');
  writeFile(dir / "src.bin", big);
  fs::permissions(dir / "src.bin", fs::perms::owner_read | fs::perms::group_read);

  // Folders made, the mode given exactly, whatever the creation mask.
  const fs::perms all = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                        fs::perms::group_write | fs::perms::others_read | fs::perms::others_write;
  EXPECT_TRUE(writeNew(dir / "x/y/a.bin", testsupport::bytesOf("new"), all));
  EXPECT_EQ("new", readFile(dir / "x/y/a.bin"));
  EXPECT_EQ(all, fs::status(dir / "x/y/a.bin").permissions());
  // From an open file whose position is at its end: all of it, its mode.
  FileHandle source = FileHandle::openForReading(dir / "src.bin");
  ASSERT_EQ(static_cast<off_t>(big.size()), ::lseek(source.get(), 0, SEEK_END));
  EXPECT_TRUE(copyToNew(source, dir / "x/b.bin"));
  EXPECT_EQ(big, readFile(dir / "x/b.bin"));
  EXPECT_EQ(fs::status(dir / "src.bin").permissions(), fs::status(dir / "x/b.bin").permissions());

  // What stands is neither replaced nor written through, link or file.
  EXPECT_FALSE(writeNew(dir / "x/y/a.bin", testsupport::bytesOf("other"), all));
  EXPECT_EQ("new", readFile(dir / "x/y/a.bin"));
  fs::create_symlink(dir / "src.bin", dir / "link.bin");
  EXPECT_FALSE(copyToNew(source, dir / "link.bin"));
  EXPECT_FALSE(writeNew(dir / "link.bin", testsupport::bytesOf("x"), all));
  EXPECT_EQ(big, readFile(dir / "src.bin"));

  // Storage that fills up half way: nothing of the file is left.
  rlimit old = {};
  ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &old));
  rlimit small = old;
  small.rlim_cur = 64 << 10;
  const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &small));
  const bool written = writeNew(dir / "full1.bin", big, all);
  const bool copied = copyToNew(source, dir / "full2.bin");
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldSignal);
  EXPECT_FALSE(written);
  EXPECT_FALSE(copied);
  EXPECT_FALSE(fs::exists(dir / "full1.bin"));
  EXPECT_FALSE(fs::exists(dir / "full2.bin"));

  // No memory for the copy's buffer, where the kernel cannot copy: no file,
  // and no descriptor left open.
  const auto openFiles = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
  };
  const auto before = openFiles();
  allocfaults::refuseFrom = 64 << 10;
  sendfaults::refuse = true;
  const bool withoutMemory = copyToNew(source, dir / "nomem.bin");
  sendfaults::refuse = false;
  allocfaults::refuseFrom = 0;
  EXPECT_FALSE(withoutMemory);
  EXPECT_FALSE(fs::exists(dir / "nomem.bin"));
  EXPECT_EQ(before, openFiles());
}

// Writes files of the given sizes with the marker at the given offsets and
// checks that each is found, and not found once one byte of it is changed.
void expectFoundWhereverPlaced(const std::vector<std::pair<std::size_t, std::size_t>>& layouts) {
  TempDir dir;
  const std::string marker = "Game/Mod/Escape/Audio/WwiseBank/";
  for (const auto& [size, offset] : layouts) {
    std::string content(size, '\0');
    content.replace(offset, marker.size(), marker);
    writeFile(dir / "f.uexp", content);
    EXPECT_EQ(ContainsResult::kFound, searchFile(dir / "f.uexp", marker))
        << "size " << size << " offset " << offset;
    content[offset + 31] = 'X';
    writeFile(dir / "f.uexp", content);
    EXPECT_EQ(ContainsResult::kNotFound, searchFile(dir / "f.uexp", marker))
        << "size " << size << " offset " << offset;
  }
}

TEST(ContentSearch, FindsPatternsAnywhereIncludingAcrossReads) {
  // Reads end at P, 2P, ... (each search also holds the last 31 bytes of
  // the read before).
  constexpr std::size_t P = ContentSearch::kReadPiece;
  constexpr std::size_t first = P;
  expectFoundWhereverPlaced({
      {100, 0},
      {100, 100 - 32},                // the very last bytes
      {first + 100, first - 10},      // straddles the first boundary
      {first + 100, first - 31},      // one byte past it
      {first + 100, first - 32},      // ends exactly at it
      {first + 100, first},           // starts at it
      {3 * P + 200, first + P - 16},  // straddles the second boundary
      {3 * P + 5, 3 * P + 5 - 32},    // the last bytes of a long file
  });
}

// The target scan asks the storage to read ahead only once a searched file
// shows that the tree is not in memory: its first read tells.
TEST(ContentSearch, TellsWhetherAFileWasInMemory) {
  TempDir dir;
  struct statfs where = {};
  ASSERT_EQ(0, ::statfs(dir.path().c_str(), &where));
  if (where.f_type == TMPFS_MAGIC) GTEST_SKIP() << "tmpfs keeps every file in memory";
  const fs::path file = dir / "f.uexp";
  writeFile(file, std::string(2 * ContentSearch::kReadPiece, 'a'));
  const auto search = [&] {
    return ContentSearch::search(FileHandle::openForReading(file), "Game/");
  };
  // Whether this kernel reads what its page cache holds without waiting for
  // storage (Linux 4.14 on; not under every emulator): if not, no one can tell.
  {
    FileHandle probe = FileHandle::openForReading(file);
    char byte = 0;
    struct iovec piece = {&byte, 1};
    if (::syscall(SYS_preadv2, static_cast<long>(probe.get()), &piece, 1L, 0UL, 0UL,
                  static_cast<long>(RWF_NOWAIT)) != 1) {
      GTEST_SKIP() << "this kernel cannot tell";
    }
  }
  EXPECT_EQ(ContainsResult::kNotFound, search().contains);
  EXPECT_EQ(std::optional<bool>(true), search().wasInMemory);  // just written

  const int fd = ::open(file.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, ::fdatasync(fd));
  ASSERT_EQ(0, ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED));
  ::close(fd);
  const ContentSearch::Result cold = search();
  EXPECT_EQ(ContainsResult::kNotFound, cold.contains);
  EXPECT_EQ(std::optional<bool>(false), cold.wasInMemory);
  EXPECT_EQ(std::optional<bool>(true), search().wasInMemory);  // read by the search before
  // A file that is no regular file does not tell.
  EXPECT_EQ(
      std::nullopt,
      ContentSearch::search(FileHandle::openForReading("/proc/self/status"), "x").wasInMemory);
}

// A file that shrinks between two reads of the search was not read to the
// end it had: unreadable. One that grows, or that reports no size, as
// files under /proc do, is read to its end.
TEST(ContentSearch, ReadsTellAFileCutShortFromOneThatGrows) {
  TempDir dir;
  const fs::path file = dir / "f.uexp";
  constexpr std::size_t P = ContentSearch::kReadPiece;
  const auto searchChanged = [&](const std::function<void()>& change) {
    writeFile(file, std::string(3 * P + 100, 'a'));
    readfaults::change = change;
    readfaults::file = file.string();
    const ContainsResult result = searchFile(file, "Game/");
    EXPECT_EQ("", readfaults::file);  // the change was made after a read
    readfaults::file.clear();
    return result;
  };
  const auto append = [&](std::string_view bytes) {
    std::ofstream(file, std::ios::binary | std::ios::app) << bytes;
  };
  EXPECT_EQ(ContainsResult::kUnreadable, searchChanged([&] { fs::resize_file(file, P + 10); }));
  EXPECT_EQ(ContainsResult::kNotFound, searchChanged([&] { append("bbbbb"); }));
  EXPECT_EQ(ContainsResult::kFound, searchChanged([&] { append("Game/"); }));
  EXPECT_EQ(ContainsResult::kFound, searchFile("/proc/self/status", "\nPid:"));
  EXPECT_EQ(ContainsResult::kNotFound, searchFile("/proc/self/status", "no such line"));
}

TEST(MappedFilesDeathTest, BusErrorsOutsideAGuardedMapGoToTheActionThatWasThere) {
  TempDir dir;
  writeFile(dir / "f.uexp", std::string(std::size_t{4} << 20, 'a'));
  writeFile(dir / "empty", "");
  // A search, and a mapped rewrite left by an exception, then a read past
  // the end of a mapped empty file.
  const auto faultAfterGuardedMaps = [&] {
    // A fault handed back to the guard's handler would repeat forever: the
    // deadline ends that as death by SIGALRM, which neither check accepts.
    std::signal(SIGALRM, SIG_DFL);
    ::alarm(10);
    searchFile(dir / "f.uexp", "Game/");
    FileContent content;
    if (!content.load(dir / "f.uexp")) std::exit(3);
    MultiReplacer engine({});
    try {
      content.rewrite(engine, FileContent::Output::kEveryByte,
                      [](std::span<const char>) -> bool { throw 1; });
    } catch (int) {
    }
    std::FILE* f = std::fopen((dir / "empty").c_str(), "rb");
    const auto* page = static_cast<const volatile char*>(
        ::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, ::fileno(f), 0));
    std::exit(page[0]);
  };
  EXPECT_EXIT(
      {
        std::signal(SIGBUS, [](int) { std::_Exit(42); });  // a crash reporter, say
        faultAfterGuardedMaps();
      },
      testing::ExitedWithCode(42), "");
  // The default action: killed by SIGBUS. Under AddressSanitizer its own
  // handler was there first: it reports the signal and exits with 1.
#if UEXPMOD_TEST_ASAN
  EXPECT_EXIT(faultAfterGuardedMaps(), testing::ExitedWithCode(1),
              "ERROR: AddressSanitizer: BUS on unknown address");
#else
  EXPECT_EXIT(faultAfterGuardedMaps(), testing::KilledBySignal(SIGBUS), "");
#endif
}

// Guards over several maps stand at once, as rewrites on several threads
// need, each told only of its own lost pages; one beyond the slots is not
// installed, and once all are gone the action that was there before is back.
TEST(BusErrorGuard, EachStandingGuardMendsOnlyItsOwnMap) {
  struct sigaction before = {};
  struct sigaction now = {};
  ASSERT_EQ(0, sigaction(SIGBUS, nullptr, &before));
  TempDir dir;
  const std::size_t P = pageSize();
  // A map of two pages whose file then shrank to nothing: both are lost.
  const auto shrunkMap = [&](const char* name) {
    writeFile(dir / name, std::string(2 * P, 'a'));
    const FileHandle file(::open((dir / name).c_str(), O_RDWR | O_CLOEXEC));
    void* const map = ::mmap(nullptr, 2 * P, PROT_READ, MAP_PRIVATE, file.get(), 0);
    EXPECT_NE(MAP_FAILED, map);
    EXPECT_EQ(0, ::ftruncate(file.get(), 0));
    return static_cast<const volatile char*>(map);
  };
  const volatile char* const first = shrunkMap("first");
  const volatile char* const second = shrunkMap("second");
  const char bytes[16] = {};
  {
    const BusErrorGuard firstGuard(const_cast<const char*>(first), 2 * P);
    const BusErrorGuard secondGuard(const_cast<const char*>(second), 2 * P);
    ASSERT_TRUE(firstGuard.installed());
    ASSERT_TRUE(secondGuard.installed());
    EXPECT_EQ(0, second[P]);  // lost: reads as zeros
    EXPECT_TRUE(secondGuard.faulted());
    EXPECT_FALSE(firstGuard.faulted());
    std::vector<std::unique_ptr<BusErrorGuard>> rest;
    for (int i = 2; i < BusErrorGuard::kSlots; ++i) {
      rest.push_back(std::make_unique<BusErrorGuard>(bytes, sizeof bytes));
      EXPECT_TRUE(rest.back()->installed());
    }
    EXPECT_FALSE(BusErrorGuard(bytes, sizeof bytes).installed());
  }
  ASSERT_EQ(0, sigaction(SIGBUS, nullptr, &now));
  EXPECT_EQ(reinterpret_cast<void*>(before.sa_sigaction),
            reinterpret_cast<void*>(now.sa_sigaction));
  EXPECT_TRUE(BusErrorGuard(bytes, sizeof bytes).installed());
  ::munmap(const_cast<char*>(first), 2 * P);
  ::munmap(const_cast<char*>(second), 2 * P);
}

// Guards made and ended on several threads at once, each over a map whose
// pages are lost: every fault is told to the guard over it, and to no other.
TEST(BusErrorGuard, ThreadsFaultingAtOnceAreEachToldOfTheirOwn) {
  TempDir dir;
  const std::size_t P = pageSize();
  std::atomic<int> missed{0};
  std::atomic<int> misplaced{0};
  const auto faultRepeatedly = [&](int thread) {
    const fs::path file = dir / ("t" + std::to_string(thread));
    const char intact[64] = {};
    for (int round = 0; round < 100; ++round) {
      writeFile(file, std::string(2 * P, 'a'));
      const FileHandle opened(::open(file.c_str(), O_RDWR | O_CLOEXEC));
      void* const map = ::mmap(nullptr, 2 * P, PROT_READ, MAP_PRIVATE, opened.get(), 0);
      if (map == MAP_FAILED || ::ftruncate(opened.get(), 0) != 0) {
        ++missed;
        return;
      }
      {
        const BusErrorGuard lost(map, 2 * P);
        const BusErrorGuard untouched(intact, sizeof intact);
        if (static_cast<const volatile char*>(map)[P] != 0 || !lost.faulted()) ++missed;
        if (untouched.faulted()) ++misplaced;
      }
      ::munmap(map, 2 * P);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back(faultRepeatedly, t);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, missed.load());
  EXPECT_EQ(0, misplaced.load());
}

// A SIGBUS sent while a guard stands goes to the action that was there
// before, as without the guard; it is not swallowed.
TEST(MappedFilesDeathTest, ABusErrorSentWhileAGuardStandsGoesToTheActionBefore) {
  EXPECT_EXIT(
      {
        std::signal(SIGBUS, [](int) { std::_Exit(42); });  // a crash reporter, say
        const char bytes[16] = {};
        const BusErrorGuard guard(bytes, sizeof bytes);
        std::raise(SIGBUS);
        std::_Exit(0);
      },
      testing::ExitedWithCode(42), "");
}

TEST(ContentSearch, TellsUnreadableFromAbsent) {
  TempDir dir;
  writeFile(dir / "empty.uexp", "");
  writeFile(dir / "a.uexp", "abc");
  EXPECT_EQ(ContainsResult::kNotFound, searchFile(dir / "empty.uexp", "a"));
  EXPECT_EQ(ContainsResult::kNotFound, searchFile(dir / "a.uexp", ""));
  EXPECT_EQ(ContainsResult::kNotFound, searchFile(dir / "a.uexp", "abcd"));
  EXPECT_EQ(ContainsResult::kFound, searchFile(dir / "a.uexp", "bc"));
  EXPECT_EQ(ContainsResult::kUnreadable, searchFile(dir / "missing.uexp", "a"));
  fs::create_directories(dir / "folder.uexp");
  EXPECT_EQ(ContainsResult::kUnreadable, searchFile(dir / "folder.uexp", "a"));
}

TEST(ReadBinaryFile, WholeContentOrNothing) {
  TempDir dir;
  writeFile(dir / "a.bin", std::string("a\0b\xFF", 4));
  writeFile(dir / "empty.bin", "");
  writeFile(dir / "large.bin", std::string(100000, 'x'));
  fs::create_directories(dir / "folder.bin");
  ByteBuffer bytes;
  // One buffer serves files of any size in any order; each read replaces it.
  ASSERT_TRUE(readWhole(dir / "a.bin", bytes));
  EXPECT_EQ((ByteBuffer{'a', '\0', 'b', '\xFF'}), bytes);
  ASSERT_TRUE(readWhole(dir / "large.bin", bytes));
  EXPECT_EQ(ByteBuffer(100000, 'x'), bytes);
  ASSERT_TRUE(readWhole(dir / "a.bin", bytes));
  EXPECT_EQ((ByteBuffer{'a', '\0', 'b', '\xFF'}), bytes);
  ASSERT_TRUE(readWhole(dir / "empty.bin", bytes));
  EXPECT_TRUE(bytes.empty());
  EXPECT_FALSE(readWhole(dir / "missing.bin", bytes));
  EXPECT_FALSE(readWhole(dir / "folder.bin", bytes));
}

TEST(ReadBinaryFile, ReadsToTheEndWhateverSizeTheFileReports) {
  // Files under /proc report a size of zero yet have content; a file that
  // grows while it is read looks the same to the reader.
  ByteBuffer bytes;
  ASSERT_TRUE(readWhole("/proc/self/status", bytes));
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_EQ(0u, text.rfind("Name:", 0)) << text.substr(0, 100);
  EXPECT_NE(std::string::npos, text.find("\nPid:"));
}

TEST(StagedWrite, ReplacesContentAtomically) {
  TempDir dir;
  writeFile(dir / "a.uexp", "old content");
  fs::permissions(dir / "a.uexp",
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_TRUE(replaceContent(dir / "a.uexp", testsupport::bytesOf("new")));
  EXPECT_EQ("new", readFile(dir / "a.uexp"));
  EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read,
            fs::status(dir / "a.uexp").permissions());
  EXPECT_TRUE(replaceContent(dir / "a.uexp", {}));
  EXPECT_EQ("", readFile(dir / "a.uexp"));
  // Content never committed leaves the file as it was, and nothing beside it.
  {
    StagedWrite dropped(dir / "a.uexp");
    EXPECT_TRUE(dropped.write(testsupport::bytesOf("dropped")));
  }
  EXPECT_EQ("", readFile(dir / "a.uexp"));
  EXPECT_EQ(1, std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
  EXPECT_FALSE(replaceContent(dir / "missing/a.uexp", testsupport::bytesOf("x")));
  EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST(StagedWrite, FailedRenameLeavesOldBytesAndNoTemporary) {
  TempDir dir;
  // A folder where the file should be: the temporary is written, the rename fails.
  fs::create_directories(dir / "target.uexp/inside");
  EXPECT_FALSE(replaceContent(dir / "target.uexp", testsupport::bytesOf("x")));
  EXPECT_TRUE(fs::is_directory(dir / "target.uexp/inside"));
  EXPECT_EQ(1, std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
}

// The temporary file that replaces a file is named for its process, and
// created exclusively: what already stands at any name it tries (a link
// planted there, another run's temporary file, the leftover of a run that
// was killed with this process's id) neither receives the bytes, nor is
// removed or truncated, nor stops the write or the copy.
TEST(TemporaryFile, LeavesWhateverStandsAtItsNamesAsItWas) {
  TempDir dir;
  writeFile(dir / "src.pak", "source");
  writeFile(dir / "victim", "victim");
  const std::pair<const char*, std::function<bool(const fs::path&)>> writes[] = {
      {"staged write",
       [](const fs::path& to) { return replaceContent(to, testsupport::bytesOf("source")); }},
      {"copy", [&](const fs::path& to) { return files::copyFile(dir / "src.pak", to); }},
  };
  const std::string pid = std::to_string(::getpid());
  for (const auto& [how, write] : writes) {
    for (const std::string name : {"a.uexp", "new.uexp"}) {  // replaced, and made
      SCOPED_TRACE(how + (" to " + name));
      // The names this process tries first, and the one every run once shared.
      const fs::path planted[] = {dir / ("." + name + "." + pid + "-0.uexpmod.tmp"),
                                  dir / ("." + name + "." + pid + "-1.uexpmod.tmp"),
                                  dir / ("." + name + ".uexpmod.tmp")};
      // A link to a file, a link to where a file would be made, a leftover.
      const auto plant = [&](int what, const fs::path& at) {
        if (what == 0) fs::create_symlink(dir / "victim", at);
        if (what == 1) fs::create_symlink(dir / "created", at);
        if (what == 2) writeFile(at, "a leftover, longer than the new content");
      };
      for (const int what : {0, 1, 2}) {
        SCOPED_TRACE(what);
        if (name == "a.uexp") writeFile(dir / name, "old");
        for (const fs::path& at : planted) plant(what, at);
        EXPECT_TRUE(write(dir / name));
        EXPECT_EQ("source", readFile(dir / name));
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / name)));
        EXPECT_EQ("victim", readFile(dir / "victim"));
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "created")));
        for (const fs::path& at : planted) {
          EXPECT_EQ(what == 2, fs::is_regular_file(fs::symlink_status(at))) << at;
          EXPECT_EQ(what != 2, fs::is_symlink(fs::symlink_status(at))) << at;
          if (what == 2) {
            EXPECT_EQ("a leftover, longer than the new content", readFile(at));
          }
        }
        // Nothing of the write's own is left: src.pak, victim, the file, the planted.
        EXPECT_EQ(6, std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
        for (const fs::path& at : planted) fs::remove(at);
        fs::remove(dir / name);
      }
    }
  }
}

// Two runs copy the same pak at once, and the second is killed part way:
// the first still puts its whole content in place, not the second's cut one,
// and the second's leftover goes only when files::removeLeftoverTemporaries is asked.
TEST(TemporaryFile, ARunKilledWhileAnotherWritesTheSameFileCutsNothingShort) {
  TempDir dir;
  writeFile(dir / "a.pak", "old pak");
  writeFile(dir / "other.pak", "kept");
  const std::string first(std::size_t{1} << 20, 'f');
  StagedWrite writing(dir / "a.pak");
  ASSERT_TRUE(writing.write(std::span(first).first(1000)));
  const pid_t other = ::fork();
  if (other == 0) {
    // Another run: it starts its temporary file and is killed, destructors unrun.
    StagedWrite cut(dir / "a.pak");
    _exit(cut.write(testsupport::bytesOf("cut")) ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(other, ::waitpid(other, &status, 0));
  ASSERT_EQ(0, status);
  ASSERT_TRUE(writing.write(std::span(first).subspan(1000)));
  EXPECT_TRUE(writing.commit());
  EXPECT_TRUE(readFile(dir / "a.pak") == first) << readFile(dir / "a.pak").size() << " bytes";
  EXPECT_EQ(3, std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
  EXPECT_EQ(1, files::removeLeftoverTemporaries(dir.path()));
  EXPECT_EQ(2, std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
  EXPECT_EQ("kept", readFile(dir / "other.pak"));
}

// A source that another app cuts or extends while it is copied leaves the
// destination as it was: a copy reported done has the source's whole size.
TEST(CopyFile, ASourceThatChangesSizeWhileCopiedIsRefused) {
  TempDir dir;
  const std::string bytes(std::size_t{1} << 20, 's');
  for (const off_t size : {off_t{300} << 10, off_t{2} << 20}) {
    SCOPED_TRACE(size);
    writeFile(dir / "src.pak", bytes);
    writeFile(dir / "a.pak", "old pak");
    sendfaults::most = std::size_t{256} << 10;
    sendfaults::calls = 0;
    sendfaults::resizeTo = size;
    sendfaults::resize = (dir / "src.pak").string();
    const bool copied = files::copyFile(dir / "src.pak", dir / "a.pak");
    sendfaults::resize.clear();
    sendfaults::most = 0;
    EXPECT_FALSE(copied);
    EXPECT_EQ("old pak", readFile(dir / "a.pak"));
    EXPECT_EQ(2, std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
  }
}

TEST(Directories, CreateAndRemove) {
  TempDir dir;
  writeFile(dir / "file", "keep");
  EXPECT_TRUE(files::createDirectories(dir / "file"));
  EXPECT_EQ("keep", readFile(dir / "file"));
  EXPECT_TRUE(files::createDirectories(dir / "a/b/c"));
  EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
  EXPECT_TRUE(files::createDirectories(dir / "a/b/c"));
  EXPECT_FALSE(files::createDirectories(dir / "file/sub"));

  // On one thread and several: everything below goes, links inside are
  // removed and never followed, and a link standing at the path is removed
  // without touching what it points to.
  writeFile(dir / "kept/inside.uexp", "k");
  // From a folder holding files of the tree's names: a removal by name
  // from the wrong folder would take them.
  for (const char* name : {"0", "59", "y", "x.uexp", "to-file"}) writeFile(dir / "cwd" / name, "");
  struct WorkingIn {  // back where it was however the block ends
    fs::path was = fs::current_path();
    explicit WorkingIn(const fs::path& folder) { fs::current_path(folder); }
    ~WorkingIn() {
      std::error_code ignored;
      fs::current_path(was, ignored);
    }
  };
  {
    const WorkingIn from(dir / "cwd");
    for (const std::size_t threads : {1, 2, 5}) {
      SCOPED_TRACE(threads);
      writeFile(dir / "a/b/c/x.uexp", "x");
      for (int f = 0; f < 60; ++f) writeFile(dir / "a/wide" / std::to_string(f), "w");
      fs::path deep = dir / "a";
      for (int d = 0; d < 12; ++d) deep /= "d";
      writeFile(deep / "y", "y");
      fs::create_directory_symlink(dir / "kept", dir / "a/b/to-kept");
      fs::create_symlink(dir / "kept/inside.uexp", dir / "a/wide/to-file");
      EXPECT_TRUE(files::removeDirectory(dir / "a", threads));
      EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "a")));
      EXPECT_TRUE(files::removeDirectory(dir / "a", threads));

      fs::create_directory_symlink(dir / "kept", dir / "link");
      EXPECT_TRUE(files::removeDirectory(dir / "link", threads));
      EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "link")));
      EXPECT_EQ("k", readFile(dir / "kept/inside.uexp"));
    }
  }
  EXPECT_EQ(5, std::distance(fs::directory_iterator(dir / "cwd"), fs::directory_iterator()));
  EXPECT_TRUE(files::createDirectories(dir / "a"));
  EXPECT_TRUE(fs::is_empty(dir / "a"));

  // Short of memory at any point, the removal on threads says so by its
  // result, never by throwing, and keeps no folder open.
  const auto openFiles = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
  };
  const auto before = openFiles();
  const fs::path many = dir / "m";
  for (std::size_t allowed = 0; allowed < 60; ++allowed) {
    SCOPED_TRACE(allowed);
    for (int f = 0; f < 8; ++f) writeFile(many / std::to_string(f % 3) / std::to_string(f), "m");
    bool threw = false;
    allocations::refusingAfter(allowed, [&] {
      try {
        files::removeDirectory(many, 3);
      } catch (...) {
        threw = true;
      }
    });
    EXPECT_FALSE(threw);
    EXPECT_EQ(before, openFiles());
    EXPECT_TRUE(files::removeDirectory(many));
  }
}

// A folder is inside another by what the folders are: through links, ".."
// after a link (the kernel's parent), and from a part that does not exist
// yet; never by the text of the paths.
TEST(Folders, WithinTellsFoldersByWhatTheyAreNotByTheirPaths) {
  TempDir dir;
  fs::create_directories(dir / "a/b/c");
  fs::create_directories(dir / "x");
  fs::create_directory_symlink(dir / "a/b", dir / "l");  // l: a second path to a/b
  fs::create_directory_symlink("l", dir / "m");          // m: to l
  struct Case {
    const char* inner;
    const char* outer;
    bool within;
  };
  for (const Case& c :
       {Case{"l/c", "a", true}, Case{"m", "a/b", true}, Case{"a/b", "m", true},
        Case{"a/b/c", "l/c", true}, Case{"m/..", "a", true}, Case{"a/b", "m/..", true},
        Case{"l/c/new/deeper", "m", true}, Case{"a", "l", false}, Case{"x", "m", false},
        Case{"m/..", "l", false}, Case{"a", "missing", false}, Case{"l", "x", false}}) {
    SCOPED_TRACE(std::string(c.inner) + " in " + c.outer);
    EXPECT_EQ(c.within, files::within(dir / c.inner, dir / c.outer));
  }
}

// Below a bind mount, a folder is found inside another through the mount
// that shows it from higher up, at that mount's point as it stands now: a
// folder renamed above that point since the mount table was read is no
// reason to miss it. The mounts: a tmpfs at p/t, and its X/sub at b.
TEST(Folders, WithinFindsAFolderBelowABindMountAfterAFolderAboveItsMountMoved) {
  TempDir dir;
  const fs::path base = fs::canonical(dir.path());
  fs::create_directories(base / "p/t");
  fs::create_directories(base / "b");
  fs::create_directories(base / "bb");  // its name begins with the mount point's
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tmpfs", (base / "p/t").c_str(), "tmpfs", 0, nullptr) != 0) {
    return testsupport::skipOrFailWithout("no mount namespace for a tmpfs here");
  }
  fs::create_directories(base / "p/t/X/sub");
  ASSERT_EQ(0, ::mount((base / "p/t/X/sub").c_str(), (base / "b").c_str(), nullptr, MS_BIND,
                       nullptr));
  EXPECT_TRUE(files::within(base / "b", base / "p/t/X"));
  fs::rename(base / "p", base / "q");
  EXPECT_TRUE(files::within(base / "b", base / "q/t/X"));
  EXPECT_FALSE(files::within(base / "bb", base / "q/t/X"));
  EXPECT_FALSE(files::within(base / "bb/new", base / "q/t/X"));
  ::umount2((base / "b").c_str(), MNT_DETACH);
  ::umount2((base / "q/t").c_str(), MNT_DETACH);
}

}  // namespace
