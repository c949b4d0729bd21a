// Loaded into the tool under test with LD_PRELOAD, this library imitates
// failures that storage can throw at a run, chosen by the test through the
// environment of the tool's process:
//   UEXPMOD_FAULT_VANISH=<text>   a file whose path contains <text> is deleted
//                                 just before it is opened for reading, as if
//                                 another app removed it after the folder walk;
//   UEXPMOD_FAULT_NOSPACE=<text>  a write (write or sendfile) to a file whose path
//                                 contains <text> stops half way with ENOSPC, as on
//                                 a full disk;
//   UEXPMOD_FAULT_NOCHMOD=1       every change of permissions fails with EPERM,
//                                 as on storage that keeps fixed modes;
//   UEXPMOD_FAULT_SHRINK=<text>   a file whose path contains <text> is cut to
//                                 half its size just after it is mapped to be
//                                 changed, as if another app rewrote it then.
//   UEXPMOD_FAULT_REPLACE=<text>  a file whose path contains <text> is, just
//                                 after it is first opened for reading,
//                                 replaced by a new file holding "saved over",
//                                 as if another app saved over it then.
//   UEXPMOD_FAULT_NOLIST=<text>   a folder whose path contains <text> cannot be
//                                 opened for listing (EACCES), by opendir, or
//                                 open or openat with O_DIRECTORY, as on shared
//                                 storage that the app may not read;
//   UEXPMOD_FAULT_NOREAD=<text>   a file whose path contains <text> opens, but
//                                 every read of it (read, pread, mmap, sendfile
//                                 from it) fails with EIO, as a file on a
//                                 failing card;
//   UEXPMOD_FAULT_NOREAD_FROM=<n> with NOREAD: only the n-th read of such
//                                 files and those after it fail;
//   UEXPMOD_FAULT_NOFILES=<text>  a file whose path contains <text> cannot be
//                                 opened for reading (EMFILE), as when the
//                                 process has no descriptor left;
//   UEXPMOD_FAULT_NOMKDIR=<text>  a folder whose path contains <text> cannot be
//                                 made (EACCES), as on shared storage that
//                                 the app may not write;
//   (A copy that the tool writes unnamed, into the scratch folder of a staged
//   set, ".uexpmod-unnamed" or ".uexpmod-unnamed-<n>", to name it later, counts for these two under
//   the path of the file it copies: the one its thread last opened for reading.)
//   UEXPMOD_FAULT_KILL=<text>     the first write (write or sendfile) to a file
//                                 opened for writing under a path that contains
//                                 <text> puts half its bytes, then the process
//                                 kills itself with SIGKILL, as a phone ends a
//                                 terminal app: nothing it would do next runs.
//                                 A path opened relative to a folder's
//                                 descriptor is matched as that folder's path
//                                 joined with it;
//   UEXPMOD_FAULT_NOEXCHANGE=1    renameat2 with RENAME_EXCHANGE fails with
//                                 EINVAL, as on Android's shared storage;
//   UEXPMOD_FAULT_ERRNO=<number>  the errno value with which the writes of
//                                 UEXPMOD_FAULT_NOSPACE and the folders of
//                                 UEXPMOD_FAULT_NOMKDIR fail instead (EDQUOT,
//                                 EIO, EROFS...);
//   UEXPMOD_FAULT_KILLRENAME=<text>  the process kills itself with SIGKILL
//                                 just after it renamed (or exchanged) an entry
//                                 whose path contains <text>.
//   UEXPMOD_FAULT_NORENAME=<text> a rename of an entry whose path contains
//                                 <text> fails with EACCES, as for a folder
//                                 the app may not move. A rename that may
//                                 not replace (renameat2 RENAME_NOREPLACE,
//                                 which names a file written unnamed) is
//                                 matched by the file name it gives alone;
//   UEXPMOD_FAULT_RELINK=<link>   just after the first folder whose name ends
//                                 in "uexpmod-new" is made (a staging folder),
//                                 the link at <link> is made to lead to
//                                 UEXPMOD_FAULT_RELINK_TO instead, as a user
//                                 who changes a link while a run goes on.
//   UEXPMOD_FAULT_CLOCK_AHEAD=<s> the real-time clock reads <s> seconds ahead
//                                 of the one that stamps the files, as on a
//                                 storage whose clock differs from the tool's.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace {

// The errno value UEXPMOD_FAULT_ERRNO names, else `otherwise`.
int faultErrno(int otherwise) {
  const char* text = std::getenv("UEXPMOD_FAULT_ERRNO");
  return text != nullptr && *text != '\0' ? std::atoi(text) : otherwise;
}

bool pathMatches(const char* variable, const char* path) {
  const char* text = std::getenv(variable);
  return text != nullptr && *text != '\0' && path != nullptr && std::strstr(path, text) != nullptr;
}

// The file this thread last opened for reading, kept only under the write
// faults: an unnamed copy's writes count under its path (see writtenAs).
// On a tree that is not in memory the threads open files ahead for one
// another, and the file a thread copies may be one another opened: these
// faults name the right copy on trees in memory only, as the tests' are.
thread_local char lastRead[4096];

void keepLastRead(const char* path) {
  if (std::getenv("UEXPMOD_FAULT_NOSPACE") == nullptr &&
      std::getenv("UEXPMOD_FAULT_KILL") == nullptr) {
    return;
  }
  std::snprintf(lastRead, sizeof lastRead, "%s", path);
}

// The path under which a file opened for writing at `path` takes the write
// faults: an unnamed copy's is that of the file it copies.
const char* writtenAs(const char* path) {
  // The scratch folder: ".uexpmod-unnamed", or with "-<n>" where the tree
  // has a folder of that name.
  const char* scratch = std::strstr(path, "/.uexpmod-unnamed");
  if (scratch == nullptr) return path;
  const char* after = scratch + std::strlen("/.uexpmod-unnamed");
  if (*after == '-') {
    do {
      ++after;
    } while (*after >= '0' && *after <= '9');
  }
  return *after == '/' ? lastRead : path;
}

// The tool opens and writes files on several threads: the descriptor sets
// below are touched under this lock, which the REPLACE fault takes again.
std::recursive_mutex faultLock;

// Descriptors opened for writing under UEXPMOD_FAULT_NOSPACE, with whether
// their storage is full yet.
std::map<int, bool>& fullDescriptors() {
  static std::map<int, bool> descriptors;
  return descriptors;
}

// Descriptors opened for writing under UEXPMOD_FAULT_KILL.
// Descriptors of files opened for reading under UEXPMOD_FAULT_NOREAD.
std::set<int>& unreadableDescriptors() {
  static std::set<int> descriptors;
  return descriptors;
}

// Touches no static unless the fault is set: a sanitizer's runtime reads
// files while it starts, before a static's guard may be taken.
bool unreadable(int fd) {
  if (std::getenv("UEXPMOD_FAULT_NOREAD") == nullptr) return false;
  const std::lock_guard<std::recursive_mutex> hold(faultLock);
  if (unreadableDescriptors().count(fd) == 0) return false;
  // The reads before the n-th of such files succeed.
  static long reads = 0;
  if (const char* from = std::getenv("UEXPMOD_FAULT_NOREAD_FROM");
      from != nullptr && ++reads < std::atol(from)) {
    return false;
  }
  errno = EIO;
  return true;
}

std::set<int>& killingDescriptors() {
  static std::set<int> descriptors;
  return descriptors;
}

template <typename Fn>
Fn real(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// Ends the process as SIGKILL does, after `writeHalf` put half of a write.
template <typename WriteHalf>
[[noreturn]] void killAfterHalf(WriteHalf writeHalf) {
  writeHalf();
  ::kill(::getpid(), SIGKILL);
  std::abort();  // not reached: SIGKILL cannot be blocked or caught
}

int openFdWithFaults(const char* name, const char* path, int flags, va_list rest) {
  using Open = int (*)(const char*, int, ...);
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(rest, mode_t) : 0;
  const bool reading = (flags & O_ACCMODE) == O_RDONLY;
  if ((flags & O_DIRECTORY) != 0 && pathMatches("UEXPMOD_FAULT_NOLIST", path)) {
    errno = EACCES;  // as opendir below
    return -1;
  }
  if (reading && (flags & O_DIRECTORY) == 0 && pathMatches("UEXPMOD_FAULT_NOFILES", path)) {
    errno = EMFILE;
    return -1;
  }
  if (reading && pathMatches("UEXPMOD_FAULT_VANISH", path)) ::unlink(path);
  const int fd = real<Open>(name)(path, flags, mode);
  if (fd >= 0 && reading) keepLastRead(path);
  const std::lock_guard<std::recursive_mutex> hold(faultLock);
  if (fd >= 0 && !reading && pathMatches("UEXPMOD_FAULT_NOSPACE", writtenAs(path))) {
    fullDescriptors()[fd] = false;
  }
  if (fd >= 0 && !reading && pathMatches("UEXPMOD_FAULT_KILL", writtenAs(path))) {
    killingDescriptors().insert(fd);
  }
  if (fd >= 0 && reading && pathMatches("UEXPMOD_FAULT_NOREAD", path)) {
    unreadableDescriptors().insert(fd);
  }
  static std::set<std::string> replaced;
  if (fd >= 0 && reading && pathMatches("UEXPMOD_FAULT_REPLACE", path) &&
      replaced.insert(path).second) {
    const std::string other = std::string(path) + ".other";
    const int out = real<Open>(name)(other.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const char text[] = "saved over";
    if (out < 0 || ::write(out, text, sizeof text - 1) != sizeof text - 1 || ::close(out) != 0 ||
        ::rename(other.c_str(), path) != 0) {
      std::abort();
    }
  }
  return fd;
}
}  // namespace

extern "C" int open(const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  const int fd = openFdWithFaults("open", path, flags, rest);
  va_end(rest);
  return fd;
}
extern "C" int open64(const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  const int fd = openFdWithFaults("open64", path, flags, rest);
  va_end(rest);
  return fd;
}

namespace {
int openAtWithFaults(const char* name, int dir, const char* path, int flags, va_list rest) {
  using OpenAt = int (*)(int, const char*, int, ...);
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(rest, mode_t) : 0;
  const auto fullPath = [&] {
    std::string full = path;
    if (dir != AT_FDCWD && path[0] != '/') {
      char link[32];
      char folder[4096];
      std::snprintf(link, sizeof link, "/proc/self/fd/%d", dir);
      const ssize_t size = ::readlink(link, folder, sizeof folder - 1);
      if (size <= 0) std::abort();
      full = std::string(folder, static_cast<std::size_t>(size)) + "/" + path;
    }
    return full;
  };
  if ((flags & O_DIRECTORY) != 0 && std::getenv("UEXPMOD_FAULT_NOLIST") != nullptr &&
      pathMatches("UEXPMOD_FAULT_NOLIST", fullPath().c_str())) {
    errno = EACCES;
    return -1;
  }
  const int fd = real<OpenAt>(name)(dir, path, flags, mode);
  if (fd < 0 || (flags & O_ACCMODE) == O_RDONLY || std::getenv("UEXPMOD_FAULT_KILL") == nullptr) {
    return fd;
  }
  const std::lock_guard<std::recursive_mutex> hold(faultLock);
  if (pathMatches("UEXPMOD_FAULT_KILL", fullPath().c_str())) killingDescriptors().insert(fd);
  return fd;
}
}  // namespace

extern "C" int openat(int dir, const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  const int fd = openAtWithFaults("openat", dir, path, flags, rest);
  va_end(rest);
  return fd;
}
extern "C" int openat64(int dir, const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  const int fd = openAtWithFaults("openat64", dir, path, flags, rest);
  va_end(rest);
  return fd;
}

// Under UEXPMOD_FAULT_KILL the first write ends the process half way; under
// UEXPMOD_FAULT_NOSPACE it takes half its bytes, and every later one finds
// the storage full.
extern "C" ssize_t write(int fd, const void* data, std::size_t size) {
  using Write = ssize_t (*)(int, const void*, std::size_t);
  const Write realWrite = real<Write>("write");
  const std::lock_guard<std::recursive_mutex> hold(faultLock);
  if (killingDescriptors().count(fd) != 0) {
    killAfterHalf([&] { realWrite(fd, data, size / 2); });
  }
  const auto full = fullDescriptors().find(fd);
  if (full == fullDescriptors().end()) return realWrite(fd, data, size);
  if (!full->second && size > 1) {
    full->second = true;
    return realWrite(fd, data, size / 2);
  }
  errno = faultErrno(ENOSPC);
  return -1;
}

extern "C" int close(int fd) {
  using Close = int (*)(int);
  const Close realClose = real<Close>("close");
  {
    const std::lock_guard<std::recursive_mutex> hold(faultLock);
    fullDescriptors().erase(fd);
    killingDescriptors().erase(fd);
    unreadableDescriptors().erase(fd);
  }
  return realClose(fd);
}

extern "C" ssize_t read(int fd, void* data, std::size_t size) {
  using Read = ssize_t (*)(int, void*, std::size_t);
  const Read realRead = real<Read>("read");
  return unreadable(fd) ? -1 : realRead(fd, data, size);
}
extern "C" ssize_t pread(int fd, void* data, std::size_t size, off_t at) {
  using Pread = ssize_t (*)(int, void*, std::size_t, off_t);
  const Pread realPread = real<Pread>("pread");
  return unreadable(fd) ? -1 : realPread(fd, data, size, at);
}
extern "C" ssize_t pread64(int fd, void* data, std::size_t size, off_t at) {
  return pread(fd, data, size, at);
}

extern "C" ssize_t sendfile(int out, int in, off_t* offset, std::size_t count) {
  using Sendfile = ssize_t (*)(int, int, off_t*, std::size_t);
  const Sendfile realSendfile = real<Sendfile>("sendfile");
  if (unreadable(in)) return -1;
  const std::lock_guard<std::recursive_mutex> hold(faultLock);
  if (killingDescriptors().count(out) != 0) {
    killAfterHalf([&] { realSendfile(out, in, offset, count / 2); });
  }
  const auto full = fullDescriptors().find(out);
  if (full == fullDescriptors().end()) return realSendfile(out, in, offset, count);
  // As a write: half of what is left of the input, then a full storage.
  struct stat input = {};
  if (!full->second && ::fstat(in, &input) == 0 && offset != nullptr &&
      input.st_size > *offset + 1) {
    full->second = true;
    return realSendfile(out, in, offset, static_cast<std::size_t>(input.st_size - *offset) / 2);
  }
  errno = faultErrno(ENOSPC);
  return -1;
}

namespace {
bool chmodRefused() {
  if (std::getenv("UEXPMOD_FAULT_NOCHMOD") == nullptr) return false;
  errno = EPERM;
  return true;
}
}  // namespace

extern "C" int fchmod(int fd, mode_t mode) {
  using Fchmod = int (*)(int, mode_t);
  return chmodRefused() ? -1 : real<Fchmod>("fchmod")(fd, mode);
}

extern "C" int chmod(const char* path, mode_t mode) {
  using Chmod = int (*)(const char*, mode_t);
  return chmodRefused() ? -1 : real<Chmod>("chmod")(path, mode);
}

extern "C" int fchmodat(int dir, const char* path, mode_t mode, int flags) {
  using Fchmodat = int (*)(int, const char*, mode_t, int);
  return chmodRefused() ? -1 : real<Fchmodat>("fchmodat")(dir, path, mode, flags);
}

extern "C" void* mmap(void* address, std::size_t length, int protection, int flags, int fd,
                      off_t offset) {
  using Mmap = void* (*)(void*, std::size_t, int, int, int, off_t);
  if (unreadable(fd)) return MAP_FAILED;
  // Looked up on every call, not kept in a static: a sanitizer's runtime
  // maps memory while it starts, before a static's guard may be taken.
  void* const map = real<Mmap>("mmap")(address, length, protection, flags, fd, offset);
  if (map != MAP_FAILED && fd >= 0 && (protection & PROT_WRITE) != 0) {
    char link[32];
    char path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t size = ::readlink(link, path, sizeof path - 1);
    if (size > 0) {
      path[size] = '\0';
      if (pathMatches("UEXPMOD_FAULT_SHRINK", path)) {
        if (::truncate(path, static_cast<off_t>(length / 2)) != 0) std::abort();
      }
    }
  }
  return map;
}

extern "C" DIR* opendir(const char* path) {
  using Opendir = DIR* (*)(const char*);
  if (pathMatches("UEXPMOD_FAULT_NOLIST", path)) {
    errno = EACCES;
    return nullptr;
  }
  return real<Opendir>("opendir")(path);
}

extern "C" int mkdir(const char* path, mode_t mode) {
  using Mkdir = int (*)(const char*, mode_t);
  if (pathMatches("UEXPMOD_FAULT_NOMKDIR", path)) {
    errno = faultErrno(EACCES);
    return -1;
  }
  const int result = real<Mkdir>("mkdir")(path, mode);
  const char* link = std::getenv("UEXPMOD_FAULT_RELINK");
  const char* to = std::getenv("UEXPMOD_FAULT_RELINK_TO");
  static bool relinked = false;
  const std::string made = path;
  if (result == 0 && link != nullptr && to != nullptr && !relinked &&
      made.ends_with("uexpmod-new")) {
    relinked = true;
    if (::unlink(link) != 0 || ::symlink(to, link) != 0) std::abort();
  }
  return result;
}

// The kernel's flag, where the C library's headers do not name it.
#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif
namespace {
[[noreturn]] void killNow() {
  ::kill(::getpid(), SIGKILL);
  std::abort();  // not reached
}
}  // namespace

extern "C" int rename(const char* from, const char* to) {
  using Rename = int (*)(const char*, const char*);
  if (pathMatches("UEXPMOD_FAULT_NORENAME", from)) {
    errno = EACCES;
    return -1;
  }
  const int result = real<Rename>("rename")(from, to);
  if (result == 0 && pathMatches("UEXPMOD_FAULT_KILLRENAME", from)) killNow();
  return result;
}

// renameat2 as the tool calls it, through syscall(); every other call passes.
extern "C" long syscall(long number, ...) {
  va_list rest;
  va_start(rest, number);
  long args[6];
  for (long& arg : args) arg = va_arg(rest, long);
  va_end(rest);
  // Not a static that needs a guard: the C++ runtime's guard itself may call
  // syscall() (libc++abi waits on a futex so), and would wait on itself.
  using Syscall = long (*)(long, ...);
  static constinit std::atomic<Syscall> resolved{nullptr};
  if (resolved.load() == nullptr) resolved = real<Syscall>("syscall");
  const Syscall realSyscall = resolved.load();
#ifdef SYS_renameat2
  if (number == SYS_renameat2 && (static_cast<unsigned long>(args[4]) & RENAME_EXCHANGE) != 0) {
    if (std::getenv("UEXPMOD_FAULT_NOEXCHANGE") != nullptr) {
      errno = EINVAL;
      return -1;
    }
    const long result = realSyscall(number, args[0], args[1], args[2], args[3], args[4], args[5]);
    if (result == 0 &&
        (pathMatches("UEXPMOD_FAULT_KILLRENAME", reinterpret_cast<const char*>(args[1])) ||
         pathMatches("UEXPMOD_FAULT_KILLRENAME", reinterpret_cast<const char*>(args[3])))) {
      killNow();
    }
    return result;
  }
  if (number == SYS_renameat2) {
    // Only the file name given: the paths on either side hold the staging
    // folder's name, which the faults of the other renames name.
    const char* to = std::strrchr(reinterpret_cast<const char*>(args[3]), '/');
    to = to == nullptr ? reinterpret_cast<const char*>(args[3]) : to + 1;
    if (pathMatches("UEXPMOD_FAULT_NORENAME", to)) {
      errno = EACCES;
      return -1;
    }
    const long result = realSyscall(number, args[0], args[1], args[2], args[3], args[4], args[5]);
    if (result == 0 && pathMatches("UEXPMOD_FAULT_KILLRENAME", to)) killNow();
    return result;
  }
#endif
  return realSyscall(number, args[0], args[1], args[2], args[3], args[4], args[5]);
}

extern "C" int clock_gettime(clockid_t clock, struct timespec* time) {
  using ClockGettime = int (*)(clockid_t, struct timespec*);
  const int result = real<ClockGettime>("clock_gettime")(clock, time);
  const char* ahead = std::getenv("UEXPMOD_FAULT_CLOCK_AHEAD");
  if (result == 0 && clock == CLOCK_REALTIME && ahead != nullptr) time->tv_sec += std::atol(ahead);
  return result;
}
