#include "util/file_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string_view>

#include "util/file_utils.h"

namespace fs = std::filesystem;

namespace {

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
