#include "util/staged_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

#include "util/file_writes.h"
#include "util/folders.h"

namespace fs = std::filesystem;

// The kernel's flag, where the C library's headers do not name it.
#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

namespace {

// A hidden name beside `folder` for this class's own use; the folder's name
// is in it, so that the folders of two StagedFolders in one place never mix.
fs::path beside(const fs::path& folder, const char* what) {
  std::string name = ".";
  name += folder.filename().string();
  name += ".uexpmod-";
  name += what;
  return folder.parent_path() / name;
}

// Swaps the entries at `a` and `b` in one step. 0, or the errno value: no
// such call (an old kernel), EINVAL where the storage cannot (Android's
// shared storage), ENOENT where one of them is missing.
int exchange(const fs::path& a, const fs::path& b) {
#ifdef SYS_renameat2
  // syscall() takes each argument as a long: every one is passed as one.
  if (::syscall(SYS_renameat2, static_cast<long>(AT_FDCWD), a.c_str(), static_cast<long>(AT_FDCWD),
                b.c_str(), static_cast<long>(RENAME_EXCHANGE)) == 0) {
    return 0;
  }
  return errno;
#else
  return ENOSYS;
#endif
}

// Whether `a` and `b` lie on one file system, so that a rename can move one
// in place of the other. The entries themselves, links not followed.
bool sameStorage(const fs::path& a, const fs::path& b) {
  struct stat first = {};
  struct stat second = {};
  return ::lstat(a.c_str(), &first) == 0 && ::lstat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev;
}

// Where a link at `folder` leads, as the kernel resolves it; where its
// target is missing (a commit cut between its renames), where the link's
// own text leads, through a few links at most. `folder` itself where no link
// stands there.
fs::path resolved(fs::path folder) {
  std::error_code ec;
  if (!fs::is_symlink(fs::symlink_status(folder, ec))) return folder;
  if (fs::path target = fs::canonical(folder, ec); !ec) return target;
  for (int links = 0; links < 8 && fs::is_symlink(fs::symlink_status(folder, ec)); ++links) {
    const fs::path target = fs::read_symlink(folder, ec);
    if (ec) break;
    folder = (folder.parent_path() / target).lexically_normal();  // an absolute target replaces
    if (!folder.has_filename()) folder = folder.parent_path();    // "out/" names "out"
  }
  return folder;
}

}  // namespace

FileHandle StagedFolder::lock(const fs::path& folder) {
  const fs::path parent = folder.has_parent_path() ? folder.parent_path() : fs::path(".");
  FileHandle held(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (held) {
    while (::flock(held.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  return held;
}

void StagedFolder::recover(const fs::path& given) {
  const fs::path folder = resolved(given);
  const FileHandle held = lock(folder);
  recoverLocked(folder);
}

void StagedFolder::recoverLocked(const fs::path& folder) {
  // The old content stands whole under its own name only between the first
  // rename of a commit and the rename that sends it off to be removed.
  const fs::path old = beside(folder, "old");
  const fs::path staging = beside(folder, "new");
  struct stat status = {};
  if (::lstat(old.c_str(), &status) != 0) return;
  const bool folderMissing = ::lstat(folder.c_str(), &status) != 0 && errno == ENOENT;
  const bool stagingThere = ::lstat(staging.c_str(), &status) == 0;
  if (folderMissing) {
    // The staged content was complete before the old went aside: it goes
    // in, or, where it is gone or cannot be moved, the old comes back.
    if (!stagingThere || std::rename(staging.c_str(), folder.c_str()) != 0) {
      std::rename(old.c_str(), folder.c_str());
    }
  } else if (stagingThere) {
    // A folder made empty since, by whatever ran meanwhile, gives way to it.
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(folder, ec)) && fs::is_empty(folder, ec) && !ec) {
      std::rename(staging.c_str(), folder.c_str());
    }
  }
}

StagedFolder::StagedFolder(const fs::path& folder)
    : folder_(resolved(folder)),
      lock_(lock(folder_)),
      staging_(beside(folder_, "new")),
      old_(beside(folder_, "old")),
      gone_(beside(folder_, "gone")) {
  // What a process that ended during its commit left is put in place, as
  // recover() does, now that no other process can be at work here; what a
  // process that ended before its commit left is a leftover.
  recoverLocked(folder_);
  files::removeDirectory(staging_);
  files::removeDirectory(old_);
  files::removeDirectory(gone_);
  if (::mkdir(staging_.c_str(), 0777) == 0) {
    // A missing folder is made by the rename; a mount point cannot be moved.
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(folder_, ec)) || sameStorage(folder_, staging_)) {
      staged_ = true;
      return;
    }
    files::removeDirectory(staging_);
  }
  // In place: emptied as far as it can be, what cannot be removed staying.
  files::removeDirectory(folder_);
  std::error_code error;
  if (!files::createDirectories(folder_, error)) error_ = error.value();
}

StagedFolder::~StagedFolder() {
  if (staged_) files::removeDirectory(staging_);
}

bool StagedFolder::write(const fs::path& relative, fs::perms mode, const FileFill& fill) {
  if (staged_) return files::writeNewFile(staging_ / relative, mode, fill);
  return files::replaceFile(folder_ / relative, mode, fill);
}

bool StagedFolder::commit() {
  if (!staged_) return true;
  staged_ = false;  // whatever happens here, the staging folder is done with
  int error = exchange(staging_, folder_);
  if (error == 0) {
    files::removeDirectory(staging_);  // the old content, now
    return true;
  }
  // The folder aside, if it is there, then the new content in its place:
  // in between the folder is missing, never half of either, and recover()
  // finishes the step. The old content then leaves its name whole before
  // it is removed, so that what stands under that name is always whole.
  if (std::rename(folder_.c_str(), old_.c_str()) == 0 || errno == ENOENT) {
    if (std::rename(staging_.c_str(), folder_.c_str()) == 0) {
      if (std::rename(old_.c_str(), gone_.c_str()) == 0) files::removeDirectory(gone_);
      return true;
    }
    error = errno;
    std::rename(old_.c_str(), folder_.c_str());
  } else {
    error = errno;
  }
  error_ = error;
  // Removed under another name: cut short under its own, beside the old
  // content aside, recover() would take it for a whole one.
  if (std::rename(staging_.c_str(), gone_.c_str()) == 0) {
    files::removeDirectory(gone_);
  } else {
    files::removeDirectory(staging_);
  }
  return false;
}
