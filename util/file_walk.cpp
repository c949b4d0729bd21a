#include "util/file_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string_view>
#include <utility>

#include "util/file_handle.h"
#include "util/folder_listing.h"

namespace fs = std::filesystem;

namespace {

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

EntryKind kindOf(int dir, const char* name, unsigned char type) {
  if (type == DT_REG) return EntryKind::kFile;
  if (type == DT_DIR) return EntryKind::kFolder;
  if (type != DT_LNK && type != DT_UNKNOWN) return EntryKind::kOther;
  struct stat status = {};
  if (::fstatat(dir, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::kOther;
  if (S_ISDIR(status.st_mode)) return EntryKind::kFolder;
  if (S_ISLNK(status.st_mode) && ::fstatat(dir, name, &status, 0) != 0) {
    return EntryKind::kOther;  // a dangling link
  }
  return S_ISREG(status.st_mode) ? EntryKind::kFile : EntryKind::kOther;
}

// `folder` / `name`, as std::filesystem::path joins them.
std::string joined(const std::string& folder, std::string_view name) {
  std::string path;
  path.reserve(folder.size() + 1 + name.size());
  path.append(folder);
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

}  // namespace

FoundFiles files::findFilesRecursive(const fs::path& root, std::string_view extension,
                                     FileKeys keys) {
  FoundFiles result;
  std::vector<std::string>& found = result.files;
  try {
    // An explicit stack of open folders instead of recursion: deep trees
    // cannot exhaust the call stack, and a folder that fails to open is
    // simply not pushed. Subfolders are opened through their parent's
    // descriptor, so a folder swapped for a link meanwhile is not followed.
    // Each depth keeps its buffer for the folders below it in turn.
    std::vector<std::unique_ptr<char[]>> buffers;
    std::vector<FolderListing> open;
    const auto push = [&](FileHandle fd, std::string path) {
      if (buffers.size() == open.size()) buffers.emplace_back(new char[FolderListing::kBuffer]);
      open.emplace_back(std::move(fd), std::move(path), buffers[open.size()].get());
    };
    if (FileHandle fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); fd) {
      push(std::move(fd), root.native());
    } else if (errno != ENOENT && errno != ENOTDIR) {
      result.rootError = errno;
    }
    const char* name = nullptr;
    unsigned char type = DT_UNKNOWN;
    while (!open.empty()) {
      FolderListing& listing = open.back();
      if (!listing.next(name, type)) {
        if (listing.error() != 0) result.unlisted.push_back({listing.path(), listing.error()});
        open.pop_back();
        continue;
      }
      const std::string_view entry = name;
      if (entry == "." || entry == "..") continue;
      switch (kindOf(listing.fd(), name, type)) {
        case EntryKind::kFile: {
          if (extensionOf(entry) != extension) break;
          found.push_back(joined(listing.path(), entry));
          if (keys == FileKeys::kTaken) {
            struct stat status = {};
            const bool known = ::fstatat(listing.fd(), name, &status, 0) == 0;
            result.keys.push_back(known ? std::optional(FileKey::of(status)) : std::nullopt);
          }
          break;
        }
        case EntryKind::kFolder: {
          FileHandle sub(
              ::openat(listing.fd(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
          if (sub) {
            push(std::move(sub), joined(listing.path(), entry));  // `listing` may move now
          } else if (const int error = errno;
                     error != ENOENT && error != ENOTDIR && error != ELOOP) {
            // Not one that vanished, or that a file or a link took the place of.
            result.unlisted.push_back({joined(listing.path(), entry), error});
          }
          break;
        }
        case EntryKind::kOther:
          break;
      }
    }
  } catch (...) {
    // Out of memory: the list collected so far stands, with a key for each
    // file or none.
    if (!result.keys.empty()) result.keys.resize(found.size());
  }
  return result;
}
