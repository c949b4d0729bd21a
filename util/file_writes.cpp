#include "util/file_writes.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "util/file_handle.h"
#include "util/folders.h"

namespace fs = std::filesystem;

namespace {

// The hidden sibling that a write or copy fills before it is renamed over
// `target`, on its `attempt`th try. The name holds this process's id and the
// attempt, so that no two live processes (two runs of the tool started side
// by side) ever pick the same one; its extension is ".tmp", so no search for
// game files lists it, and it ends as isTemporaryName expects.
fs::path temporarySibling(const fs::path& target, unsigned attempt) {
  std::string name = target.filename().string();
  if (name.size() > 200) name.resize(200);  // stay under the 255-byte name limit
  name = "." + name + "." + std::to_string(::getpid()) + "-" + std::to_string(attempt);
  return target.parent_path() / (name + std::string(files::kTemporaryEnd));
}

// Bytes copied at a time; the buffer is not zero-filled first.
constexpr std::size_t kCopyPiece = std::size_t{256} << 10;

// Writes all of `bytes` to `fd`. False on any error.
bool writeAll(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t put = ::write(fd, bytes, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

// Copies every byte of the open file `in`, from its start wherever its
// position stands, to `out`. False when anything could not be read or written,
// or when there is no memory for the buffer: it never throws, so a caller that
// made `out` for the copy always gets to remove it.
bool copyContent(int in, int out) {
  const std::unique_ptr<char[]> buffer(new (std::nothrow) char[kCopyPiece]);
  if (!buffer) return false;
  for (off_t at = 0;;) {
    const ssize_t got = ::pread(in, buffer.get(), kCopyPiece, at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got == 0;
    if (!writeAll(out, buffer.get(), static_cast<std::size_t>(got))) return false;
    at += got;
  }
}

// Whether a file created with `mode` gets all of it: whether the process's
// file creation mask clears none of its bits. The mask is read once; the
// process makes no threads that could create files meanwhile.
bool maskKeeps(fs::perms mode) {
  static const auto mask = [] {
    const mode_t m = ::umask(0);
    ::umask(m);
    return static_cast<fs::perms>(m);
  }();
  return (mode & mask) == fs::perms::none;
}

// Gives the file open at `fd`, just created with `mode`, all of `mode`,
// which the creation mask may have cut. Storage that keeps fixed modes
// refuses this, and then the bytes are all that matters.
void keepMode(int fd, fs::perms mode) {
  if (!maskKeeps(mode)) ::fchmod(fd, static_cast<mode_t>(mode & fs::perms::mask));
}

// Copies every byte of the open regular file `in`, from its start, to `out`:
// in the kernel, through no buffer of this process, or with copyContent where
// the kernel cannot copy between these two files. False when anything could
// not be read or written.
bool copyFileContent(int in, int out) {
  constexpr std::size_t kMostPerCall = 0x7ffff000;  // what Linux moves at most per call
  for (off_t at = 0;;) {
    const ssize_t sent = ::sendfile(out, in, &at, kMostPerCall);
    if (sent > 0) continue;
    if (sent == 0) return true;
    if (errno == EINTR) continue;
    if (at == 0 && (errno == EINVAL || errno == ENOSYS)) return copyContent(in, out);
    return false;
  }
}

// Makes a temporary file beside `target` with all of `mode`, under a name no
// other file has: created exclusively and not through a link, so that
// whatever stands at a name (another run's temporary file, the leftover of a
// run that was killed, a link planted there to have the bytes land
// elsewhere) is neither removed, truncated nor written through; the next
// name is tried instead. Sets `tmp` to the name. The descriptor, or -1.
int openTemporary(const fs::path& target, fs::perms mode, fs::path& tmp) {
  constexpr unsigned kAttempts = 64;  // leftovers of this id, reused after a reboot
  for (unsigned attempt = 0; attempt < kAttempts; ++attempt) {
    tmp = temporarySibling(target, attempt);
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          static_cast<mode_t>(mode & fs::perms::mask));
    if (fd >= 0) {
      keepMode(fd, mode);
      return fd;
    }
    if (errno != EEXIST) break;
  }
  return -1;
}

// Has `fill` write the bytes of the file just made at `path`, open as `fd`,
// and closes it. True only when every write and the close succeeded;
// otherwise, a fill that threw included, removes the file.
bool fillFile(int fd, const fs::path& path, const FileFill& fill) {
  if (fd < 0) return false;
  bool ok = false;
  try {
    ok = fill(fd);
  } catch (...) {  // memory, say: the file is removed all the same
  }
  ok = ::close(fd) == 0 && ok;  // storage may report a failed write only here
  if (!ok) ::unlink(path.c_str());
  return ok;
}

}  // namespace

StagedWrite::StagedWrite(const fs::path& file)
    : file_(file), fd_(openTemporary(file, static_cast<fs::perms>(0666), temporary_)) {}

StagedWrite::~StagedWrite() {
  if (fd_ < 0) return;
  ::close(fd_);
  ::unlink(temporary_.c_str());
}

bool StagedWrite::write(std::span<const char> bytes) {
  if (fd_ >= 0 && !writeAll(fd_, bytes.data(), bytes.size())) {
    ::close(std::exchange(fd_, -1));
    ::unlink(temporary_.c_str());
  }
  return fd_ >= 0;
}

bool StagedWrite::commit() {
  if (fd_ < 0) return false;
  struct stat old = {};
  if (::stat(file_.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
    ::fchmod(fd_, old.st_mode & 07777);  // refused where storage keeps fixed modes; the bytes count
  }
  const bool closed = ::close(std::exchange(fd_, -1)) == 0;  // a failed write may show only here
  if (!closed || ::rename(temporary_.c_str(), file_.c_str()) != 0) {
    ::unlink(temporary_.c_str());
    return false;
  }
  return true;
}

bool files::writeAll(int fd, std::span<const char> bytes) {
  return ::writeAll(fd, bytes.data(), bytes.size());
}

FileFill files::copyOf(const FileHandle& from) {
  return [&from](int fd) { return from && copyFileContent(from.get(), fd); };
}

fs::perms files::permissionsOf(const FileHandle& file) {
  struct stat status = {};
  if (!file || ::fstat(file.get(), &status) != 0) {
    return fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
           fs::perms::others_read;
  }
  return static_cast<fs::perms>(status.st_mode) & fs::perms::mask;
}

bool files::writeNewFile(const fs::path& to, fs::perms mode, const FileFill& fill) {
  try {
    // A folder that cannot be made fails the write with its own errno, not
    // with the open's ENOENT below it.
    if (std::error_code made; !createDirectories(to.parent_path(), made) && made) {
      errno = made.value();
      return false;
    }
    const int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                          static_cast<mode_t>(mode & fs::perms::mask));
    if (fd >= 0) keepMode(fd, mode);
    return fillFile(fd, to, fill);
  } catch (...) {
    return false;
  }
}

namespace {

// replaceFile, where the filled temporary file must also hold `size` bytes
// before it is closed and renamed; any size where `size` is negative.
bool replaceSized(const fs::path& to, fs::perms mode, const FileFill& fill, off_t size) {
  fs::path tmp;
  const int fd = openTemporary(to, mode, tmp);
  const auto checked = [&](int out) {
    struct stat status = {};
    return fill(out) && (size < 0 || (::fstat(out, &status) == 0 && status.st_size == size));
  };
  if (!fillFile(fd, tmp, checked)) return false;
  if (::rename(tmp.c_str(), to.c_str()) == 0) return true;
  ::unlink(tmp.c_str());
  return false;
}

}  // namespace

bool files::replaceFile(const fs::path& to, fs::perms mode, const FileFill& fill) {
  try {
    createDirectories(to.parent_path());
    return replaceSized(to, mode, fill, -1);
  } catch (...) {
    return false;
  }
}

bool files::copyFile(const fs::path& from, const fs::path& to) {
  try {
    createDirectories(to.parent_path());
    std::error_code ec;
    if (fs::equivalent(from, to, ec)) return false;
    // Not blocking: a pipe put at the path would hold the open until a
    // writer came; it is refused as no regular file instead.
    const FileHandle in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat source = {};
    if (!in || ::fstat(in.get(), &source) != 0 || !S_ISREG(source.st_mode)) return false;
    // The copy counts only with as many bytes as the source had when it was
    // opened: a source that another app cut or extended meanwhile is refused.
    return replaceSized(to, static_cast<fs::perms>(source.st_mode) & fs::perms::mask, copyOf(in),
                        source.st_size);
  } catch (...) {
    return false;
  }
}

bool files::isTemporaryName(std::string_view name) {
  return name.size() > kTemporaryEnd.size() + 1 && name.front() == '.' &&
         name.ends_with(kTemporaryEnd);
}

int files::removeLeftoverTemporaries(const fs::path& folder) {
  int removed = 0;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    // Files and links only: unlink fails on anything else, a folder included.
    if (isTemporaryName(name) && ::unlink(it->path().c_str()) == 0) ++removed;
  }
  return removed;
}
