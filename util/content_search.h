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
// that selects the target files. It reads the file in pieces through one
// reused buffer and stops at the first occurrence, so memory use does not
// depend on the file's size. Reads, not maps: on trees cached in single
// pages, as phones keep them, and in large folios alike, mapping each page
// cost more than the kernel's copy into a buffer that stays in the processor's
// cache (see bench/README.md).
class ContentSearch {
 public:
  ContentSearch() = delete;

  // Bytes each read asks for (or the pattern's size, if that is larger):
  // large enough that each read is one cheap system call, small enough to
  // stay in cache while it is searched. Every read lands on a 64-byte
  // boundary of one reused buffer, just after the last pattern-size-minus-one
  // bytes of the read before, kept so that an occurrence across two reads is
  // seen whole.
  static constexpr std::size_t kReadPiece = std::size_t{256} << 10;

  struct Result {
    ContainsResult contains;
    // Whether most of the file's first piece was in the page cache before
    // the search: a cheap sign of whether the files around it are. Unknown
    // where the kernel cannot tell without reading from the storage.
    std::optional<bool> wasInMemory;
  };

  // Whether `pattern` occurs in the open file, read from its start wherever
  // its position stands; unreadable when `file` is invalid, or when the file
  // shrinks while it is searched (its reads end before the size it reported
  // at the start). An empty pattern is never found.
  static Result search(const FileHandle& file, std::string_view pattern);
};
