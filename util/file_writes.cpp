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
#include <system_error>
#include <utility>

#include "util/file_handle.h"
#include "util/file_utils.h"

namespace fs = std::filesystem;

namespace {

// The hidden sibling that a write or copy fills before it is renamed over
// `target`. Its extension is ".tmp", so no search for game files lists it.
fs::path temporarySibling(const fs::path& target) {
  std::string name = target.filename().string();
  if (name.size() > 200) name.resize(200);  // stay under the 255-byte name limit
  return target.parent_path() / ("." + name + ".uexpmod.tmp");
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

// Opens `to` for writing with `flags` added (O_EXCL, for a new file), and
// `mode` if it is made, and has `fill`, which must not throw, write its
// bytes to the descriptor. True only when every write and the close
// succeeded; otherwise removes the file it opened.
template <typename Fill>
bool fillFile(const fs::path& to, int flags, mode_t mode, Fill fill) {
  const int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, mode);
  if (fd < 0) return false;
  bool ok = fill(fd);
  ok = ::close(fd) == 0 && ok;  // storage may report a failed write only here
  if (!ok) ::unlink(to.c_str());
  return ok;
}

// Makes the temporary file `tmp` afresh, with `mode`, and has `fill` write
// its bytes, as fillFile does. Whatever stands at the name goes first: the
// leftover of a run that was killed, or a link planted there to have the
// bytes land elsewhere, which unlink removes without following. The file is
// then created exclusively and not through a link, so anything put at the
// name meanwhile makes the open fail instead of receiving the bytes.
template <typename Fill>
bool fillTemporary(const fs::path& tmp, mode_t mode, Fill fill) {
  ::unlink(tmp.c_str());
  return fillFile(tmp, O_EXCL | O_NOFOLLOW, mode, fill);
}

// Renames `tmp` over `target`, keeping the permissions the target had.
// Removes `tmp` when anything fails.
bool commitTemporary(const fs::path& tmp, const fs::path& target) {
  std::error_code ec;
  const fs::file_status old = fs::status(target, ec);
  if (!ec && fs::is_regular_file(old)) fs::permissions(tmp, old.permissions(), ec);
  fs::rename(tmp, target, ec);
  if (ec) {
    fs::remove(tmp, ec);
    return false;
  }
  return true;
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

// Creates `to` exclusively, with its missing folders and the permissions
// `mode`, and has `fill`, which must not throw, write its bytes to the new
// file's descriptor; removes the file when anything fails.
template <typename Fill>
bool makeNewFile(const fs::path& to, fs::perms mode, Fill fill) {
  FileUtils::createDirectories(to.parent_path());
  return fillFile(to, O_EXCL, static_cast<mode_t>(mode & fs::perms::mask), [&](int fd) {
    keepMode(fd, mode);  // the mode exactly, as for a replaced file
    return fill(fd);
  });
}

}  // namespace

StagedWrite::StagedWrite(const fs::path& file, std::span<const char> bytes)
    : file_(file), temporary_(temporarySibling(file)) {
  const bool written = fillTemporary(
      temporary_, 0666, [&](int fd) { return writeAll(fd, bytes.data(), bytes.size()); });
  if (!written) temporary_.clear();  // it removed what it could not fill
}

StagedWrite::~StagedWrite() {
  if (temporary_.empty()) return;
  std::error_code ec;
  fs::remove(temporary_, ec);
}

bool StagedWrite::commit() {
  if (temporary_.empty()) return false;
  return commitTemporary(std::exchange(temporary_, fs::path()), file_);  // removes it on failure
}

bool FileUtils::copyFile(const fs::path& from, const fs::path& to) {
  try {
    createDirectories(to.parent_path());
    std::error_code ec;
    if (fs::equivalent(from, to, ec)) return false;
    // Not blocking: a pipe put at the path would hold the open until a
    // writer came; it is refused as no regular file instead.
    const FileHandle in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat status = {};
    if (!in || ::fstat(in.get(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
    const auto mode = static_cast<fs::perms>(status.st_mode) & fs::perms::mask;
    const fs::path tmp = temporarySibling(to);
    const bool copied = fillTemporary(tmp, static_cast<mode_t>(mode), [&](int fd) {
      keepMode(fd, mode);  // a copy has its source's mode
      return copyFileContent(in.get(), fd);
    });
    return copied && commitTemporary(tmp, to);
  } catch (...) {
    return false;
  }
}

bool FileUtils::writeNewFile(const fs::path& to, std::span<const char> bytes, fs::perms mode) {
  try {
    return makeNewFile(to, mode, [&](int fd) { return writeAll(fd, bytes.data(), bytes.size()); });
  } catch (...) {
    return false;
  }
}

bool FileUtils::copyToNewFile(const FileHandle& from, const fs::path& to) {
  struct stat status = {};
  if (!from || ::fstat(from.get(), &status) != 0) return false;
  try {
    return makeNewFile(to, static_cast<fs::perms>(status.st_mode),
                       [&](int fd) { return copyContent(from.get(), fd); });
  } catch (...) {
    return false;
  }
}
