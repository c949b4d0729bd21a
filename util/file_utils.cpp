#include "util/file_utils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <system_error>

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

// Opens `to` for writing with `flags` added (O_TRUNC, or O_EXCL for a new
// file), and `mode` if it is made, and has `fill`, which must not throw, write
// its bytes to the descriptor. True only when every write and the close
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

// Copies the bytes of `from` into the file `to`, made or emptied, changing no
// permissions. False when anything could not be read or written.
bool copyBytes(const fs::path& from, const fs::path& to) {
  const FileHandle in = FileHandle::openForReading(from);
  return in && fillFile(to, O_TRUNC, 0666, [&](int fd) { return copyContent(in.get(), fd); });
}

// Fills the file `tmp`, made or emptied, with `bytes`. True when every byte
// reached it; otherwise removes it.
bool writeTemporary(const fs::path& tmp, std::span<const char> bytes) {
  return fillFile(tmp, O_TRUNC, 0666,
                  [&](int fd) { return writeAll(fd, bytes.data(), bytes.size()); });
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

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// The extension as std::filesystem::path::extension gives it for a file
// name: from the last dot, dot included; none for names without a dot or
// whose only dot leads them (".pak").
std::string_view extensionOf(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos || dot == 0 ? std::string_view() : name.substr(dot);
}

// What an entry of a listed folder is, its type taken from the listing where
// the storage gives it: a file is a regular file or a link to one; a folder
// to descend into is never a link.
enum class EntryKind { kOther, kFile, kFolder };

EntryKind kindOf(int dir, const dirent& entry) {
  if (entry.d_type == DT_REG) return EntryKind::kFile;
  if (entry.d_type == DT_DIR) return EntryKind::kFolder;
  if (entry.d_type != DT_LNK && entry.d_type != DT_UNKNOWN) return EntryKind::kOther;
  struct stat status = {};
  if (::fstatat(dir, entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::kOther;
  if (S_ISDIR(status.st_mode)) return EntryKind::kFolder;
  if (S_ISLNK(status.st_mode) && ::fstatat(dir, entry.d_name, &status, 0) != 0) {
    return EntryKind::kOther;  // a dangling link
  }
  return S_ISREG(status.st_mode) ? EntryKind::kFile : EntryKind::kOther;
}

}  // namespace

FoundFiles FileUtils::findFilesRecursive(const fs::path& root, std::string_view extension) {
  FoundFiles result;
  std::vector<fs::path>& found = result.files;
  try {
    // An explicit stack of open folders instead of recursion: deep trees
    // cannot exhaust the call stack, and a folder that fails to open is
    // simply not pushed. Subfolders are opened through their parent's
    // descriptor, so a folder swapped for a link meanwhile is not followed.
    struct Open {
      DirPtr dir;
      fs::path path;
    };
    std::vector<Open> open;
    if (DIR* dir = ::opendir(root.c_str())) {
      open.push_back({DirPtr(dir), root});
    } else if (errno != ENOENT && errno != ENOTDIR) {
      result.rootError = errno;
    }
    while (!open.empty()) {
      DIR* const dir = open.back().dir.get();
      // A null entry is the end of the listing, or the listing broke off:
      // either way, what it gave stands.
      const dirent* const entry = ::readdir(dir);
      if (entry == nullptr) {
        open.pop_back();
        continue;
      }
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      switch (kindOf(::dirfd(dir), *entry)) {
        case EntryKind::kFile:
          if (extensionOf(name) == extension) found.push_back(open.back().path / name);
          break;
        case EntryKind::kFolder: {
          const int sub = ::openat(::dirfd(dir), entry->d_name,
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
          if (sub < 0) break;
          DirPtr subDir(::fdopendir(sub));
          if (!subDir) {
            ::close(sub);
            break;
          }
          fs::path subPath = open.back().path / name;
          open.push_back({std::move(subDir), std::move(subPath)});
          break;
        }
        case EntryKind::kOther:
          break;
      }
    }
  } catch (...) {
    // Out of memory: the list collected so far stands.
  }
  return result;
}

bool FileUtils::isFileSameSize(const fs::path& a, const fs::path& b) {
  if (!fs::exists(a) || !fs::exists(b)) return false;
  std::error_code ecA;
  std::error_code ecB;
  const auto sizeA = fs::file_size(a, ecA);
  const auto sizeB = fs::file_size(b, ecB);
  return !ecA && !ecB && sizeA == sizeB;
}

bool FileUtils::copyFile(const fs::path& from, const fs::path& to) {
  try {
    createDirectories(to.parent_path());
    std::error_code ec;
    if (fs::equivalent(from, to, ec)) return false;
    const fs::path tmp = temporarySibling(to);
    fs::copy_file(from, tmp, fs::copy_options::overwrite_existing, ec);
    // copy_file also gives the copy the source's permissions, and fails when
    // the storage refuses that, as Android's shared storage may. The bytes
    // are what matters: copy them plainly then.
    if (ec && !copyBytes(from, tmp)) {
      fs::remove(tmp, ec);
      return false;
    }
    return commitTemporary(tmp, to);
  } catch (...) {
    return false;
  }
}

bool FileUtils::readBinaryFile(const FileHandle& file, ByteBuffer& bytes) {
  struct stat status = {};
  if (!file || ::fstat(file.get(), &status) != 0) return false;
  // Room for one byte more than the reported size: the read that finds the
  // end then needs no growth first.
  bytes.clear();
  bytes.resize(static_cast<std::size_t>(status.st_size) + 1);
  std::size_t held = 0;
  for (;;) {
    if (held == bytes.size()) bytes.resize(2 * bytes.size());  // the file grew while it was read
    // From the start, wherever an earlier read of this handle stopped.
    const ssize_t got =
        ::pread(file.get(), bytes.data() + held, bytes.size() - held, static_cast<off_t>(held));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    held += static_cast<std::size_t>(got);
  }
  bytes.resize(held);
  return true;
}

StagedWrite::StagedWrite(const fs::path& file, std::span<const char> bytes)
    : file_(file), temporary_(temporarySibling(file)) {
  if (!writeTemporary(temporary_, bytes)) temporary_.clear();  // it removed what it could not fill
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

namespace {

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

// Creates `to` exclusively, with its missing folders, and has `fill`, which
// must not throw, write its bytes to the new file's descriptor; removes the
// file when anything fails.
template <typename Fill>
bool makeNewFile(const fs::path& to, fs::perms mode, Fill fill) {
  FileUtils::createDirectories(to.parent_path());
  const auto bits = static_cast<mode_t>(mode & fs::perms::mask);
  return fillFile(to, O_EXCL, bits, [&](int fd) {
    // The mode exactly, as for a replaced file; storage that keeps fixed
    // modes refuses this, and then the bytes are all that matters.
    if (!maskKeeps(mode)) ::fchmod(fd, bits);
    return fill(fd);
  });
}

}  // namespace

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

bool FileUtils::createDirectories(const fs::path& dir) {
  std::error_code error;
  return createDirectories(dir, error);
}

bool FileUtils::createDirectories(const fs::path& dir, std::error_code& error) {
  error.clear();
  try {
    if (fs::exists(dir, error)) return true;
    if (error) return false;
    return fs::create_directories(dir, error);
  } catch (...) {  // memory
    error = std::make_error_code(std::errc::not_enough_memory);
    return false;
  }
}

bool FileUtils::removeDirectory(const fs::path& path) {
  try {
    // symlink_status: a link standing at the path is removed, never followed.
    if (!fs::exists(fs::symlink_status(path))) return true;
    fs::remove_all(path);
    return true;
  } catch (...) {
    return false;
  }
}
