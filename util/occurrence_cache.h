#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/file_key.h"
#include "util/multi_replacer.h"

// Where the search texts of a rule list occur in each target, kept between
// runs, keyed by FileKey as the selection index keeps its files (and under
// the same conditions: storage whose times were checked, files that had
// settled). A run whose texts the cache holds all of takes each unchanged
// target's occurrences from it instead of searching the target's bytes, so
// that a rule list run again, or with replacements edited or rules removed,
// costs the rewrite of what it finds. The occurrences are those of the
// target's bytes before any rule applies; what the rules' writes make is
// searched for on every run. The file is a cache: any fault in it (missing,
// cut short, corrupted, from another version or folder, too large) makes it
// read as empty, never as wrong.
//
// The file: the magic "UEXPMODO", a version, the folder's path; the texts
// (a count, then each text's length and bytes); the targets (a count, then
// each one's key and the number of its occurrences, sorted by device and
// inode); the occurrences of each target in turn (start and text, sorted by
// start);
// and a checksum of everything before it; every number little-endian.
class OccurrenceCache {
 public:
  using Occurrence = MultiReplacer::Occurrence;
  struct Target {
    FileKey key;
    std::vector<Occurrence> occurrences;  // sorted by start
  };

  // The most a target's occurrences, and all of them together, a cache holds.
  static constexpr std::size_t kMostPerTarget = std::size_t{1} << 18;
  static constexpr std::size_t kMostOccurrences = std::size_t{1} << 20;

  OccurrenceCache() = default;

  // The cache of `folder` held in `file`: empty when the file is missing or
  // faulty.
  static OccurrenceCache read(const std::filesystem::path& file, std::string_view folder);
  // The same from the file's bytes.
  static OccurrenceCache parse(std::string bytes, std::string_view folder);

  // Whether the cache holds every one of `texts`, and not many more; if so,
  // find() gives occurrences numbered as `texts` are, and leaves out those
  // of the texts that `texts` lacks.
  bool covers(const std::vector<std::string_view>& texts);
  // Puts into `into` the occurrences of the file with `key`, sorted by
  // start, once covers() has held; false (and `into` empty) when the cache
  // does not know the file or its entry is faulty.
  bool find(const FileKey& key, std::vector<Occurrence>& into) const;

  // The bytes of the cache of `folder` that holds `targets` (sorted and
  // unique by device and inode), whose occurrences are numbered as `texts`.
  static std::string serialize(std::string_view folder, const std::vector<std::string_view>& texts,
                               const std::vector<Target>& targets);
  // Writes them to `file` (see cachefile::writeWhole).
  static bool write(const std::filesystem::path& file, std::string_view folder,
                    const std::vector<std::string_view>& texts, const std::vector<Target>& targets,
                    std::int64_t nowNs);

  static std::filesystem::path fileFor(const std::filesystem::path& cacheFolder,
                                       std::string_view folder);

 private:
  struct Entry {
    FileKey key;
    std::size_t first;  // its first occurrence's offset in bytes_
    std::size_t count;
  };
  static constexpr std::uint32_t kNotWanted = 0xFFFFFFFF;

  std::string bytes_;
  std::vector<std::string_view> texts_;  // into bytes_
  std::vector<Entry> entries_;           // sorted by device and inode
  std::vector<std::uint32_t> idOf_;      // by text: its number in covers()'s list, or kNotWanted
};
