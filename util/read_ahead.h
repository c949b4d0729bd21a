#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "util/file_handle.h"

// Opens a list of files for searching, in their order, and keeps the storage
// busy ahead of the search where that pays. On a tree that is not in memory,
// the search would wait for the storage file by file. Once a searched file
// shows that (its first pages were not in the page cache), the next files are
// opened and the storage is asked to read them, up to kAheadBytes or
// kAheadFiles of them, while the current one is searched; each stays open
// until its turn, since some storages drop a file's cached pages when it is
// opened again. On a tree in memory, and on storage where read-ahead does not
// pay, the requests would only cost time, so none are made.
//
// Several threads may search the files at once, each taking the next file
// in the list's order: a few threads keep only a read each in flight, and
// the storage reads faster with more (flash reads many at once). Each call
// is then made under a lock, and a file asked for ahead waits for its
// thread until the threads have all moved `lag` files past it.
class ReadAhead {
 public:
  // `files` are searched in their order and must outlive this object;
  // `folder` holds them all and tells what storage they are on. Those that
  // `skipped` marks are never opened, ahead or in their turn. `lag` is how
  // far behind the latest file opened another thread may still open one:
  // 0 where one thread opens them all in turn.
  ReadAhead(const std::vector<std::string>& files, const std::filesystem::path& folder,
            std::vector<bool> skipped = {}, std::size_t lag = 0);

  // File `current`, open (invalid when it cannot be opened, errno then
  // saying why), for its search; then asks for the files after it, when the
  // tree seems not in memory.
  FileHandle open(std::size_t current);

  // What the search of a file opened showed: whether most of its first
  // pages were in the page cache, when the search could tell.
  void searched(std::optional<bool> wasInMemory);

  // Whether asking the storage under `dir` to read ahead can pay: not on a
  // FUSE file system (Android's shared storage from Android 11 on), where the
  // requests queue in the same user-space daemon as the reads they should
  // overlap with (measured there: 5 to 10 % slower, not faster).
  static bool pays(const std::filesystem::path& dir);

 private:
  static constexpr std::uintmax_t kAheadBytes = std::uintmax_t{64} << 20;
  static constexpr std::size_t kAheadFiles = 128;

  // Files waiting open take descriptors that the search and the copies need
  // as well: at most an eighth of what the process may open.
  static std::size_t filesAllowedAhead();

  struct Ahead {
    std::size_t index;
    FileHandle file;
    std::uintmax_t size;  // bytes asked for
  };
  const std::vector<std::string>& files_;
  const std::vector<bool> skipped_;  // empty: none
  const bool pays_;
  const std::size_t aheadFiles_;
  const std::size_t lag_;
  std::mutex mutex_;  // over all that follows
  bool treeInMemory_ = true;
  std::deque<Ahead> ahead_;     // files asked for and not yet searched, in order
  std::uintmax_t pending_ = 0;  // their bytes
  std::size_t next_ = 0;        // the first file not asked for
};
