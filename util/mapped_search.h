#pragma once

#include <cstdint>
#include <optional>

#include "util/byte_finder.h"
#include "util/file_utils.h"

// Searches the first `size` bytes of the open file `fd` through read-only
// maps of FileUtils::kContentMapWindow bytes each (plus the pattern's length
// less one, so that an occurrence across two windows is seen whole): the
// bytes are searched where the page cache holds them, without a copy into a
// buffer. Stops at the first occurrence. A page lost under a map (the file
// shrank, or the storage failed) makes the file unreadable. Nothing when a map
// cannot be made or guarded; the caller then reads the file instead. Sets
// `wasInMemory`, if given, to whether most of the first pages were in the
// page cache before the search touched them.
std::optional<ContainsResult> searchMapped(int fd, std::uintmax_t size, const ByteFinder& finder,
                                           bool* wasInMemory = nullptr);
