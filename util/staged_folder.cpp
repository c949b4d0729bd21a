#include "util/staged_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_set>
#include <vector>

#include "util/file_writes.h"
#include "util/folders.h"
#include "util/mount_table.h"

namespace fs = std::filesystem;

// The kernel's flag, where the C library's headers do not name it.
#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif
#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

namespace {

// The names of N and G inside a mount point, and the links the kernel
// follows at most in one path.
constexpr const char* kInsideNew = ".uexpmod-new";
constexpr const char* kInsideGone = ".uexpmod-gone";
constexpr const char* kInsideOld = ".uexpmod-old";
constexpr int kMostLinks = 40;

// A hidden name beside `folder` for this class's own use; the folder's name
// is in it, so that the folders of two StagedFolders in one place never mix.
fs::path beside(const fs::path& folder, const char* what) {
  std::string name = ".";
  name += folder.filename().string();
  name += ".uexpmod-";
  name += what;
  return folder.parent_path() / name;
}

bool present(const fs::path& path) {
  struct stat status = {};
  return ::lstat(path.c_str(), &status) == 0;
}

FileHandle openFolder(const fs::path& path) {
  return FileHandle(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool isFolder(const fs::path& path) {
  struct stat status = {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// A name for G beside `folder` (or, for a mount point, inside it, `inside`
// naming it) that no other attempt of any process has used: a G that cannot
// be removed stays under its own name and never stands in a later one's way.
fs::path freshGone(const fs::path& folder, bool inside) {
  static unsigned attempt = 0;
  const std::string tag = std::to_string(::getpid()) + "-" + std::to_string(++attempt);
  if (inside) return folder / (std::string(kInsideGone) + "-" + tag);
  return beside(folder, ("gone-" + tag).c_str());
}

// Removes every G a removal cut short left in `dir`: the entries whose name
// begins with `prefix`. What cannot be removed now stays under its own name,
// which nothing reads and nothing else uses, for a later run to try again.
void sweepGone(const fs::path& dir, const std::string& prefix) {
  std::error_code ec;
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (entry.path().filename().string().starts_with(prefix)) found.push_back(entry.path());
  }
  for (const fs::path& gone : found) files::removeDirectory(gone);
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

// Whether a write failed for want of room or of write access, which no read
// of a source fails with: the storage's fault, whatever the source did.
bool storageSaidSo(int error) {
  return error == ENOSPC || error == EDQUOT || error == EFBIG || error == EROFS;
}

// Renames `from` to `to` where nothing stands at `to`. 0, or the errno
// value: EEXIST where something stands there.
int renameNew(const fs::path& from, const fs::path& to) {
#ifdef SYS_renameat2
  if (::syscall(SYS_renameat2, static_cast<long>(AT_FDCWD), from.c_str(),
                static_cast<long>(AT_FDCWD), to.c_str(),
                static_cast<long>(RENAME_NOREPLACE)) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS) return errno;
#endif
  // Storage that takes no flags on a rename (FUSE without rename2, an old
  // kernel): a link fails where the name stands. Where the old name stays
  // too, the scratch folder is not empty, and commit() refuses.
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return 0;
  }
  if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return errno;
  // Storage without links either (FAT, Android's shared storage): only this
  // process makes names in N, under the lock, and only the caller of name()
  // outside the scratch folder, so what stands at `to` now stands there at
  // the rename.
  if (present(to)) return EEXIST;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

// Sends the set at `set` to a fresh G (`gone`) and removes it there, so that
// no set is ever cut short under a name from which it could be put back.
// True when nothing is left under `set`'s name; false, with errno, where it
// could not be renamed: it then stays whole under its name. What cannot be
// removed under G stays there, which nothing reads (sweepGone tries again).
bool drop(const fs::path& set, const fs::path& gone, std::size_t threads = 1) {
  if (::rename(set.c_str(), gone.c_str()) != 0) return errno == ENOENT;
  files::removeDirectory(gone, threads);
  return true;
}

// drop() of the last set once the new one is in place, beside `folder` (or
// inside it): the commit has succeeded, and no want of memory for the
// names may say otherwise. What is left is dropped by the next begin().
void dropLastSet(const fs::path& set, const fs::path& folder, bool inside,
                 std::size_t threads) noexcept {
  try {
    drop(set, freshGone(folder, inside), threads);
  } catch (...) {
  }
}

// Whether the folder at `folder` (resolved) is a mount point, which no
// rename can move. Another device than its parent's says so at once; a bind
// mount of the same device shows only in the mount table. statx's mount ID
// would say it in one call, but Android's app policy lets statx through
// only from API 30 on, and kills the process before.
bool isMountPoint(const fs::path& folder) {
  struct stat self = {};
  struct stat parent = {};
  if (::lstat(folder.c_str(), &self) != 0 || !S_ISDIR(self.st_mode)) return false;
  if (::lstat(folder.parent_path().c_str(), &parent) == 0 && parent.st_dev != self.st_dev) {
    return true;
  }
  return mounttable::listed(folder, mounttable::readFor(folder));
}

// Whether `name`, an entry of a mount point, is one this class makes there
// (N, O, or a G), whatever the case of its letters, which storage that
// ignores case (FAT, exFAT, Android's shared storage) takes as the same: a
// set's own entry may begin with ".uexpmod-" too, since a tree may hold any
// name.
bool ownInside(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  const std::string_view gone = kInsideGone;
  return folded == kInsideNew || folded == kInsideOld || folded == gone ||
         (folded.starts_with(gone) && folded[gone.size()] == '-');
}

// Moves every entry of `from` into `to`, except, where `skipOwn`, this
// class's own (see ownInside). Returns the names moved; where one cannot be
// moved, `error` is set and the ones moved so far are the ones returned.
std::vector<std::string> moveEntries(const fs::path& from, const fs::path& to, int& error,
                                     bool skipOwn = true) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(from, ec)) {
    const std::string name = entry.path().filename().string();
    if (!skipOwn || !ownInside(name)) names.push_back(name);
  }
  if (ec) {
    error = ec.value();
    return {};
  }
  std::vector<std::string> moved;
  for (const std::string& name : names) {
    if (::rename((from / name).c_str(), (to / name).c_str()) != 0) {
      error = errno;
      break;
    }
    moved.push_back(name);
  }
  return moved;
}

// Moves back what moveEntries moved. Where this fails too, the entry stays
// where it went: nothing more can be done, and the caller's error says the
// folder was not replaced.
void moveBack(const fs::path& from, const fs::path& to, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    [[maybe_unused]] const int ignored = ::rename((to / name).c_str(), (from / name).c_str());
  }
}

}  // namespace

fs::path StagedFolder::resolve(const fs::path& path) {
  std::error_code ec;
  fs::path given = fs::absolute(path, ec);
  if (ec) given = path;
  // The parts still to walk, the next one last.
  std::vector<fs::path> parts;
  const auto push = [&parts](const fs::path& text) {
    const std::size_t at = parts.size();
    for (const fs::path& part : text.relative_path()) parts.push_back(part);
    std::reverse(parts.begin() + static_cast<std::ptrdiff_t>(at), parts.end());
  };
  push(given);
  fs::path at = given.root_path();
  int links = 0;
  while (!parts.empty()) {
    const fs::path part = std::move(parts.back());
    parts.pop_back();
    if (part.empty() || part == ".") continue;
    // `at` is where the kernel is, or, past a missing part, where the text
    // leads: ".." is its parent either way.
    if (part == "..") {
      at = at.parent_path();
      continue;
    }
    fs::path next = at / part;
    struct stat status = {};
    if (::lstat(next.c_str(), &status) == 0 && S_ISLNK(status.st_mode) && links < kMostLinks) {
      ++links;
      const fs::path text = fs::read_symlink(next, ec);
      if (!ec) {
        push(text);  // read from where the link stands, or from the root
        if (text.is_absolute()) at = text.root_path();
        continue;
      }
    }
    at = std::move(next);
  }
  return at;
}

StagedFolderLock StagedFolder::lock(const fs::path& folder, const Waiting& waiting) {
  bool told = false;
  const Waiting once = [&] {
    if (!told && waiting) waiting();
    told = true;
  };
  StagedFolderLock held;
  held.parent = lockFolder(openFolder(folder.parent_path()), once);
  // A mount point may be mounted at other places too, each with a parent of
  // its own: the folder itself is then what two runs have in common.
  if (!isMountPoint(folder)) return held;
  FileHandle inside = openFolder(folder);
  // A lock belongs to its descriptor: a second one on the folder already
  // locked (the parent mounted onto the folder, which is then the same
  // folder) would wait for the first forever. The first is that lock.
  struct stat parent = {};
  struct stat self = {};
  if (held.parent && inside && ::fstat(held.parent.get(), &parent) == 0 &&
      ::fstat(inside.get(), &self) == 0 && parent.st_dev == self.st_dev &&
      parent.st_ino == self.st_ino) {
    return held;
  }
  held.inside = lockFolder(std::move(inside), once);
  return held;
}

FileHandle StagedFolder::lockFolder(FileHandle held, const Waiting& waiting) {
  // Where the storage has no locks (or the folder cannot be opened), the
  // run goes on without one: one run at a time is then the user's affair.
  if (!held || ::flock(held.get(), LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) return held;
  if (waiting) waiting();
  while (::flock(held.get(), LOCK_EX) != 0 && errno == EINTR) {
  }
  return held;
}

bool StagedFolder::readableToEnd(int source, off_t size) {
  std::vector<char> buffer(std::size_t{1} << 16);
  off_t at = 0;
  for (;;) {
    const ssize_t got = ::pread(source, buffer.data(), buffer.size(), at);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return at == size;
    at += got;
  }
}

void StagedFolder::recover(const fs::path& given, const Waiting& waiting) {
  const fs::path folder = resolve(given);
  const StagedFolderLock held = lock(folder, waiting);
  recoverLocked(folder);
}

void StagedFolder::recoverLocked(const fs::path& folder) {
  if (isFolder(folder)) finishMovesIn(folder);
  const fs::path staging = beside(folder, "new");
  const fs::path old = beside(folder, "old");
  // Only a real folder is ever put in place: a link or a file under O or N
  // is no set of this class's, and stays where it is (begin() drops it).
  // Without O: IDLE, STAGING or SWAPPED, whose leftovers begin() drops.
  if (!isFolder(old)) return;
  const bool stagingThere = isFolder(staging);
  if (!present(folder)) {
    // ASIDE: the new set was whole before the old went aside. Where it
    // cannot go in, the old comes back; where that fails too, both stay
    // whole under their names, for the next run to try again.
    if (stagingThere && std::rename(staging.c_str(), folder.c_str()) == 0) {
      drop(old, freshGone(folder, false));
    } else {
      [[maybe_unused]] const int putBack = std::rename(old.c_str(), folder.c_str());
    }
    return;
  }
  if (!stagingThere) {
    // IN: the old set is no longer wanted. Where it cannot be dropped now,
    // the next begin() tries again, and stages nothing while it stays.
    drop(old, freshGone(folder, false));
    return;
  }
  // ASIDE, with a folder made since: an empty one gives way to the new set
  // (a rename over an empty folder replaces it); one that holds anything is
  // someone's, and stays.
  std::error_code ec;
  if (isFolder(folder) && fs::is_empty(folder, ec) && !ec &&
      std::rename(staging.c_str(), folder.c_str()) == 0) {
    drop(old, freshGone(folder, false));
  }
}

void StagedFolder::finishMovesIn(const fs::path& folder) {
  const fs::path staging = folder / kInsideNew;
  const fs::path aside = folder / kInsideGone;
  const fs::path old = folder / kInsideOld;
  if (!isFolder(staging)) return;
  int error = 0;
  if (isFolder(aside)) {
    // MOVING_OUT: the old entries still in F follow the others aside.
    moveEntries(folder, aside, error);
    if (error != 0 || ::rename(aside.c_str(), old.c_str()) != 0) return;  // begin() refuses
  }
  if (isFolder(old)) {
    // MOVING_IN: the rest of the new set goes in.
    moveEntries(staging, folder, error, false);
    if (error != 0) return;              // begin() refuses while N and O stand
    ::rmdir(staging.c_str());            // empty now
    drop(old, freshGone(folder, true));  // IN -> IDLE; begin() drops what is left
  }
}

StagedFolder::StagedFolder(const fs::path& folder, const Waiting& waiting, const Check& check)
    : given_(folder),
      folder_(resolve(folder)),
      check_(check),
      locks_(lock(folder_, waiting)),
      staging_(beside(folder_, "new")),
      old_(beside(folder_, "old")) {
  begin();
}

bool StagedFolder::refused(const fs::path& folder) {
  if (check_) refusal_ = check_(folder);
  if (refusal_.empty()) return false;
  error_ = EPERM;
  return true;
}

bool StagedFolder::dropOrStop(const fs::path& set, bool inside) {
  if (drop(set, freshGone(folder_, inside))) return true;
  error_ = errno;
  inTheWay_ = set;
  return false;
}

void StagedFolder::begin() {
  // Nothing is touched where the folder may not be written; what recovery
  // puts in place is checked again.
  if (refused(folder_)) return;
  // What a process that ended during its commit left is put in place, now
  // that no other process can be at work here; what one that ended before
  // its commit left is a leftover. A leftover that cannot be dropped stops
  // the staging: a set staged beside it could later be taken for whole.
  recoverLocked(folder_);
  if (refused(folder_)) return;
  if (!dropOrStop(staging_, false) || !dropOrStop(old_, false)) return;
  sweepGone(folder_.parent_path(), beside(folder_, "gone").filename().string());
  if (present(folder_) && !isFolder(folder_)) {
    error_ = ENOTDIR;  // a file there is someone's: it is never replaced
    return;
  }
  struct stat status = {};
  if (::stat(folder_.c_str(), &status) == 0) identity_ = {status.st_dev, status.st_ino};
  if (isMountPoint(folder_)) {
    inPlace_ = true;
    staging_ = folder_ / kInsideNew;
    const fs::path aside = folder_ / kInsideGone;
    const fs::path old = folder_ / kInsideOld;
    if (present(staging_) && (present(aside) || present(old))) {
      // A cut move that recovery could not finish: the new set is whole
      // only there, and the old only there.
      error_ = EBUSY;
      inTheWay_ = present(aside) ? aside : old;
      return;
    }
    if (!dropOrStop(staging_, true) || !dropOrStop(aside, true) || !dropOrStop(old, true)) return;
    sweepGone(folder_, std::string(kInsideGone) + "-");
  }
  if (::mkdir(staging_.c_str(), 0777) == 0) {
    staged_ = true;
  } else {
    error_ = errno;
  }
}

StagedFolder::~StagedFolder() { keep(); }

void StagedFolder::keep() {
  if (!staged_) return;
  staged_ = false;
  // Where it cannot be dropped now (nor its new name made, for want of
  // memory: this runs in the destructor too), the next begin() drops it.
  try {
    drop(staging_, freshGone(folder_, inPlace_));
  } catch (...) {
  }
}

fs::path StagedFolder::scratch() const { return staging_ / scratchName_; }

std::string StagedFolder::scratchNameAvoiding(const std::vector<std::string>& firstFolders) {
  const auto folded = [](std::string name) {
    for (char& c : name) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return name;
  };
  std::unordered_set<std::string> taken;
  for (const std::string& folder : firstFolders) taken.insert(folded(folder));
  std::string name = ".uexpmod-unnamed";
  for (int n = 1; taken.contains(name); ++n) name = ".uexpmod-unnamed-" + std::to_string(n);
  return name;
}

fs::path StagedFolder::unnamed(std::size_t ticket) const {
  return scratch() / std::to_string(ticket);
}

bool StagedFolder::write(const fs::path& relative, fs::perms mode, const FileFill& fill,
                         const FileHandle* source) {
  if (!staged_) return false;
  return writeAt(staging_ / relative, relative, mode, fill, source);
}

bool StagedFolder::writeUnnamed(std::size_t ticket, const fs::path& relative, fs::perms mode,
                                const FileFill& fill, const FileHandle* source) {
  if (!staged_) return false;
  try {
    const fs::path file = unnamed(ticket);
    {
      // Made by the first unnamed write, so that a set written with names
      // alone never has it.
      const std::lock_guard<std::mutex> guard(failedMutex_);
      if (!scratchMade_) {
        if (::mkdir(scratch().c_str(), 0777) != 0 && errno != EEXIST) {
          failed_.emplace(relative, errno);
          return false;
        }
        scratchMade_ = true;
      }
    }
    return writeAt(file, relative, mode, fill, source);
  } catch (...) {  // memory for the path: no copy was tried
    spoil(ENOMEM);
    return false;
  }
}

bool StagedFolder::name(std::size_t ticket, const fs::path& relative) {
  if (!staged_) return false;
  int error = 0;
  try {
    const fs::path to = staging_ / relative;
    std::error_code made;
    if (!files::createDirectories(to.parent_path(), made) && made) {
      error = made.value();
    } else {
      error = renameNew(unnamed(ticket), to);
    }
    if (error == 0) return true;
    // A file at that name stands whole (two sources whose names the
    // storage takes as one): the set has it. Where the unnamed one cannot
    // be removed, the scratch folder keeps it, and commit() refuses.
    if (error == EEXIST && ::unlink(unnamed(ticket).c_str()) == 0) return false;
    const std::lock_guard<std::mutex> guard(failedMutex_);
    failed_.emplace(relative, error);
  } catch (...) {
    spoil(ENOMEM);
  }
  return false;
}

void StagedFolder::makeFoldersOf(const fs::path& relative) {
  if (!staged_) return;
  try {
    std::error_code made;
    if (files::createDirectories((staging_ / relative).parent_path(), made) || !made) return;
    // Asked only for a copy that failed: where its source failed, a write by
    // name forgives a folder it could not make unless the storage said it
    // was full or read-only, and so does this; a failure on this side is
    // recorded already.
    if (!storageSaidSo(made.value())) return;
    const std::lock_guard<std::mutex> guard(failedMutex_);
    failed_.emplace(relative, made.value());
  } catch (...) {
    spoil(ENOMEM);
  }
}

bool StagedFolder::writeAt(const fs::path& file, const fs::path& key, fs::perms mode,
                           const FileFill& fill, const FileHandle* source) {
  struct stat before = {};
  const bool sized = source && *source && ::fstat(source->get(), &before) == 0;
  int failedWith = 0;
  const FileFill watched = [&fill, &failedWith](int fd) {
    errno = 0;
    const bool filled = fill(fd);
    if (!filled) failedWith = errno;
    return filled;
  };
  if (files::writeNewFile(file, mode, watched)) {
    const std::lock_guard<std::mutex> guard(failedMutex_);
    failed_.erase(key);
    return true;
  }
  if (failedWith == 0) failedWith = errno;  // the file or its folder could not be made
  // A file already made at that path stands whole: the set has it.
  if (failedWith == EEXIST) return false;
  // The source's fault only where that shows now: a source not open or not
  // examined, one that fails to read, or one cut or grown since the fill
  // began. Anything else failed on the copy's side, and so did a write
  // that the storage refused for want of room or of write access, whatever
  // the source did meanwhile: no read fails that way.
  const bool sourceFailed = !storageSaidSo(failedWith) && source != nullptr &&
                            (!sized || !readableToEnd(source->get(), before.st_size));
  if (!sourceFailed) {
    const std::lock_guard<std::mutex> guard(failedMutex_);
    failed_.emplace(key, failedWith != 0 ? failedWith : EIO);
  }
  return false;
}

void StagedFolder::spoil(int error) {
  const std::lock_guard<std::mutex> guard(failedMutex_);
  if (error_ == 0) error_ = error;
}

int StagedFolder::error() const {
  const std::lock_guard<std::mutex> guard(failedMutex_);
  if (error_ != 0 || failed_.empty()) return error_;
  return failed_.begin()->second;
}

bool StagedFolder::commit() {
  if (!staged_) return false;
  error_ = error();  // a write that failed for the storage's reason counts from here
  // The scratch folder is empty once every unnamed file was named: where it
  // is not, or cannot be removed, the set is not the one its writes and
  // names made, and it is never put in place with it.
  bool scratchMade = false;
  {
    const std::lock_guard<std::mutex> guard(failedMutex_);
    scratchMade = scratchMade_;
  }
  if (error_ == 0 && scratchMade && ::rmdir(scratch().c_str()) != 0 && errno != ENOENT) {
    error_ = errno;
  }
  if (error_ == 0 && !stillTheCheckedFolder()) error_ = refusal_.empty() ? ESTALE : EPERM;
  if (error_ != 0) {
    keep();
    return false;
  }
  bool in = false;
  try {
    in = inPlace_ ? moveEntriesIn() : swap();
  } catch (...) {
    // Cut short part way (no memory for a name, a listing): the entries
    // stand as a kill would leave them, for the next begin() to finish or
    // undo. Dropping N now would take the new set's entries that have not
    // moved in yet, and with them the only record of the move.
    staged_ = false;
    throw;
  }
  if (in) {
    staged_ = false;
    return true;
  }
  keep();
  return false;
}

bool StagedFolder::swap() {
  if (exchange(staging_, folder_) == 0) {
    // SWAPPED: N holds the last set. Where it cannot be dropped now, the
    // next begin() drops it.
    dropLastSet(staging_, folder_, false, threads_);
    return true;
  }
  // STAGING -> ASIDE -> IN. Between the two renames the folder is missing,
  // never half of either, and recover() finishes the step.
  if (std::rename(folder_.c_str(), old_.c_str()) != 0 && errno != ENOENT) {
    error_ = errno;  // still STAGING: the folder untouched
    return false;
  }
  if (std::rename(staging_.c_str(), folder_.c_str()) != 0) {
    error_ = errno;
    // ASIDE -> IDLE. Where the old set cannot come back now, it stays whole
    // under O, and recover() brings it back.
    [[maybe_unused]] const int putBack = std::rename(old_.c_str(), folder_.c_str());
    return false;
  }
  // IN -> IDLE; a set left under O is dropped by recover().
  dropLastSet(old_, folder_, false, threads_);
  return true;
}

bool StagedFolder::stillTheCheckedFolder() {
  // Where the path now leads, and the folder found at begin(), are both
  // checked: a link changed meanwhile may lead into what may not be written.
  if (refused(resolve(given_)) || refused(folder_)) return false;
  struct stat status = {};
  if (!identity_) return !present(folder_) || isFolder(folder_);
  // And the path still leads to that folder: a link turned elsewhere since
  // would be left pointing away from the set put in place.
  struct stat current = {};
  return ::lstat(folder_.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
         status.st_dev == identity_->first && status.st_ino == identity_->second &&
         ::stat(resolve(given_).c_str(), &current) == 0 && current.st_dev == status.st_dev &&
         current.st_ino == status.st_ino;
}

bool StagedFolder::moveEntriesIn() {
  // MOVING_OUT: F's entries into G; MOVING_IN, once all are there and G is
  // renamed to O: N's entries into F. recover() tells the two apart by G's
  // name, and finishes either.
  const fs::path aside = folder_ / kInsideGone;
  const fs::path old = folder_ / kInsideOld;
  // A set whose top holds one of the names made here inside F (a tree may
  // hold any name) could not be told from them once in F: a later begin()
  // would sweep it as a G, or this move take it for O. It never goes in,
  // and F keeps its last set.
  std::error_code listed;
  for (const auto& entry : fs::directory_iterator(staging_, listed)) {
    if (ownInside(entry.path().filename().native())) {
      error_ = EEXIST;
      return false;
    }
  }
  if (listed) {
    error_ = listed.value();
    return false;
  }
  if (::mkdir(aside.c_str(), 0777) != 0) {
    error_ = errno;
    return false;
  }
  int error = 0;
  const std::vector<std::string> moved = moveEntries(folder_, aside, error);
  if (error == 0 && ::rename(aside.c_str(), old.c_str()) != 0) error = errno;
  if (error != 0) {
    moveBack(folder_, aside, moved);
    error_ = error;
    ::rmdir(aside.c_str());  // empty unless something could not go back: then it stays
    return false;
  }
  const std::vector<std::string> in = moveEntries(staging_, folder_, error, false);
  if (error != 0) {
    // The last set goes back as far as it can; only a failure here too
    // leaves a mixture. Once the new entries are back in N, O is named G
    // again: an undo cut short then reads as a move out cut short, which
    // the next begin() finishes forward into the new set, where as O it
    // would move the new set in beside what of the last had come back.
    moveBack(staging_, folder_, in);
    const fs::path& back = ::rename(old.c_str(), aside.c_str()) == 0 ? aside : old;
    moveBack(folder_, back, moved);
    error_ = error;
    ::rmdir(back.c_str());  // as above
    return false;
  }
  // Both are this class's own names, which nothing reads: what cannot be
  // removed now is removed by the next begin().
  ::rmdir(staging_.c_str());
  dropLastSet(old, folder_, true, threads_);
  return true;
}
