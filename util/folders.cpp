#include "util/folders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "util/file_handle.h"
#include "util/folder_listing.h"
#include "util/mount_table.h"

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

namespace {

// Removes the files below the folder at `path` on `threads` threads, as far
// as it can; the folders, and what could not be removed, stay for
// removeDirectory to take. Each file is removed through its folder's
// descriptor, shared by the removals in it; the folders still to be listed
// hold their parents' open (no more than the tree is deep), and so do the
// removals queued, of which there are never more than a few per thread.
void removeFilesBelow(const fs::path& path, std::size_t threads) {
  struct Removal {
    std::shared_ptr<const FileHandle> folder;
    std::string name;
  };
  std::mutex mutex;
  std::condition_variable queued;
  std::deque<Removal> removals;
  bool listed = false;
  const std::size_t most = 4 * threads;
  // Takes the next removal queued and makes it; false once none is left and
  // none will come (at once, for the caller, whenever none is queued).
  const auto removeNext = [&](bool wait) {
    Removal next;
    {
      std::unique_lock<std::mutex> hold(mutex);
      if (wait) queued.wait(hold, [&] { return listed || !removals.empty(); });
      if (removals.empty()) return false;
      next = std::move(removals.front());
      removals.pop_front();
    }
    ::unlinkat(next.folder->get(), next.name.c_str(), 0);
    return true;
  };
  // Started at the first file found: a set with none needs none.
  std::vector<std::thread> helpers;
  bool helping = false;
  const auto startHelpers = [&] {
    helping = true;
    try {
      helpers.reserve(threads - 1);
      for (std::size_t t = 1; t < threads; ++t) {
        helpers.emplace_back([&] {
          while (removeNext(true)) {
          }
        });
      }
    } catch (...) {  // no room for another thread: those started remove, and this one
    }
  };
  try {
    const std::unique_ptr<char[]> buffer(new char[FolderListing::kBuffer]);
    struct Unlisted {
      std::shared_ptr<const FileHandle> parent;  // null for the top
      std::string name;
    };
    std::vector<Unlisted> unlisted{{nullptr, path.string()}};
    while (!unlisted.empty()) {
      Unlisted next = std::move(unlisted.back());
      unlisted.pop_back();
      const int at = next.parent ? next.parent->get() : AT_FDCWD;
      FileHandle opened(
          ::openat(at, next.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!opened) continue;
      const auto folder = std::make_shared<const FileHandle>(std::move(opened));
      std::vector<std::string> files;
      FolderListing::forEach(
          folder->get(), buffer.get(), [&](const char* entry, unsigned char type) {
            const std::string_view view = entry;
            if (view == "." || view == "..") return;
            struct stat what = {};
            const bool isFolder = type == DT_DIR || (type == DT_UNKNOWN &&
                                                     ::fstatat(folder->get(), entry, &what,
                                                               AT_SYMLINK_NOFOLLOW) == 0 &&
                                                     S_ISDIR(what.st_mode));
            if (isFolder) {
              unlisted.push_back({folder, entry});
            } else {
              files.emplace_back(entry);
            }
          });
      for (std::string& name : files) {
        if (!helping) startHelpers();
        // Where the queue is full, this thread removes one too.
        bool full = false;
        {
          const std::lock_guard<std::mutex> hold(mutex);
          full = removals.size() >= most;
          removals.push_back({folder, std::move(name)});
        }
        queued.notify_one();
        if (full) removeNext(false);
      }
    }
  } catch (...) {  // memory: removeDirectory takes what is left
  }
  {
    const std::lock_guard<std::mutex> hold(mutex);
    listed = true;
  }
  queued.notify_all();
  while (removeNext(false)) {
  }
  for (std::thread& helper : helpers) helper.join();
}

}  // namespace

bool files::removeDirectory(const fs::path& path, std::size_t threads) {
  struct stat status = {};
  if (threads > 1 && ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    try {
      removeFilesBelow(path, threads);
    } catch (...) {  // no memory for its queue: the removal below takes it all
    }
  }
  return removeDirectory(path);
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

namespace {

// Whether `text` is an absolute path with no empty, "." or ".." part and
// no slash at its end (the root aside): the form of the mount table's
// paths, and of a canonical one.
bool plainPath(std::string_view text) {
  if (text.empty() || text.front() != '/') return false;
  if (text.size() == 1) return true;
  if (text.back() == '/') return false;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('/', at + 1), text.size());
    const std::string_view part = text.substr(at + 1, end - at - 1);
    if (part.empty() || part == "." || part == "..") return false;
    at = end;
  }
  return true;
}

// Whether the path `text` is the folder `start` or lies inside it, by the
// text; the rest of it. Asked of every mount in the table, several times a run (a phone lists a
// hundred mounts and more), so plain paths are told by their text's start.
bool textBelow(std::string_view text, std::string_view start, fs::path& rest) {
  if (plainPath(text) && plainPath(start)) {
    const std::size_t kept = start.size() == 1 ? 0 : start.size();  // the root: all of it
    if (!text.starts_with(start) || (text.size() > kept && text[kept] != '/')) return false;
    rest = text.size() > kept + 1 ? fs::path(text.substr(kept + 1)) : fs::path();
    return true;
  }
  const fs::path relative = fs::path(text).lexically_relative(start);
  if (relative.empty() || *relative.begin() == "..") return false;
  rest = relative == "." ? fs::path() : relative;
  return true;
}

// A second path to the folder at `path` (links resolved), where it lies
// below a bind mount of a folder that another mount of the same file system
// shows from higher up: there ".." leads where the folder itself lies.
// Empty where there is none. `point` is set to the higher mount's point.
fs::path pathFromHigherMountIn(const fs::path& real, std::string_view table, fs::path& point) {
  const std::vector<mounttable::Mount> all = mounttable::parse(table);
  // The mount `real` lies below: the last listed whose point holds it.
  const mounttable::Mount* under = nullptr;
  fs::path rest;
  for (const mounttable::Mount& mount : all) {
    fs::path below;
    if (textBelow(real.native(), mount.point, below)) {
      under = &mount;
      rest = below;
    }
  }
  if (under == nullptr || under->root == "/") return {};
  for (const mounttable::Mount& other : all) {
    fs::path inside;
    if (&other == under || other.device != under->device ||
        other.root.size() >= under->root.size() || !textBelow(under->root, other.root, inside)) {
      continue;
    }
    point = other.point;
    return fs::path(other.point) / inside / rest;
  }
  return {};
}

// pathFromHigherMountIn this process's table, which must list both `path`
// and the higher mount where they are now: a folder renamed above either
// since the table was read moved it with no word from the kernel.
fs::path pathFromHigherMount(const fs::path& path) {
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  if (ec) return {};
  const std::string table = mounttable::readFor(real);
  fs::path point;
  const fs::path found = pathFromHigherMountIn(real, table, point);
  if (found.empty()) return {};
  const std::string now = mounttable::readFor(point);
  if (now == table) return found;
  return pathFromHigherMountIn(real, now, point);
}

// Whether the folders met from `at` up by ".." include `target`.
bool walksUpTo(fs::path at, const struct stat& target) {
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

}  // namespace

bool files::within(const fs::path& inner, const fs::path& outer) {
  struct stat target = {};
  if (::stat(outer.c_str(), &target) != 0) return false;
  if (walksUpTo(inner, target)) return true;
  // Below a bind mount, ".." leaves the mount where it stands, not where the
  // folder lies: the folder is then walked from a mount that shows more.
  fs::path at = inner;
  std::error_code ec;
  while (!fs::exists(at, ec) && at != at.parent_path() && !at.empty()) at = at.parent_path();
  for (int hop = 0; hop < 8; ++hop) {
    at = pathFromHigherMount(at);
    if (at.empty()) return false;
    if (walksUpTo(at, target)) return true;
  }
  return false;
}
