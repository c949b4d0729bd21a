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
// not be opened again to be known. A file's result is kept only once the
// file has settled: both its times lie more than kSettle before the moment
// its key was taken, so that a change in the same tick of the storage's
// clock (two seconds on FAT, about 4 ms on Android's shared storage) cannot
// leave the key as it was. The file that holds an index is a cache: any
// fault in it (missing, cut short, corrupted, from another version or
// another folder, too large) makes it read as empty, never as wrong.
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

  // Whether a file with `key` has settled at `nowNs`.
  static bool settled(const FileKey& key, std::int64_t nowNs);

  // The bytes of the index of `folder` holding those of `entries` that had
  // settled at `nowNs`, a moment no later than any of their keys was taken
  // (no two with one device and inode).
  static std::string serialize(std::string_view folder, std::vector<Entry> entries,
                               std::int64_t nowNs);
  // Writes them to `file` through a temporary file beside it, made
  // exclusively and renamed over it, with the folders it needs: an index
  // written by two processes at once is one whole index or the other. False
  // when it could not be written; the file is then as it was.
  static bool write(const std::filesystem::path& file, std::string_view folder,
                    std::vector<Entry> entries, std::int64_t nowNs);

  // The file in `cacheFolder` that holds the index of `folder`: named from a
  // hash of the folder's path.
  static std::filesystem::path fileFor(const std::filesystem::path& cacheFolder,
                                       std::string_view folder);

 private:
  std::vector<Entry> entries_;  // sorted by device and inode
};
