#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/cache_file.h"
#include "util/file_handle.h"
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
// read as knowing no target, or not the faulty one, never as wrong. Its
// checksums tell damage, as the selection index's do; they are no defence
// against a file made to pass them, which can keep rules from applying.
// The tool only ever replaces the file whole.
//
// It is read and written a target at a time, so that a run holds the
// occurrences of the targets in hand, not all of them. The file: a head
// (the magic "UEXPMODO", a version, the head's length, the folder's path,
// the texts: a count, then each one's length and bytes; and a checksum of
// the head); each target's occurrences (start and text, sorted by start),
// one target after another; the table of targets (a count, then each one's
// key, where its occurrences lie, how many, and their checksum, sorted by
// device and inode); and the table's offset and a checksum of the table and
// that offset. Every number little-endian.
class OccurrenceCache {
 public:
  using Occurrence = MultiReplacer::Occurrence;

  // The most a target's occurrences, and all of them together, a cache holds:
  // 2 MiB and 16 MiB of them, on storage that is often full.
  static constexpr std::size_t kMostPerTarget = std::size_t{1} << 18;
  static constexpr std::size_t kMostOccurrences = std::size_t{1} << 21;

  OccurrenceCache() = default;

  // The cache of `folder` held in `file`, its head and table read: knowing
  // no target when the file is missing or faulty.
  static OccurrenceCache open(const std::filesystem::path& file, std::string_view folder);

  // Which of `texts` the cache lacks (their numbers in `texts`, ascending),
  // or none when it cannot serve them: it knows no text, or many more texts
  // than `texts` holds. Where it can, find() gives occurrences numbered as
  // `texts` are, of those it holds, and leaves out those of the texts that
  // `texts` lacks.
  std::optional<std::vector<std::uint32_t>> cover(const std::vector<std::string_view>& texts);
  // Whether it can serve `texts` and holds them all.
  bool covers(const std::vector<std::string_view>& texts) {
    const auto lacking = cover(texts);
    return lacking && lacking->empty();
  }
  // The occurrences of one target, read from the file a piece at a time as
  // they are taken: for the engine, and for a new cache.
  class Pieces : public MultiReplacer::KnownSource {
   public:
    std::span<const Occurrence> next() override;
    void rewind() override {
      at_ = 0;
      last_ = 0;
    }
    // Whether next() found them no longer as find() checked them.
    bool failed() const { return failed_; }

   private:
    friend class OccurrenceCache;
    const OccurrenceCache* cache_ = nullptr;
    std::uint64_t offset_ = 0;  // of the target's first occurrence in the file
    std::size_t count_ = 0;
    std::size_t at_ = 0;  // the occurrences read
    std::uint32_t last_ = 0;  // the last start given
    bool failed_ = false;
    std::vector<Occurrence> piece_;
  };
  // Opens in `into` the occurrences of the file with `key`, once covers()
  // has held: they come sorted by start, numbered as covers()'s list numbers
  // its texts. They are read and checked whole first: false (and `into`
  // empty) when the cache does not know the file or its entry is faulty.
  // The file is only ever replaced, never written in place, so what is read
  // again is what was checked. Threads may call it at once, each with its
  // own Pieces.
  bool find(const FileKey& key, Pieces& into) const;
  // All of them in one list, the same way.
  bool find(const FileKey& key, std::vector<Occurrence>& into) const;

  // A new cache of `folder` for `texts`, written a target at a time through
  // a temporary file that commit() puts in place of the old one.
  class Writer {
   public:
    Writer(const std::filesystem::path& file, std::string_view folder,
           const std::vector<std::string_view>& texts, std::int64_t nowNs);
    // Adds the target with `key` (whose occurrences are numbered as `texts`
    // and sorted by start), unless the cache is full or a target with its
    // device and inode was added before. False once the file failed.
    bool add(const FileKey& key, std::span<const Occurrence> occurrences);
    // The same with `kept` (from a cache) and `more` (sorted by start) merged.
    bool add(const FileKey& key, Pieces& kept, std::span<const Occurrence> more = {});
    // Writes the table and puts the file in place; false, and the old file
    // as it was, when it could not be.
    bool commit();

   private:
    struct Entry {
      FileKey key;
      std::uint64_t offset;
      std::uint64_t count;
      std::uint64_t checksum;
    };
    bool addPiece(std::span<const Occurrence> occurrences, cachefile::Checksum& checksum);
    cachefile::NewFile file_;
    bool headTooLong_ = false;
    std::vector<Entry> entries_;
    std::uint64_t total_ = 0;
  };

  static std::filesystem::path fileFor(const std::filesystem::path& cacheFolder,
                                       std::string_view folder);

 private:
  struct Entry {
    FileKey key;
    std::uint64_t offset;  // of its first occurrence in the file
    std::size_t count;
    std::uint64_t checksum;
  };
  static constexpr std::uint32_t kNotWanted = 0xFFFFFFFF;
  // The occurrences read at once.
  static constexpr std::size_t kPiece = 4096;
  // Reads `count` occurrences from `offset` into `piece`, as stored; adds
  // their bytes to `checksum`.
  bool readPiece(std::uint64_t offset, std::size_t count, std::vector<Occurrence>& piece,
                 cachefile::Checksum& checksum) const;

  FileHandle file_;
  std::string head_;
  std::vector<std::string_view> texts_;  // into head_
  std::vector<Entry> entries_;           // sorted by device and inode
  std::vector<std::uint32_t> idOf_;      // by text: its number in covers()'s list, or kNotWanted
};
