#include "util/folders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "util/file_handle.h"
#include "util/folder_listing.h"

namespace fs = std::filesystem;

bool files::createDirectories(const fs::path& dir) {
  std::error_code error;
  return createDirectories(dir, error);
}

bool files::createDirectories(const fs::path& dir, std::error_code& error) {
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

bool files::removeDirectory(const fs::path& path) {
  // A link standing at the path is removed, never followed.
  struct stat status = {};
  if (::lstat(path.c_str(), &status) != 0) return errno == ENOENT;
  if (!S_ISDIR(status.st_mode)) return ::unlink(path.c_str()) == 0 || errno == ENOENT;
  try {
    // Each folder is listed whole, then its entries removed through its
    // descriptor, with the type the listing gives (no entry's path looked up
    // from the root, none examined where the listing says what it is), and
    // the folder itself once empty. An explicit stack, not recursion: a deep
    // tree cannot exhaust the call stack.
    struct Folder {
      FileHandle fd;
      std::vector<std::pair<std::string, bool>> entries;  // name, whether a folder
      std::size_t next = 0;
      std::string name;  // in its parent
    };
    const std::unique_ptr<char[]> buffer(new char[FolderListing::kBuffer]);
    bool ok = true;
    std::vector<Folder> open;
    const auto enter = [&](FileHandle fd, std::string name) {
      Folder folder{std::move(fd), {}, 0, std::move(name)};
      const int at = folder.fd.get();
      ok = FolderListing::forEach(at, buffer.get(),
                                  [&](const char* entry, unsigned char type) {
                                    const std::string_view view = entry;
                                    if (view == "." || view == "..") return;
                                    bool isFolder = type == DT_DIR;
                                    struct stat what = {};
                                    if (type == DT_UNKNOWN) {
                                      isFolder =
                                          ::fstatat(at, entry, &what, AT_SYMLINK_NOFOLLOW) == 0 &&
                                          S_ISDIR(what.st_mode);
                                    }
                                    folder.entries.emplace_back(entry, isFolder);
                                  }) &&
           ok;
      open.push_back(std::move(folder));
    };
    FileHandle root(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!root) return false;
    enter(std::move(root), path.string());
    while (!open.empty()) {
      Folder& folder = open.back();
      if (folder.next == folder.entries.size()) {
        const std::string name = std::move(folder.name);
        open.pop_back();  // closes the folder
        const int parent = open.empty() ? AT_FDCWD : open.back().fd.get();
        ok = ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 && ok;
        continue;
      }
      const auto& [name, isFolder] = folder.entries[folder.next++];
      if (!isFolder) {
        ok = ::unlinkat(folder.fd.get(), name.c_str(), 0) == 0 && ok;
        continue;
      }
      FileHandle sub(
          ::openat(folder.fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!sub) {
        ok = false;
        continue;
      }
      enter(std::move(sub), name);  // `folder` may move now
    }
    return ok;
  } catch (...) {  // memory
    return false;
  }
}

bool files::within(const fs::path& inner, const fs::path& outer) {
  struct stat target = {};
  if (::stat(outer.c_str(), &target) != 0) return false;
  // The nearest folder of `inner` that exists, by its text.
  fs::path at = inner;
  struct stat status = {};
  while (::stat(at.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    if (at == at.parent_path() || at.empty()) return false;
    at = at.parent_path();
  }
  // Up by "..", until the root, whose ".." is itself. A bound on the steps:
  // a path of more folders than this cannot be opened anyway.
  for (int step = 0; step < 4096; ++step) {
    if (status.st_dev == target.st_dev && status.st_ino == target.st_ino) return true;
    at /= "..";
    struct stat parent = {};
    if (::stat(at.c_str(), &parent) != 0) return false;
    if (parent.st_dev == status.st_dev && parent.st_ino == status.st_ino) return false;
    status = parent;
  }
  return false;
}
