#pragma once

#include <filesystem>
#include <utility>

#include "util/file_handle.h"
#include "util/file_writes.h"

// New content for a folder, built beside it and put in its place in one
// step, so that however the process ends, and whenever, the folder holds
// either all of its old content or all of the new, never a mixture and
// never a file cut short.
//
// The files go into a staging folder next to the folder, on the same
// storage, each created exclusively. commit() then swaps the two folders in
// one rename (RENAME_EXCHANGE) where the storage has it, else in two (the
// folder aside, the staging folder in its place, between which the folder
// is missing: Android's shared storage refuses the exchange), and removes
// the old content. A process killed between those two renames leaves the
// folder missing and both contents whole beside it: recover() puts the new
// one in place, and should run before anything else makes the folder.
// Whatever else an object that never committed left beside the folder, the
// next object removes first.
//
// Where a link stands at the folder's path, all of this happens where it
// leads: the link stays, and its target gets the new content.
//
// One process at a time changes the folder and what lies beside it: an
// object, and recover(), hold a lock on the folder's parent (which stays
// where it is while the folder is swapped) and wait for it, so that a second
// run of the tool started meanwhile cannot remove this one's staged content
// or swap in its own half-made one. The kernel lets the lock go when the
// process ends, however it ends. Where the storage has no locks, each goes
// on without one. The lock belongs to an open descriptor, not to the
// process: within one process, a second object (or recover()) for a folder
// of the same parent waits for the first forever.
//
// Where no staging folder can be made beside the folder, or the folder is a
// mount point that a rename cannot move, the new content is written into
// the folder itself after it is emptied as far as it can be, each file
// through a temporary file renamed over what stands there: each file is
// still whole or absent, but a process that ends part way leaves part of
// the new content.
class StagedFolder {
 public:
  // Where a commit was cut between its two renames, puts the staged content
  // in the missing folder's place (or an empty folder's, if something made
  // one since), or the old content back where the staged one is gone.
  static void recover(const std::filesystem::path& folder);

  // Begins new content for `folder`, once no other process holds the lock.
  // Makes nothing but the staging folder; the folder itself is made, if
  // missing, only by commit().
  explicit StagedFolder(const std::filesystem::path& folder);
  // Removes a staging folder that was not committed.
  ~StagedFolder();
  StagedFolder(const StagedFolder&) = delete;
  StagedFolder& operator=(const StagedFolder&) = delete;

  // Whether the new content is staged and put in place whole by commit().
  bool staged() const { return staged_; }
  // Why the new content has nowhere to go, as an errno value: neither the
  // staging folder nor, in its stead, the folder itself could be made; or
  // commit() could not put the staged content in place. 0 otherwise.
  int error() const { return error_; }

  // Makes the file at `relative` in the new content, with its missing
  // folders, the permissions `mode`, and the bytes `fill` writes. True only
  // when every byte was written; otherwise nothing of it is left under its
  // name. Staged, the file is new: a second file at the same path fails.
  // In the folder itself, it replaces whatever file stood there.
  bool write(const std::filesystem::path& relative, std::filesystem::perms mode,
             const FileFill& fill);

  // Puts the staged content in the folder's place and removes the old. True
  // when nothing was staged. False, with error() set, when the folder could
  // not be replaced: it keeps its old content, and the staged is removed.
  // The lock is held until the object ends.
  bool commit();

  // The lock, for the caller to hold while it works on the committed
  // content; the object holds none after this.
  FileHandle handOverLock() { return std::move(lock_); }

 private:
  // recover() for a folder already resolved, under the lock.
  static void recoverLocked(const std::filesystem::path& folder);
  // The lock for `folder`, taken once no other process holds it.
  static FileHandle lock(const std::filesystem::path& folder);

  std::filesystem::path folder_;  // where a link at the folder's path leads
  FileHandle lock_;               // taken before anything beside the folder is touched
  std::filesystem::path staging_;  // beside the folder: the new content until committed
  std::filesystem::path old_;      // beside the folder: the old content between two renames
  std::filesystem::path gone_;     // beside the folder: the old content while it is removed
  bool staged_ = false;
  int error_ = 0;
};
