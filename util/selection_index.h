#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/file_key.h"

// Whether each file of a folder held the marker when it was last searched,
// kept between runs, keyed by FileKey: a file whose key is unchanged need
// not be opened again to be known. Used only on storage that shows it keeps
// the times a key relies on (see storage_times.h). A file's result is kept
// only once the file has settled: both its times lie more than the settling
// time (kSettleNs, widened by how far the storage's clock stands from the
// tool's) before the moment its key was taken, so that a change in the same
// tick of the storage's clock (two seconds on FAT, about 4 ms on Android's
// shared storage) cannot leave the key as it was. The file that holds an
// index is a cache: any fault in it (missing, cut short, corrupted, from
// another version or another folder, too large) makes it read as empty,
// never as wrong.
//
// The file: the magic "UEXPMODI", a version, the folder's path, the number
// of entries, the entries (40 bytes of key and 8 of result each, sorted by
// device and inode), and a checksum of everything before it; every number
// little-endian.
class SelectionIndex {
 public:
  struct Entry {
    FileKey key;
    bool target = false;
  };

  static constexpr std::int64_t kSettleNs = std::int64_t{2'000'000'000};

  SelectionIndex() = default;

  // The index of `folder` held in `file`: empty when the file is missing or
  // faulty, or holds more than `mostEntries` entries.
  static SelectionIndex read(const std::filesystem::path& file, std::string_view folder,
                             std::size_t mostEntries);
  // The same from the file's bytes.
  static SelectionIndex parse(std::span<const char> bytes, std::string_view folder,
                              std::size_t mostEntries);

  // Whether the file with `key` held the marker, when the index knows.
  std::optional<bool> find(const FileKey& key) const;
  // Where the entry of the file with `key` stands among the index's size()
  // entries, when there is one; and whether the file at such a position
  // held the marker.
  std::optional<std::size_t> position(const FileKey& key) const;
  bool targetAt(std::size_t position) const { return entries_[position].target; }
  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }

  // Whether a file with `key` has settled at `nowNs`: both its times lie
  // more than `settleNs` before it.
  static bool settled(const FileKey& key, std::int64_t nowNs, std::int64_t settleNs = kSettleNs);

  // The bytes of the index of `folder` holding those of `entries` that had
  // settled at `nowNs`, a moment no later than any of their keys was taken
  // (no two with one device and inode).
  static std::string serialize(std::string_view folder, std::vector<Entry> entries,
                               std::int64_t nowNs, std::int64_t settleNs = kSettleNs);
  // Writes them to `file` through a temporary file beside it, made
  // exclusively and renamed over it, with the folders it needs: an index
  // written by two processes at once is one whole index or the other. False
  // when it could not be written; the file is then as it was.
  static bool write(const std::filesystem::path& file, std::string_view folder,
                    std::vector<Entry> entries, std::int64_t nowNs,
                    std::int64_t settleNs = kSettleNs);

  // The file in `cacheFolder` that holds the index of `folder`: named from a
  // hash of the folder's path.
  static std::filesystem::path fileFor(const std::filesystem::path& cacheFolder,
                                       std::string_view folder);

 private:
  std::vector<Entry> entries_;  // sorted by device and inode
};

// What the index knew of the files of one walk, and what a run learns of
// them for the next: the copy stage's whole use of the index. A file known
// to hold no marker is not opened; one known to hold it is opened to be
// copied, and searched only if its key changed since the walk took it. Only
// the files of one device, whose storage was checked, are known or learned:
// a file that is a link to another storage is searched on every run.
class KnownSelection {
 public:
  // Nothing known of `count` files, and nothing learned: the index is not
  // used.
  explicit KnownSelection(std::size_t count);
  // Nothing known of `count` files, every one searched; what the run learns
  // of the files of `device` is kept.
  KnownSelection(std::size_t count, std::uint64_t device);
  // What `index` knows of the files of `device` whose keys the walk took
  // (`keys`, in the walk's order; none for a file it could not examine);
  // what the run learns of them is kept. `keys` must outlive this.
  KnownSelection(const SelectionIndex& index, std::span<const std::optional<FileKey>> keys,
                 std::uint64_t device);

  // One flag a file: whether it is known to hold no marker, unchanged since.
  // Such a file is not opened.
  const std::vector<bool>& unopened() const { return unopened_; }
  // Whether file `i`, whose key is now `key`, is known to hold the marker:
  // the index says so, and the key is the one the walk took.
  bool knownTarget(std::size_t i, const FileKey& key) const;

  // Records what the run knows of file `i` without opening it.
  void keepUnopened(std::size_t i);
  // Records that a file with `key` held the marker (`target`) or not.
  void learn(const FileKey& key, bool target);
  // Notes that file `i` had to be searched, or could not be: unless it lies
  // on another device, the run did not learn just what the index holds.
  void searched(std::size_t i);

  // Whether the index is used and what the run learned differs from what it
  // holds: it is then written again.
  bool changed() const { return learning_ && !asIndexed_; }
  // What the run learned, once: the entries of the next index.
  std::vector<SelectionIndex::Entry> takeLearned() { return std::move(learned_); }

 private:
  std::span<const std::optional<FileKey>> keys_;
  std::vector<std::optional<bool>> targets_;  // what the index said of each file
  std::vector<bool> unopened_;
  std::vector<SelectionIndex::Entry> learned_;
  bool learning_ = false;
  std::uint64_t device_ = 0;
  // Whether every file is known and every entry is some file's, and no file
  // was searched: the index then holds exactly what this run learns.
  bool asIndexed_ = false;
};
