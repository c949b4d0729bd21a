// StagedFolder: new content built beside a folder and swapped in whole.
#include "util/staged_folder.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/allocation_count.h"
#include "tests/test_support.h"
#include "util/file_writes.h"

// This executable's own rename, renameat2 (through syscall), link and mkdir
// stand in front of the C library's, so a test can refuse them as storage
// does: the exchange of two folders as Android's shared storage refuses it,
// a rename that must not replace, a link, the rename of a folder, or the
// making of one.
namespace renamefaults {
int exchange = 0;          // errno for RENAME_EXCHANGE, or 0
int noReplace = 0;         // errno for RENAME_NOREPLACE, or 0
int link = 0;              // errno for every link, or 0
std::string refuseRename;  // a rename from a path containing this fails
int renameError = 0;
std::string refuseMkdir;  // making a folder whose path contains this fails
std::string refuseUnlink;  // removing a file of this name fails with EIO
}  // namespace renamefaults

extern "C" int unlinkat(int dir, const char* name, int flags) {
  if (!renamefaults::refuseUnlink.empty() && renamefaults::refuseUnlink == name) {
    errno = EIO;
    return -1;
  }
  using Unlinkat = int (*)(int, const char*, int);
  static const auto real = reinterpret_cast<Unlinkat>(dlsym(RTLD_NEXT, "unlinkat"));
  return real(dir, name, flags);
}

extern "C" long syscall(long number, ...) {
  va_list rest;
  va_start(rest, number);
  long args[6];
  for (long& arg : args) arg = va_arg(rest, long);
  va_end(rest);
  if (number == SYS_renameat2 && renamefaults::exchange != 0 &&
      (static_cast<unsigned>(args[4]) & RENAME_EXCHANGE) != 0) {
    errno = renamefaults::exchange;
    return -1;
  }
  if (number == SYS_renameat2 && renamefaults::noReplace != 0 &&
      (static_cast<unsigned>(args[4]) & RENAME_NOREPLACE) != 0) {
    errno = renamefaults::noReplace;
    return -1;
  }
  // Not a static that needs a guard: the C++ runtime's guard itself may call
  // syscall() (libc++abi waits on a futex so), and would wait on itself.
  using Syscall = long (*)(long, ...);
  static constinit std::atomic<Syscall> real{nullptr};
  if (real.load() == nullptr) real = reinterpret_cast<Syscall>(dlsym(RTLD_NEXT, "syscall"));
  return real.load()(number, args[0], args[1], args[2], args[3], args[4], args[5]);
}

extern "C" int rename(const char* from, const char* to) {
  if (!renamefaults::refuseRename.empty() &&
      std::strstr(from, renamefaults::refuseRename.c_str())) {
    errno = renamefaults::renameError;
    return -1;
  }
  using Rename = int (*)(const char*, const char*);
  static const auto real = reinterpret_cast<Rename>(dlsym(RTLD_NEXT, "rename"));
  return real(from, to);
}

extern "C" int link(const char* from, const char* to) {
  if (renamefaults::link != 0) {
    errno = renamefaults::link;
    return -1;
  }
  using Link = int (*)(const char*, const char*);
  static const auto real = reinterpret_cast<Link>(dlsym(RTLD_NEXT, "link"));
  return real(from, to);
}

extern "C" int mkdir(const char* path, mode_t mode) {
  if (!renamefaults::refuseMkdir.empty() && std::strstr(path, renamefaults::refuseMkdir.c_str())) {
    errno = EACCES;
    return -1;
  }
  using Mkdir = int (*)(const char*, mode_t);
  static const auto real = reinterpret_cast<Mkdir>(dlsym(RTLD_NEXT, "mkdir"));
  return real(path, mode);
}

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::skipOrFailWithout;
using testsupport::TempDir;
using testsupport::writeFile;

// Every entry below `dir`, folders as "name/", with the bytes of files.
std::map<std::string, std::string> entriesUnder(const fs::path& dir) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string name = entry.path().lexically_relative(dir).string();
    if (entry.is_directory()) {
      entries[name + "/"] = "";
    } else {
      entries[name] = readFile(entry.path());
    }
  }
  return entries;
}

FileFill bytes(const std::string& text) {
  return [text](int fd) { return files::writeAll(fd, text); };
}

const fs::perms kMode = fs::perms::owner_read | fs::perms::owner_write;

// Until the commit the folder keeps its old content, whatever was written;
// after it, exactly the new, and nothing of the staging is left beside it.
// The same with the exchange refused, as Android's shared storage refuses
// it, and for a folder that did not exist.
TEST(StagedFolder, TheFolderHoldsTheOldContentUntilTheCommitThenOnlyTheNew) {
  for (const int exchange : {0, EINVAL}) {
    SCOPED_TRACE(exchange == 0 ? "exchanged" : "two renames");
    renamefaults::exchange = exchange;
    TempDir dir;
    const fs::path folder = dir / "out";
    writeFile(folder / "old.uexp", "old");
    writeFile(folder / "sub/kept.uexp", "old sub");
    {
      StagedFolder staged(folder);
      ASSERT_TRUE(staged.staged());
      EXPECT_TRUE(staged.write("a/b/new.uexp", kMode, bytes("new")));
      EXPECT_TRUE(staged.write("sub/kept.uexp", kMode, bytes("new sub")));
      // Staged files are new: a second at one path fails and leaves the first.
      EXPECT_FALSE(staged.write("sub/kept.uexp", kMode, bytes("again")));
      // A source cut while it was copied is the source's fault: the set
      // goes in without it.
      writeFile(dir / "source", "whole");
      const FileHandle source = FileHandle::openForReading(dir / "source");
      EXPECT_FALSE(staged.write(
          "half.uexp", kMode,
          [&](int fd) {
            files::writeAll(fd, std::string("half"));
            fs::resize_file(dir / "source", 2);
            return false;
          },
          &source));
      fs::remove(dir / "source");
      const auto during = entriesUnder(folder);
      EXPECT_EQ("old", during.at("old.uexp"));
      EXPECT_EQ("old sub", during.at("sub/kept.uexp"));
      EXPECT_EQ(3u, during.size());
      EXPECT_TRUE(staged.commit());
      EXPECT_EQ(0, staged.error());
    }
    EXPECT_EQ((std::map<std::string, std::string>{{"out/", ""},
                                                  {"out/a/", ""},
                                                  {"out/a/b/", ""},
                                                  {"out/a/b/new.uexp", "new"},
                                                  {"out/sub/", ""},
                                                  {"out/sub/kept.uexp", "new sub"}}),
              entriesUnder(dir.path()));
    EXPECT_EQ(kMode, fs::status(folder / "a/b/new.uexp").permissions());

    fs::remove_all(folder);
    {
      StagedFolder staged(folder);
      EXPECT_TRUE(staged.write("x.uexp", kMode, bytes("x")));
      EXPECT_TRUE(staged.commit());
    }
    EXPECT_EQ((std::map<std::string, std::string>{{"out/", ""}, {"out/x.uexp", "x"}}),
              entriesUnder(dir.path()));
    // Content never committed leaves nothing behind.
    { StagedFolder(folder).write("y.uexp", kMode, bytes("y")); }
    EXPECT_EQ((std::map<std::string, std::string>{{"out/", ""}, {"out/x.uexp", "x"}}),
              entriesUnder(dir.path()));
  }
  renamefaults::exchange = 0;
}

// A process killed while it staged new content, or while it swapped and
// removed the old, leaves folders beside the folder: the next staging
// removes them first, and they never show in the folder.
TEST(StagedFolder, LeftoversOfAKilledProcessAreRemovedSilently) {
  TempDir dir;
  const fs::path folder = dir / "out";
  writeFile(folder / "complete.uexp", "complete");
  writeFile(dir / ".out.uexpmod-new/half.uexp", "ha");
  writeFile(dir / ".out.uexpmod-old/older.uexp", "older");
  {
    StagedFolder staged(folder);
    EXPECT_TRUE(staged.write("next.uexp", kMode, bytes("next")));
    EXPECT_TRUE(staged.commit());
  }
  EXPECT_EQ((std::map<std::string, std::string>{{"out/", ""}, {"out/next.uexp", "next"}}),
            entriesUnder(dir.path()));
}

// Where a link stands at the folder's path, the new content goes where it
// leads, as writes through the link went: the link stays, its target holds
// just the new content, and nothing is left beside either.
// The link's text may end in a slash, or climb out of a folder that was
// itself reached through a link, where the kernel, not the text, says where
// ".." leads.
TEST(StagedFolder, ALinkAtTheFoldersPathLeadsToTheNewContent) {
  struct Case {
    const char* linkText;  // of deep/a/out
    const char* given;     // the folder's path as given, below the test folder
    const char* real;      // where the link leads
  };
  for (const Case& c : {Case{"../real", "deep/a/out", "deep/real"},
                        Case{"../real/", "deep/a/out", "deep/real"},
                        Case{"../real", "via/out", "deep/real"}}) {
    SCOPED_TRACE(std::string(c.given) + " -> " + c.linkText);
    TempDir dir;
    writeFile(dir / c.real / "old.uexp", "old");
    fs::create_directories(dir / "deep/a");
    fs::create_directory_symlink(c.linkText, dir / "deep/a/out");
    fs::create_directory_symlink("deep/a", dir / "via");
    {
      StagedFolder staged(dir / c.given);
      EXPECT_TRUE(staged.write("new.uexp", kMode, bytes("new")));
      EXPECT_TRUE(staged.commit());
    }
    EXPECT_TRUE(fs::is_symlink(dir / "deep/a/out"));
    EXPECT_EQ((std::map<std::string, std::string>{{"new.uexp", "new"}}),
              entriesUnder(dir / c.real));
    EXPECT_EQ((std::map<std::string, std::string>{{"a/", ""}, {"a/out/", ""}, {"real/", ""},
                                                  {"real/new.uexp", "new"}}),
              entriesUnder(dir / "deep"));
  }
}

// A second process that stages content for the same folder (another run of
// the tool, in another terminal) waits until the first has committed: it
// neither removes the first's staged content nor has its own swapped in by
// the first's commit.
TEST(StagedFolder, ASecondProcessWaitsUntilTheFirstCommitted) {
  TempDir dir;
  const fs::path folder = dir / "out";
  writeFile(folder / "old.uexp", "old");
  int staging[2];
  ASSERT_EQ(0, ::pipe(staging));
  const pid_t first = ::fork();
  ASSERT_GE(first, 0);
  if (first == 0) {
    ::close(staging[0]);
    StagedFolder staged(folder);
    const bool wrote = staged.write("first.uexp", kMode, bytes("first"));
    const bool told = ::write(staging[1], "s", 1) == 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::_exit(wrote && told && staged.commit() ? 0 : 1);
  }
  ::close(staging[1]);
  char byte = 0;
  const bool began = ::read(staging[0], &byte, 1) == 1;
  ::close(staging[0]);
  ::alarm(60);  // a lock never let go ends the test instead of hanging it
  {
    StagedFolder second(folder);
    EXPECT_EQ((std::map<std::string, std::string>{{"first.uexp", "first"}}), entriesUnder(folder));
    EXPECT_TRUE(second.write("second.uexp", kMode, bytes("second")));
    EXPECT_TRUE(second.commit());
  }
  ::alarm(0);
  int status = -1;
  ASSERT_EQ(first, ::waitpid(first, &status, 0));
  EXPECT_TRUE(began);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ((std::map<std::string, std::string>{{"out/", ""}, {"out/second.uexp", "second"}}),
            entriesUnder(dir.path()));
}

// A commit cut between its two renames leaves the folder missing, the old
// content aside and the staged one complete: recover() puts the staged one
// in place (in an empty folder's too), or the old one back where the staged
// one is gone; a folder that holds anything is left alone.
TEST(StagedFolder, RecoverFinishesACommitCutBetweenItsRenames) {
  TempDir dir;
  const fs::path folder = dir / "out";
  const auto cut = [&](bool staged, bool folderThere) {
    fs::remove_all(dir.path());
    fs::create_directories(dir.path());
    writeFile(dir / ".out.uexpmod-old/old.uexp", "old");
    if (staged) writeFile(dir / ".out.uexpmod-new/new.uexp", "new");
    if (folderThere) fs::create_directories(folder);
  };
  cut(true, false);
  StagedFolder::recover(folder);
  EXPECT_EQ((std::map<std::string, std::string>{{"new.uexp", "new"}}), entriesUnder(folder));
  cut(true, true);  // emptied and made again since
  StagedFolder::recover(folder);
  EXPECT_EQ((std::map<std::string, std::string>{{"new.uexp", "new"}}), entriesUnder(folder));
  cut(false, false);
  StagedFolder::recover(folder);
  EXPECT_EQ((std::map<std::string, std::string>{{"old.uexp", "old"}}), entriesUnder(folder));
  cut(false, true);  // the new content, empty, stands: the old one only waits to go
  StagedFolder::recover(folder);
  EXPECT_TRUE(entriesUnder(folder).empty());
  cut(true, true);
  writeFile(folder / "kept.uexp", "kept");
  StagedFolder::recover(folder);
  EXPECT_EQ((std::map<std::string, std::string>{{"kept.uexp", "kept"}}), entriesUnder(folder));
  // Staged content that cannot be moved in leaves the old one to come back.
  cut(true, false);
  renamefaults::refuseRename = ".out.uexpmod-new";
  renamefaults::renameError = EIO;
  StagedFolder::recover(folder);
  renamefaults::refuseRename.clear();
  EXPECT_EQ((std::map<std::string, std::string>{{"old.uexp", "old"}}), entriesUnder(folder));
  // A staging that begins there first finishes the commit that was cut.
  cut(true, false);
  { StagedFolder(folder).write("unused.uexp", kMode, bytes("x")); }
  EXPECT_EQ((std::map<std::string, std::string>{{"new.uexp", "new"}}), entriesUnder(folder));
  // Nothing aside: nothing to do.
  fs::remove_all(dir.path());
  fs::create_directories(dir.path());
  StagedFolder::recover(folder);
  EXPECT_FALSE(fs::exists(folder));
}

// A folder the rename cannot move keeps its old content, and the staged
// content is dropped; where no staging folder can be made, nothing is
// written and the folder keeps its content.
TEST(StagedFolder, FoldersThatCannotBeSwappedKeepTheirContentOrAreWrittenInPlace) {
  TempDir dir;
  const fs::path folder = dir / "out";
  writeFile(folder / "old.uexp", "old");
  renamefaults::exchange = EINVAL;
  renamefaults::refuseRename = (dir / "out").string();
  renamefaults::renameError = EBUSY;
  {
    StagedFolder staged(folder);
    EXPECT_TRUE(staged.write("new.uexp", kMode, bytes("new")));
    EXPECT_FALSE(staged.commit());
    EXPECT_EQ(EBUSY, staged.error());
  }
  renamefaults::refuseRename.clear();
  renamefaults::exchange = 0;
  EXPECT_EQ((std::map<std::string, std::string>{{"out/", ""}, {"out/old.uexp", "old"}}),
            entriesUnder(dir.path()));

  // No staging folder: nothing is written, and the folder is never touched.
  renamefaults::refuseMkdir = ".out.uexpmod-new";
  {
    StagedFolder staged(folder);
    EXPECT_FALSE(staged.staged());
    EXPECT_EQ(EACCES, staged.error());
    EXPECT_FALSE(staged.write("new.uexp", kMode, bytes("new")));
    EXPECT_FALSE(staged.commit());
  }
  EXPECT_EQ((std::map<std::string, std::string>{{"out/", ""}, {"out/old.uexp", "old"}}),
            entriesUnder(dir.path()));

  // Neither the staging folder nor the folder can be made: why is told.
  renamefaults::refuseMkdir = "unmade";
  {
    StagedFolder staged(dir / "unmade");
    EXPECT_FALSE(staged.staged());
    EXPECT_EQ(EACCES, staged.error());
    EXPECT_FALSE(staged.write("a.uexp", kMode, bytes("a")));
  }
  renamefaults::refuseMkdir.clear();
  EXPECT_FALSE(fs::exists(dir / "unmade"));
}

// A set with a write that failed on the copy's side is never put in place,
// whatever the errno: the folder keeps its content byte for byte and
// nothing is left beside it. Only a write whose source shows the fault (it
// cannot be read, or changed size while copied) does not stop the commit.
// A fill that throws is judged as one that failed.
// A file at the folder's path is never replaced.
TEST(StagedFolder, ASetTheStorageCouldNotTakeNeverReplacesTheFolder) {
  enum class Source { kWhole, kNone, kUnreadable, kCut, kNotOpen };
  struct Case {
    int error;  // errno as the failed fill leaves it
    Source source;
    const char* unmade;  // a folder of the staged set that mkdir refuses (EACCES)
    bool commits;
    bool throws = false;  // the fill throws where it would return false
  };
  for (const Case& c :
       {Case{ENOSPC, Source::kWhole, "", false}, Case{EDQUOT, Source::kWhole, "", false},
        Case{EFBIG, Source::kWhole, "", false}, Case{EIO, Source::kWhole, "", false},
        Case{EROFS, Source::kWhole, "", false}, Case{ENOENT, Source::kWhole, "", false},
        Case{EACCES, Source::kWhole, "", false}, Case{EPERM, Source::kNone, "", false},
        Case{EACCES, Source::kWhole, "uexpmod-new/d", false},
        Case{ENOSPC, Source::kCut, "", false}, Case{EDQUOT, Source::kCut, "", false},
        Case{EIO, Source::kUnreadable, "", true}, Case{0, Source::kCut, "", true},
        Case{EBADF, Source::kNotOpen, "", true}, Case{0, Source::kCut, "", true, true},
        Case{0, Source::kWhole, "", false, true}}) {
    SCOPED_TRACE(std::string(std::strerror(c.error)) + " " + c.unmade +
                 std::to_string(static_cast<int>(c.source)) + (c.throws ? " throws" : ""));
    TempDir dir;
    const fs::path folder = dir / "out";
    writeFile(folder / "old.uexp", "old");
    writeFile(dir / "in" / "source", "source bytes");
    FileHandle source;
    if (c.source == Source::kUnreadable) {
      source = FileHandle(::open((dir / "in").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    } else if (c.source != Source::kNotOpen) {
      source = FileHandle::openForReading(dir / "in" / "source");
    }
    {
      StagedFolder staged(folder);
      EXPECT_TRUE(staged.write("a.uexp", kMode, bytes("a")));
      renamefaults::refuseMkdir = c.unmade;
      bool filled = false;
      EXPECT_FALSE(staged.write(
          "d/b.uexp", kMode,
          [&](int fd) {
            filled = true;
            files::writeAll(fd, std::string("half"));
            if (c.source == Source::kCut) fs::resize_file(dir / "in" / "source", 3);
            if (c.throws) throw std::runtime_error("no read");
            errno = c.error;
            return false;
          },
          c.source == Source::kNone ? nullptr : &source));
      renamefaults::refuseMkdir.clear();
      EXPECT_EQ(*c.unmade == '\0', filled);
      EXPECT_EQ(c.commits, staged.commit());
      EXPECT_EQ(c.commits, staged.error() == 0);
      EXPECT_TRUE(c.commits || c.error == 0 || c.error == staged.error()) << staged.error();
    }
    fs::remove_all(dir / "in");
    const auto want =
        c.commits
            ? std::map<std::string, std::string>{{"out/", ""}, {"out/a.uexp", "a"}, {"out/d/", ""}}
            : std::map<std::string, std::string>{{"out/", ""}, {"out/old.uexp", "old"}};
    EXPECT_EQ(want, entriesUnder(dir.path()));
  }
  TempDir dir;
  writeFile(dir / "out", "a file");
  {
    StagedFolder staged(dir / "out");
    EXPECT_FALSE(staged.staged());
    EXPECT_EQ(ENOTDIR, staged.error());
    EXPECT_FALSE(staged.commit());
  }
  EXPECT_EQ((std::map<std::string, std::string>{{"out", "a file"}}), entriesUnder(dir.path()));
}

// However memory runs short in a commit, each count of allocations allowed
// in turn, the next run finds the last set or the new one whole; and once
// the new set has taken a folder's place, commit() says so rather than
// throw. Both ways in (the exchange, and two renames where the storage
// refuses it, as Android's shared storage does) and a mount point's moves
// one by one. Each count runs in a child: libc++ ends a process whose path
// iteration runs out of memory, libstdc++ one whose folder listing does,
// which leaves the entries as a kill would.
TEST(StagedFolder, WantOfMemoryInACommitLeavesOneSetOrTheOther) {
  struct Case {
    std::size_t threads;
    int exchange;
    bool mountPoint;           // last: their mount namespace stays
    const char* refused = "";  // a new entry the storage will not move in
  };
  std::map<std::string, std::string> oldSet;
  std::map<std::string, std::string> newSet;
  for (int f = 0; f < 6; ++f) {
    oldSet[(f < 4 ? "o" : "o/") + std::to_string(f)] = "old";
    newSet["n" + std::to_string(f)] = "new";
  }
  oldSet["o/"] = "";
  // The last: a mount point's move that fails, and its undo.
  for (const Case c : {Case{1, 0, false}, Case{3, 0, false}, Case{1, EINVAL, false},
                       Case{2, 0, true}, Case{1, 0, true, ".uexpmod-new/n5"}}) {
    SCOPED_TRACE(std::to_string(c.threads) + " threads, exchange " + std::to_string(c.exchange) +
                 (c.mountPoint ? ", mount point" : "") + c.refused);
    TempDir dir;
    const fs::path folder = dir / "out";
    fs::create_directories(folder);
    if (c.mountPoint && (::unshare(CLONE_NEWNS) != 0 ||
                         ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                         ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0)) {
      return skipOrFailWithout("no mount namespace for a bind mount here");
    }
    renamefaults::exchange = c.exchange;
    std::size_t countsSinceIn = 0;  // the last set's removal comes after
    bool sawLastSet = false;
    const std::size_t mostCounts = *c.refused != '\0' ? 500 : 2000;
    for (std::size_t allowed = 0; allowed < mostCounts && countsSinceIn < 40; ++allowed) {
      SCOPED_TRACE(std::to_string(allowed) + " allowed");
      for (const auto& entry : entriesUnder(folder)) fs::remove_all(folder / entry.first);
      for (const auto& [name, text] : oldSet) {
        if (text != "") writeFile(folder / name, text);
      }
      const pid_t child = ::fork();
      if (child == 0) {
        int code = 3;  // 0 committed, 1 not, 2 threw
        try {
          StagedFolder staged(folder);
          staged.setThreads(c.threads);
          for (const auto& [name, text] : newSet) {
            if (!staged.write(name, kMode, bytes(text))) ::_exit(4);
          }
          renamefaults::refuseRename = c.refused;
          renamefaults::renameError = EACCES;
          allocations::refusingAfter(allowed, [&] { code = staged.commit() ? 0 : 1; });
        } catch (const std::bad_alloc&) {  // as the run's own catch: the destructor has run
          code = 2;
        }
        ::_exit(code);
      }
      int status = 0;
      ASSERT_EQ(child, ::waitpid(child, &status, 0));
      const bool ended = WIFSIGNALED(status);
      const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      ASSERT_TRUE(ended || code <= 2) << status;
      if (!c.mountPoint && entriesUnder(folder) == newSet) {
        EXPECT_TRUE(ended || code == 0) << code;  // in, and said so
      }
      { StagedFolder next(folder); }  // the next run's start
      const auto now = entriesUnder(folder);
      ASSERT_TRUE(now == oldSet || now == newSet) << testing::PrintToString(now);
      sawLastSet = sawLastSet || now == oldSet;
      if (!ended && code == 0) ++countsSinceIn;
    }
    EXPECT_EQ(*c.refused != '\0' ? 0u : 40u, countsSinceIn);
    EXPECT_TRUE(sawLastSet);
    if (c.mountPoint) ::umount2(folder.c_str(), MNT_DETACH);
  }
  renamefaults::exchange = 0;
}

// The last set, left under O by a commit whose removal of it could not
// finish, is sent to G before it is removed: what is left of it there is
// never put back, even where the folder goes missing since.
TEST(StagedFolder, AnOldSetCutShortWhileRemovedIsNeverPutBack) {
  TempDir dir;
  const fs::path folder = dir / "out";
  writeFile(folder / "new.uexp", "new");
  writeFile(dir / ".out.uexpmod-old/a.uexp", "old a");
  writeFile(dir / ".out.uexpmod-old/b.uexp", "old b");
  renamefaults::refuseUnlink = "b.uexp";
  { StagedFolder staged(folder); }
  renamefaults::refuseUnlink.clear();
  EXPECT_FALSE(fs::exists(dir / ".out.uexpmod-old"));
  fs::remove_all(folder);
  StagedFolder::recover(folder);
  EXPECT_FALSE(fs::exists(folder));
}

// A commit cut between its renames behind a link whose target is missing is
// found where the kernel would lead, whatever the link's text holds: ".."
// after a link (the kernel's parent, not the text's), a trailing slash, a
// link to a link, an absolute path.
TEST(StagedFolder, RecoverFindsACutCommitBehindAnyLink) {
  for (const std::string text : {"lnk/../out", "lnk/../out/", "hop", "@/deep/./out"}) {
    SCOPED_TRACE(text);
    TempDir dir;
    fs::create_directories(dir / "deep/a");
    fs::create_directory_symlink("deep/a", dir / "lnk");
    fs::create_symlink("lnk/../out", dir / "hop");
    const std::string linkText = text[0] == '@' ? dir.path().string() + text.substr(1) : text;
    fs::create_symlink(linkText, dir / "repack");
    writeFile(dir / "deep/.out.uexpmod-old/old.uexp", "old");
    writeFile(dir / "deep/.out.uexpmod-new/new.uexp", "new");
    EXPECT_EQ(dir / "deep/out", StagedFolder::resolve(dir / "repack"));
    StagedFolder::recover(dir / "repack");
    EXPECT_EQ((std::map<std::string, std::string>{{"new.uexp", "new"}}),
              entriesUnder(dir / "deep/out"));
    EXPECT_EQ((std::map<std::string, std::string>{{"a/", ""},
                                                  {"out/", ""},
                                                  {"out/new.uexp", "new"}}),
              entriesUnder(dir / "deep"));
  }
}

// How often a StagedFolder for `folder` says that it waits, while another
// holder keeps `held` locked until the notice lets it go.
int noticesWhileHeld(const fs::path& held, const fs::path& folder) {
  FileHandle other(::open(held.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!other || ::flock(other.get(), LOCK_EX) != 0) return -1;
  int told = 0;
  ::alarm(60);  // a notice never given would leave the object waiting forever
  {
    StagedFolder waited(folder, [&] {
      ++told;
      other = FileHandle();
    });
    EXPECT_TRUE(waited.staged());
  }
  ::alarm(0);
  return told;
}

// Where another process holds the lock, the object says so once before it
// waits (here the notice itself lets the lock go); where none does, it says
// nothing.
TEST(StagedFolder, WaitingForTheLockIsToldOnlyWhereItWaits) {
  TempDir dir;
  const fs::path folder = dir / "out";
  int told = 0;
  { StagedFolder free(folder, [&told] { ++told; }); }
  EXPECT_EQ(0, told);
  EXPECT_EQ(1, noticesWhileHeld(dir.path(), folder));
}

// The folder "shared" of `dir` mounted at "a/out" and at "b/out", each with a
// parent of its own, in a mount namespace of the test's own; `made` is false
// where none can be made. Both mounts go with the object.
struct MountedTwice {
  explicit MountedTwice(const fs::path& dir)
      : shared(dir / "shared"), first(dir / "a" / "out"), second(dir / "b" / "out") {
    for (const fs::path& folder : {shared, first, second}) fs::create_directories(folder);
    made = ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount(shared.c_str(), first.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
           ::mount(shared.c_str(), second.c_str(), nullptr, MS_BIND, nullptr) == 0;
  }
  ~MountedTwice() {
    ::umount2(second.c_str(), MNT_DETACH);
    ::umount2(first.c_str(), MNT_DETACH);
  }
  MountedTwice(const MountedTwice&) = delete;
  MountedTwice& operator=(const MountedTwice&) = delete;

  const fs::path shared;
  const fs::path first;
  const fs::path second;
  bool made = false;
};

// A folder mounted at two places, each with a parent of its own, is worked
// on by one run at a time: another run that holds it (here, its lock held
// through the other mount) is waited for, and said to be.
TEST(StagedFolder, AFolderMountedTwiceIsLockedAsOne) {
  TempDir dir;
  const MountedTwice mounts(dir.path());
  if (!mounts.made) return skipOrFailWithout("no mount namespace for a bind mount here");
  EXPECT_EQ(1, noticesWhileHeld(mounts.first, mounts.second));
}

// Another run that holds both a mount point's locks (its parent's, and its
// own through its other mount) is said to be waited for once, though the
// object waits for each lock in turn: here the notice lets the parent's go,
// and the mount's own goes once the object is seen waiting for it.
TEST(StagedFolder, WaitingForBothLocksIsToldOnce) {
  TempDir dir;
  const MountedTwice mounts(dir.path());
  if (!mounts.made) return skipOrFailWithout("no mount namespace for a bind mount here");
  const fs::path& shared = mounts.shared;
  const fs::path& first = mounts.first;
  const fs::path& second = mounts.second;
  FileHandle parent(::open((dir / "a").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  FileHandle inside(::open(second.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_EQ(0, ::flock(parent.get(), LOCK_EX));
  ASSERT_EQ(0, ::flock(inside.get(), LOCK_EX));
  std::atomic<bool> sawWaiting{false};
  // Bounded: a request never seen still lets go, and the test fails on it.
  std::thread holder([&] {
    for (int tries = 0; tries < 6000 && !sawWaiting; ++tries) {
      if (testsupport::flockListed(shared, true, true)) sawWaiting = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    inside = FileHandle();
  });
  int told = 0;
  {
    StagedFolder waited(first, [&] {
      ++told;
      parent = FileHandle();
    });
    EXPECT_TRUE(waited.staged());
  }
  holder.join();
  EXPECT_TRUE(sawWaiting.load());
  EXPECT_EQ(1, told);
}

// A folder's parent mounted onto the folder itself makes its two locks one
// folder's: the object takes that lock once, and neither it nor recover()
// waits for its own lock forever. The commit then cannot move the mount
// point that stands among the entries, and the folder keeps its content.
TEST(StagedFolder, AParentMountedOntoTheFolderIsLockedOnce) {
  TempDir dir;
  const fs::path parent = dir / "ws";
  const fs::path folder = parent / "out";
  fs::create_directories(folder);
  writeFile(parent / "kept.uexp", "kept");
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount(parent.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    return skipOrFailWithout("no mount namespace for a bind mount here");
  }
  ::alarm(60);  // a lock waited for forever ends the test instead of hanging it
  StagedFolder::recover(folder);
  {
    StagedFolder copies(folder);
    EXPECT_TRUE(copies.staged());
    EXPECT_TRUE(copies.inPlace());
    EXPECT_TRUE(copies.write("new.uexp", kMode, bytes("new")));
    EXPECT_FALSE(copies.commit());
  }
  ::alarm(0);
  EXPECT_EQ("kept", readFile(folder / "kept.uexp"));
  EXPECT_FALSE(fs::exists(folder / "new.uexp"));
  ::umount2(folder.c_str(), MNT_DETACH);
}

// A mount point's set may hold an entry named as this class names its own
// (a tree may hold any name): set after set goes in whole, that entry with
// it, and the one of the set before goes with that set. A set holding one
// of the very names made inside the folder (N, O, a G) never goes in, and
// the folder keeps its last set.
TEST(StagedFolder, AMountPointsSetMayHoldAnEntryNamedLikeItsOwn) {
  TempDir dir;
  const fs::path folder = dir / "out";
  fs::create_directories(folder);
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    return skipOrFailWithout("no mount namespace for a bind mount here");
  }
  for (const std::string text : {"one", "two"}) {
    SCOPED_TRACE(text);
    StagedFolder copies(folder);
    ASSERT_TRUE(copies.inPlace());
    ASSERT_TRUE(copies.write(".uexpmod-unnamed/x.uexp", kMode, bytes(text)));
    ASSERT_TRUE(copies.write(".uexpmod-newer", kMode, bytes(text)));
    EXPECT_TRUE(copies.commit()) << std::strerror(copies.error());
    EXPECT_EQ((std::map<std::string, std::string>{{".uexpmod-newer", text},
                                                  {".uexpmod-unnamed/", ""},
                                                  {".uexpmod-unnamed/x.uexp", text}}),
              entriesUnder(folder));
  }
  const auto last = entriesUnder(folder);
  for (const char* own : {".uexpmod-old/x.uexp", ".uexpmod-gone-a.uexp", ".uexpmod-new/x.uexp",
                          ".UEXPMOD-Old/x.uexp"}) {
    SCOPED_TRACE(own);
    StagedFolder copies(folder);
    ASSERT_TRUE(copies.write(own, kMode, bytes("three")));
    EXPECT_FALSE(copies.commit());
    EXPECT_EQ(EEXIST, copies.error()) << std::strerror(copies.error());
    EXPECT_EQ(last, entriesUnder(folder));
  }
  ::umount2(folder.c_str(), MNT_DETACH);
}

// Only a real folder is ever put in the folder's place: a link under N or O
// (here into a folder of someone's) is never renamed there, and is dropped
// as a leftover without what it leads to.
TEST(StagedFolder, RecoverNeverPutsALinkInTheFoldersPlace) {
  for (const std::string at : {"new", "old"}) {
    SCOPED_TRACE(at);
    TempDir dir;
    const fs::path folder = dir / "out";
    writeFile(dir / "inputs/input.uexp", "input");
    writeFile(dir / ".out.uexpmod-old/old.uexp", "old");  // O beside a missing folder
    fs::remove_all(dir / (".out.uexpmod-" + at));
    fs::create_directory_symlink(dir / "inputs", dir / (".out.uexpmod-" + at));
    StagedFolder::recover(folder);
    EXPECT_FALSE(fs::is_symlink(folder));
    {
      StagedFolder staged(folder);
      EXPECT_TRUE(staged.staged());
    }
    EXPECT_FALSE(fs::is_symlink(folder));
    EXPECT_EQ((std::map<std::string, std::string>{{"input.uexp", "input"}}),
              entriesUnder(dir / "inputs"));
  }
}

// A mount point's commit killed while its entries move is finished from
// either side of the step: F's last entries aside (G), or N's in (G renamed
// O), and the new set stands whole, not thrown away with the old.
TEST(StagedFolder, RecoverFinishesAMountPointsCutMoves) {
  const std::map<std::string, std::string> fresh = {{"a.uexp", "new a"}, {"c.uexp", "new c"}};
  for (const bool movingIn : {false, true}) {
    SCOPED_TRACE(movingIn);
    TempDir dir;
    const fs::path folder = dir / "out";
    if (movingIn) {
      writeFile(folder / "a.uexp", "new a");
      writeFile(folder / ".uexpmod-old/a.uexp", "old a");
      writeFile(folder / ".uexpmod-old/b.uexp", "old b");
    } else {
      writeFile(folder / "a.uexp", "old a");
      writeFile(folder / ".uexpmod-gone/b.uexp", "old b");
      writeFile(folder / ".uexpmod-new/a.uexp", "new a");
    }
    writeFile(folder / ".uexpmod-new/c.uexp", "new c");
    StagedFolder::recover(folder);
    EXPECT_EQ(fresh, entriesUnder(folder));
  }
}

// A leftover that cannot be dropped stops the staging and is named; one
// under G, which cannot be removed, stands in no later run's way.
TEST(StagedFolder, ASetThatCannotBeDroppedStopsTheStagingAndAStuckRemovalNothing) {
  TempDir dir;
  const fs::path folder = dir / "out";
  writeFile(folder / "last.uexp", "last");
  writeFile(dir / ".out.uexpmod-old/old.uexp", "old");
  renamefaults::refuseRename = ".out.uexpmod-old";
  renamefaults::renameError = EACCES;
  {
    StagedFolder staged(folder);
    EXPECT_FALSE(staged.staged());
    EXPECT_EQ(dir / ".out.uexpmod-old", staged.inTheWay());
    EXPECT_FALSE(staged.commit());
  }
  renamefaults::refuseRename.clear();
  EXPECT_EQ((std::map<std::string, std::string>{{"last.uexp", "last"}}), entriesUnder(folder));
  EXPECT_FALSE(fs::exists(dir / ".out.uexpmod-new"));
  // Now the old set goes, but a file in it cannot be removed: it stays
  // under a name of its own, and every later run stages and commits.
  renamefaults::refuseUnlink = "old.uexp";
  for (const std::string text : {"one", "two"}) {
    StagedFolder staged(folder);
    ASSERT_TRUE(staged.staged()) << std::strerror(staged.error());
    ASSERT_TRUE(staged.write("new.uexp", kMode, bytes(text)));
    EXPECT_TRUE(staged.commit()) << std::strerror(staged.error());
    EXPECT_EQ((std::map<std::string, std::string>{{"new.uexp", text}}), entriesUnder(folder));
  }
  renamefaults::refuseUnlink.clear();
}

// Files written unnamed, in whatever order, take their names, and their
// folders come into being, in the order of name(): on tmpfs, which lists a
// folder's entries in the order they were made, the set lists as one
// written by name in that order, not as one written in the writes' order.
TEST(StagedFolder, UnnamedFilesListInTheOrderTheyWereNamed) {
  const fs::path tmpfs = testsupport::tmpfsFolder();
  if (tmpfs.empty()) return skipOrFailWithout("no tmpfs at /dev/shm to list in creation order");
  TempDir dir(tmpfs);
  const std::vector<std::string> names = {"b/2.uexp", "a.uexp", "b/1.uexp", "c/d/3.uexp", "0.uexp"};
  const std::vector<std::size_t> written = {4, 3, 1, 2, 0};  // the tickets, as the threads write
  // Every entry below `folder` as a listing walks it, a folder before its entries.
  const auto listing = [](const fs::path& folder) {
    std::vector<std::string> order;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
      order.push_back(entry.path().lexically_relative(folder).string());
    }
    return order;
  };
  const auto byName = [&](const fs::path& folder, const std::vector<std::size_t>& order) {
    StagedFolder staged(folder);
    for (const std::size_t i : order) EXPECT_TRUE(staged.write(names[i], kMode, bytes(names[i])));
    EXPECT_TRUE(staged.commit());
  };
  byName(dir / "in-name-order", {0, 1, 2, 3, 4});
  byName(dir / "in-write-order", written);
  {
    StagedFolder staged(dir / "out");
    for (const std::size_t i : written) {
      EXPECT_TRUE(staged.writeUnnamed(i, names[i], kMode, bytes(names[i])));
    }
    for (std::size_t i = 0; i < names.size(); ++i) EXPECT_TRUE(staged.name(i, names[i]));
    EXPECT_TRUE(staged.commit()) << std::strerror(staged.error());
  }
  const auto want = listing(dir / "in-name-order");
  ASSERT_NE(want, listing(dir / "in-write-order")) << "the orders look alike here";
  EXPECT_EQ(want, listing(dir / "out"));
  EXPECT_EQ(entriesUnder(dir / "in-name-order"), entriesUnder(dir / "out"));
}

// Unnamed writes leave what writes by name leave: a copy whose source
// failed leaves its folders, and of two failures of the storage the one
// told is that of the first path, whichever was a write and which a name.
TEST(StagedFolder, UnnamedWritesLeaveAndTellWhatWritesByNameDo) {
  TempDir dir;
  const FileHandle unreadable;  // a source that cannot be read: its fault
  const FileFill failing = [](int) {
    errno = EIO;
    return false;
  };
  const FileFill full = [](int) {
    errno = ENOSPC;
    return false;
  };
  // The failed copy's folder made, or refused by the storage (a failing
  // card): a source's failure is forgiven either way, as by name.
  for (const bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "folder refused" : "folder made");
    const fs::path byNamePath = dir / (refused ? "by-name-refused" : "by-name");
    const fs::path unnamedPath = dir / (refused ? "unnamed-refused" : "unnamed");
    {  // each holds its parent's lock until it ends
      StagedFolder byName(byNamePath);
      if (refused) renamefaults::refuseMkdir = "uexpmod-new/d";
      EXPECT_FALSE(byName.write("d/c.uexp", kMode, failing, &unreadable));
      renamefaults::refuseMkdir.clear();
      EXPECT_TRUE(byName.write("a.uexp", kMode, bytes("a")));
      EXPECT_TRUE(byName.commit());
    }
    {
      StagedFolder unnamed(unnamedPath);
      EXPECT_FALSE(unnamed.writeUnnamed(0, "d/c.uexp", kMode, failing, &unreadable));
      if (refused) renamefaults::refuseMkdir = "uexpmod-new/d";
      unnamed.makeFoldersOf("d/c.uexp");
      renamefaults::refuseMkdir.clear();
      EXPECT_TRUE(unnamed.writeUnnamed(1, "a.uexp", kMode, bytes("a")));
      EXPECT_TRUE(unnamed.name(1, "a.uexp"));
      EXPECT_TRUE(unnamed.commit());
    }
    const auto want = entriesUnder(byNamePath);
    EXPECT_EQ(refused ? 0u : 1u, want.count("d/"));
    EXPECT_EQ(want, entriesUnder(unnamedPath));
  }

  StagedFolder staged(dir / "failing");
  EXPECT_FALSE(staged.writeUnnamed(0, "a.uexp", kMode, full));
  EXPECT_TRUE(staged.writeUnnamed(1, "z/b.uexp", kMode, bytes("b")));
  renamefaults::refuseMkdir = "uexpmod-new/z";
  EXPECT_FALSE(staged.name(1, "z/b.uexp"));
  renamefaults::refuseMkdir.clear();
  EXPECT_FALSE(staged.commit());
  EXPECT_EQ(ENOSPC, staged.error()) << std::strerror(staged.error());
}

// The scratch folder never shares its name with a first folder of the set,
// not even in another case, which storage that ignores case takes as one.
TEST(StagedFolder, TheScratchNameIsNoFirstFolderInAnyCase) {
  struct Case {
    std::vector<std::string> firstFolders;
    const char* name;
  };
  for (const Case& c : {Case{{}, ".uexpmod-unnamed"}, Case{{"a", "b.uexp"}, ".uexpmod-unnamed"},
                        Case{{".uexpmod-unnamed"}, ".uexpmod-unnamed-1"},
                        Case{{".UEXPMOD-Unnamed"}, ".uexpmod-unnamed-1"},
                        Case{{".uexpmod-unnamed", ".Uexpmod-Unnamed-1"}, ".uexpmod-unnamed-2"}}) {
    EXPECT_EQ(c.name, StagedFolder::scratchNameAvoiding(c.firstFolders));
  }
}

// A file written unnamed and never named, one named into the scratch folder,
// or one whose folder the storage will not make: the set keeps no copy in a
// place of its own, and the folder keeps its last set. A name where a file
// or folder stands already is the set's, as after a second write at one
// path: the unnamed file goes, and the set goes in without it. The same
// where the storage takes no flags on a rename, and where it has no links.
TEST(StagedFolder, AnUnnamedFileNotNamedOrNotNamedCleanlyKeepsTheLastSet) {
  struct Case {
    const char* name;    // the second file's name; none where empty
    const char* unmade;  // a folder of the staged set that mkdir refuses (EACCES)
    bool named;
    int error;  // 0: the set goes in
  };
  for (const int way : {0, 1, 2}) {
    for (const Case& c :
         {Case{"", "", false, ENOTEMPTY}, Case{"a.uexp", "", false, 0},
          Case{".uexpmod-unnamed", "", false, 0},
          Case{".uexpmod-unnamed/x.uexp", "", true, ENOTEMPTY},
          Case{"d/b.uexp", "uexpmod-new/d", false, EACCES}, Case{"d/b.uexp", "", true, 0}}) {
      SCOPED_TRACE(std::string(c.name) + " way " + std::to_string(way));
      renamefaults::noReplace = way >= 1 ? EINVAL : 0;
      renamefaults::link = way == 2 ? EPERM : 0;
      TempDir dir;
      const fs::path folder = dir / "out";
      writeFile(folder / "old.uexp", "old");
      {
        StagedFolder staged(folder);
        EXPECT_TRUE(staged.writeUnnamed(0, "a.uexp", kMode, bytes("a")));
        EXPECT_TRUE(staged.writeUnnamed(1, c.name, kMode, bytes("b")));
        EXPECT_TRUE(staged.name(0, "a.uexp"));
        renamefaults::refuseMkdir = c.unmade;
        if (*c.name != '\0') {
          EXPECT_EQ(c.named, staged.name(1, c.name));
        }
        renamefaults::refuseMkdir.clear();
        EXPECT_EQ(c.error == 0, staged.commit());
        EXPECT_EQ(c.error, staged.error()) << std::strerror(staged.error());
      }
      auto want = c.error == 0
                      ? std::map<std::string, std::string>{{"out/", ""}, {"out/a.uexp", "a"}}
                      : std::map<std::string, std::string>{{"out/", ""}, {"out/old.uexp", "old"}};
      if (c.error == 0 && c.named) want.insert({{"out/d/", ""}, {"out/d/b.uexp", "b"}});
      EXPECT_EQ(want, entriesUnder(dir.path()));
    }
  }
  renamefaults::noReplace = 0;
  renamefaults::link = 0;
}

}  // namespace
