#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "util/file_handle.h"

// What a content test found out about a file.
enum class ContainsResult {
  kFound,       // the pattern occurs in the file
  kNotFound,    // the whole file was read and the pattern does not occur
  kUnreadable,  // the file could not be opened or read to its end
};

// The test of whether a byte string occurs in a file's content, the search
// that selects the target files. It maps or reads the file in bounded
// windows or pieces and stops at the first occurrence, so memory use does not
// depend on the file's size.
class ContentSearch {
 public:
  ContentSearch() = delete;

  // Bytes each read asks for from a file that is not mapped (or the
  // pattern's size, if that is larger): large enough that each read is one
  // cheap system call, small enough to stay in cache while it is searched.
  // Every read lands on a 64-byte boundary of one reused buffer, just after
  // the last pattern-size-minus-one bytes of the read before, kept so that an
  // occurrence across two reads is seen whole.
  static constexpr std::size_t kReadPiece = std::size_t{256} << 10;

  // Files of at least this many bytes are searched through memory maps of
  // kMapWindow bytes at a time instead of being read: the search then runs
  // over the cached pages themselves, with no copy into a buffer. Below it,
  // one read() costs less than making and removing a map.
  static constexpr std::size_t kMapFrom = std::size_t{64} << 10;
  static constexpr std::size_t kMapWindow = std::size_t{4} << 20;

  struct Result {
    ContainsResult contains;
    // Whether most of the file's first pages were in the page cache before
    // the search: a cheap sign of whether the files around it are. Known
    // only for a file searched through maps.
    std::optional<bool> wasInMemory;
  };

  // Whether `pattern` occurs in the open file (not read from yet);
  // unreadable when `file` is invalid, or when the file shrinks while it is
  // searched (a page lost under a map, or reads that end before the size the
  // file reported at the start). An empty pattern is never found. One search
  // at a time, and none inside FileContent::edit: the guard against a file
  // that shrinks under its map is shared by the process.
  static Result search(const FileHandle& file, std::string_view pattern);
};
