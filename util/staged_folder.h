#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "util/file_handle.h"
#include "util/file_writes.h"

// The locks a StagedFolder holds, for whoever works on the committed content
// after it: the folder's parent's, and a mount point's own.
struct StagedFolderLock {
  FileHandle parent;
  FileHandle inside;
};

// New content for a folder F, built beside it and put in its place in one
// step, so that however the process ends, and whenever, F holds either all
// of its last complete content or all of the new, never a mixture and never
// a file cut short; and a set that could not be completed never replaces it.
//
// Three names beside F, hidden, with F's own name in them, are this class's:
//   N  ".F.uexpmod-new"   the new content while it is written; after an
//                         exchange, the old content
//   O  ".F.uexpmod-old"   the old content, whole, between the two renames
//   G  ".F.uexpmod-gone-<pid>-<n>"  whatever is being removed; never read,
//                         never put back, whole or not. A name of its own
//                         for every removal, so that one that could not be
//                         removed never stands in a later one's way: all are
//                         swept, under the lock, by begin()
// A set is removed only under G: it is renamed there first, so that what
// stands under N or O is always a whole set (or, under N before a commit,
// a set still being written, which nothing ever puts in place: see below).
//
// The states, what stands where, and where each step leads. One process at
// a time is in any of them (the lock below).
//
//   state      F          N              O          next step (function)
//   ---------  ---------  -------------  ---------  --------------------------------
//   IDLE       last set   -              -          begin -> STAGING; where N or O
//              or none                              cannot be dropped, none: the
//                                                   set stays, inTheWay() names it
//   STAGING    last set   new, partial   -          write, writeUnnamed, name; keep
//                                                   -> IDLE (N to G);
//                                                   commit -> SWAPPED or ASIDE
//   SWAPPED    new set    last set       -          dropOld -> IDLE (N to G)
//   ASIDE      none       new, whole     last set   putNewIn -> IN; where N cannot
//                                                   go in, putOldBack -> IDLE
//   IN         new set    -              last set   dropOld -> IDLE (O to G)
//
// commit() tries the exchange (STAGING -> SWAPPED, one rename); where the
// storage refuses it (Android's shared storage), F aside (STAGING -> ASIDE)
// and N in (ASIDE -> IN). A set that could not be completed never leaves
// STAGING but by keep().
//
// A file may also be written unnamed (writeUnnamed), into a scratch folder
// at N's top level (".uexpmod-unnamed", or a name the caller sets that no
// file of the set has as its first folder), and given its name in the set later
// (name()), so that a caller writing on several threads still makes the
// set's files and folders in an order of its own: a listing of F shows that
// order on storage that lists a folder in creation order (tmpfs, btrfs,
// FAT). The scratch folder is part of N, and goes with it; commit() puts no
// set in place while it stands (a file written unnamed and never named, or
// named into a folder of the set that has the scratch folder's name).
//
// Who failed, where a write failed: every failure on N's side (making a
// folder, creating, writing or closing a copy) is the storage's, whatever
// the errno, and makes the set one that could not be completed. Only a
// failure shown to be the source's lets the commit go on without that
// file: the source could not be read to its end, or its size is no longer
// the one it had when its copy began (see write()).
//
// What a process that ended in each state left, and what recover() makes of
// it, under the lock, before anything else touches F:
//   STAGING   N is a leftover: begin() sends it to G.  F is untouched.
//   SWAPPED   N (the last set) is a leftover: begin() sends it to G.
//   ASIDE     F missing, O and N both there: N goes in (putNewIn), or where
//             it cannot, O goes back (putOldBack). Where something made F
//             empty since, N takes its place all the same; a non-empty F is
//             left alone, and O and N go to G at the next begin().
//   IN        O is the last set, no longer wanted: dropOld.
//   any       G is removed, whatever it holds.
// Without N, O alone beside a missing F can only be from IN with F removed
// since by hand: it is the last complete set, and it goes back. Only a real
// folder under N or O is ever renamed into F's place: a link or a file
// there is dropped by begin() like any leftover.
//
// Where a link stands at F's path, all of this happens where it leads, as
// the kernel resolves it (see resolve()): the link stays, and its target
// gets the new content. The link is followed once, at the start; the
// caller's Check is asked of that folder, and again before the commit, of
// it and of where the link leads then: a link changed meanwhile into
// somewhere the check refuses stops the commit, and folder() is the folder
// the commit replaced, for the caller to work on.
//
// A mount point at F cannot be renamed. There, and only there, N and G are
// made inside F itself ("F/.uexpmod-new", "F/.uexpmod-gone"): the set is
// still written whole before F is touched, but commit() then moves F's old
// entries into G and N's entries into F one at a time. Its states, inside F:
//
//   state       F               N ("F/.uexpmod-new")  G/O ("F/.uexpmod-...")
//   ----------  --------------  --------------------  --------------------------
//   STAGING     last set        new, partial          -
//   MOVING_OUT  part of last    new, whole            G "gone": rest of last
//   MOVING_IN   part of new     rest of new           O "old": last set, whole
//   IN          new set         - (or empty)          O "old"
//
// begin() removes G and O before it makes N, so G or O beside N means a
// move was cut short with N whole: recover() finishes it (F's last entries
// into G, G renamed to O, N's entries into F) before anything is removed,
// and begin() then drops O. Where that cannot be finished, begin() stages
// nothing and names the set in the way. inPlace() says that a run replaces
// the files one by one, for the caller to tell the user.
//
// One process at a time changes F and what lies beside it: an object, and
// recover(), hold a lock on F's parent (which stays where it is while F is
// swapped) and wait for it, so that a second run of the tool started
// meanwhile cannot remove this one's staged content or swap in its own
// half-made one. The kernel lets the lock go when the process ends, however
// it ends. Where the storage has no locks, each goes on without one. The
// lock belongs to an open descriptor, not to the process: within one
// process, a second object (or recover()) for a folder of the same parent
// waits for the first forever. A mount point may be mounted at other places
// too, each with a parent of its own: there the folder itself is locked as
// well, after its parent; where it is that very parent (mounted onto its own
// child), the parent's lock is its lock, and no second one is waited for.
class StagedFolder {
 public:
  // Called once, before waiting, where another process holds the lock: once
  // for an object (or a recover()), though it may wait for both its locks.
  using Waiting = std::function<void()>;
  // Why the folder at the path given (resolved) may not be replaced, as the
  // line that says so; empty where it may. Asked under the lock, before
  // anything is touched, after recovery, and again just before the commit,
  // both of the folder found at the start and of where the path leads then.
  using Check = std::function<std::string(const std::filesystem::path& folder)>;

  // Where `path` leads, as the kernel resolves it: the part of it that
  // exists through the kernel (every link, and ".." after a link, as the
  // kernel takes them), the rest by the text of the path and of the links
  // met. Absolute and without "." or "..". `path` made absolute where the
  // current folder cannot be told.
  static std::filesystem::path resolve(const std::filesystem::path& path);

  // Brings the folder back to one whole set from whatever a process that
  // ended during a commit left beside it (see the table above).
  static void recover(const std::filesystem::path& folder, const Waiting& waiting = {});

  // Begins new content for `folder`, once no other process holds the lock,
  // after recover(). Makes nothing but the staging folder; the folder
  // itself, if missing, is made only by commit(). Where the staging folder
  // cannot be made, staged() is false and error() says why: the folder is
  // then never touched.
  // Where `check` refuses the folder, nothing is touched: staged() is false
  // and refusal() says why.
  explicit StagedFolder(const std::filesystem::path& folder, const Waiting& waiting = {},
                        const Check& check = {});
  // Removes a set that was not committed.
  ~StagedFolder();
  StagedFolder(const StagedFolder&) = delete;
  StagedFolder& operator=(const StagedFolder&) = delete;

  // Whether there is a staging folder for the new content.
  bool staged() const { return staged_; }
  // Whether the folder is a mount point, whose files commit() replaces one
  // at a time.
  bool inPlace() const { return inPlace_; }
  // Why the new content cannot replace the folder, as an errno value: the
  // staging folder could not be made, a write failed for a reason of the
  // storage (see write()), or commit() could not put the set in place.
  // 0 otherwise.
  int error() const;
  // Makes the set one that cannot be completed, for the reason `error` (an
  // errno value), where a file of it could not even be tried: commit() then
  // keeps the last set. Safe from several threads, as write() is.
  void spoil(int error);
  // The check's line, where it refused the folder (error() is then EPERM).
  const std::string& refusal() const { return refusal_; }
  // A set of this class's own that could not be removed and stops the
  // staging, where one does; empty otherwise.
  const std::filesystem::path& inTheWay() const { return inTheWay_; }
  // The folder commit() replaces: where the path given led at the start.
  const std::filesystem::path& folder() const { return folder_; }

  // Makes the file at `relative` in the new content, with its missing
  // folders, the permissions `mode`, and the bytes `fill` writes. True only
  // when every byte was written; otherwise nothing of it is left under its
  // name. The file is new: a second file at the same path fails, and the
  // first stands. One whose write failed left nothing, and a second try
  // there (a plain copy after a rewrite that could not finish) counts in
  // its place. Where it fails, it is the source's fault only when
  // `source`, the open file the bytes come from, is no longer readable to
  // its end with the size it had when the fill began (checked only then, by
  // reading it again); any other failure makes the set one that commit()
  // will not put in place, unless a later write at the same path succeeds.
  // Writes at different paths may run at once, from several threads.
  bool write(const std::filesystem::path& relative, std::filesystem::perms mode,
             const FileFill& fill, const FileHandle* source = nullptr);
  // The scratch folder's name (".uexpmod-unnamed" unless set), to be set
  // before the first unnamed write to one that no file of the set has as
  // its first folder.
  void setScratchName(std::string name) { scratchName_ = std::move(name); }
  // How many threads remove the last set once commit() has put the new one
  // in its place (one unless set).
  void setThreads(std::size_t threads) { threads_ = threads; }
  // ".uexpmod-unnamed", or with "-1", "-2"... where one of `firstFolders`
  // (the first folders of the set's files) has that name, whatever the case
  // of its letters: storage that ignores case (FAT or exFAT on an SD card)
  // takes two such names as one folder.
  static std::string scratchNameAvoiding(const std::vector<std::string>& firstFolders);
  // write(), with its meaning and failure rules, for a file that takes its
  // name `relative` only at name(): it is made under `ticket`, a number of
  // the caller's that no other unnamed file of the set has, and a second
  // try under the same ticket counts in the place of one that failed. Its
  // failures are kept under `relative`, as write() keeps them, so error()
  // tells the same as after writes by name. Safe from several threads at
  // once, with write() and name() too.
  bool writeUnnamed(std::size_t ticket, const std::filesystem::path& relative,
                    std::filesystem::perms mode, const FileFill& fill,
                    const FileHandle* source = nullptr);
  // Gives the file written under `ticket` the name `relative` in the new
  // content, after making its missing folders: these and the file come
  // into being now, in the order of the calls. Never replaces what stands
  // at `relative`: where a file stands there, the set has it, as after a
  // second write() at one path, and the unnamed one is removed. True where
  // the file has its name; any other failure is the storage's, and makes
  // the set one that commit() will not put in place.
  bool name(std::size_t ticket, const std::filesystem::path& relative);
  // Makes the folders of `relative` in the new content, as a write() there
  // that then failed leaves them, for a file whose unnamed write failed.
  // Folders it cannot make count as write() counts them: against the set
  // only where the storage said it was full or read-only.
  void makeFoldersOf(const std::filesystem::path& relative);

  // Puts the new content in the folder's place and removes the old, where
  // every write either succeeded or failed for a reason of its source alone,
  // and every file written unnamed was named.
  // False, with error() set, where it could not: the folder then keeps its
  // last complete content, byte for byte, and the staged set is removed.
  // The lock is held until the object ends.
  bool commit();
  // Removes the staged set and keeps the folder as it is: for a caller that
  // knows the set is not complete.
  void keep();

  // The lock, for the caller to hold while it works on the committed
  // content; the object holds none after this.
  StagedFolderLock handOverLock() { return std::move(locks_); }

 private:
  // Whether the open regular file `source` still reads to its end, `size`
  // bytes, as a copy of it needs: false where a read fails or its size is
  // another. Reads the whole file: called only once a copy has failed.
  static bool readableToEnd(int source, off_t size);
  // write() and writeUnnamed(): the file at `file`, whose failure is kept
  // under `key`.
  bool writeAt(const std::filesystem::path& file, const std::filesystem::path& key,
               std::filesystem::perms mode, const FileFill& fill, const FileHandle* source);
  // The scratch folder, inside N, and the unnamed file of `ticket` in it.
  std::filesystem::path scratch() const;
  std::filesystem::path unnamed(std::size_t ticket) const;

  // The transitions of the table above, each from the states it names.
  static void recoverLocked(const std::filesystem::path& folder);  // ASIDE/IN -> IDLE or IN
  static void finishMovesIn(const std::filesystem::path& folder);  // MOVING_* -> IN
  void begin();          // IDLE -> STAGING, leftovers to G first
  bool swap();           // STAGING -> SWAPPED or IN (through ASIDE); false: still STAGING
  bool moveEntriesIn();  // STAGING -> IDLE for a mount point, entry by entry
  // Whether check_ refuses `folder`, with refusal_ and error_ then set.
  bool refused(const std::filesystem::path& folder);
  // Drops the set at `set` (beside the folder, or inside a mount point);
  // where it cannot, it stands in the way: error_ and inTheWay_ say so.
  bool dropOrStop(const std::filesystem::path& set, bool inside);
  // Whether the folder begin() checked is still the one the path leads to,
  // and still may be replaced.
  bool stillTheCheckedFolder();

  // The locks for `folder`, taken once no other process holds them: its
  // parent's, then, where it is a mount point, its own, unless that is the
  // very folder already locked (a folder mounted inside itself, or its
  // parent mounted onto it).
  static StagedFolderLock lock(const std::filesystem::path& folder, const Waiting& waiting);
  // `held` locked, once no other process holds its lock; `held` as it is
  // where it is no folder open or the storage has no locks.
  static FileHandle lockFolder(FileHandle held, const Waiting& waiting);

  std::filesystem::path given_;   // the path as given
  std::filesystem::path folder_;  // where a link at the folder's path leads
  Check check_;
  StagedFolderLock locks_;         // taken before anything beside the folder is touched
  bool inPlace_ = false;           // a mount point: N and G inside the folder
  std::filesystem::path staging_;  // N
  std::filesystem::path old_;      // O
  bool staged_ = false;
  int error_ = 0;
  std::string refusal_;
  std::filesystem::path inTheWay_;
  std::optional<std::pair<dev_t, ino_t>> identity_;  // the folder's, at begin(), where it was
  // The writes that failed for a reason of the storage, by path in the set,
  // with the errno value; one that a later write at its path replaced is
  // no longer here. Guarded by `failedMutex_`: writes may come from several
  // threads at once. An unnamed write's, and a name() that failed, are kept
  // under the name the file was to have.
  std::map<std::filesystem::path, int> failed_;
  bool scratchMade_ = false;  // under failedMutex_
  std::string scratchName_ = ".uexpmod-unnamed";  // set before the first unnamed write
  std::size_t threads_ = 1;
  mutable std::mutex failedMutex_;
};
