#include "util/content_search.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "util/bus_error_guard.h"
#include "util/byte_finder.h"
#include "util/page_size.h"

namespace {

// Searches the file `fd` from its current position through one reused buffer,
// kReadPiece bytes per read. Each read lands on a 64-byte boundary, after
// the last pattern-size-minus-one bytes of the read before it: the kernel
// copies to an aligned destination markedly faster. `size` is the size the
// file reported before the search: an end met before it means the file
// shrank meanwhile, and its bytes were not all seen. A file may read longer
// than it reported (one that grows, or one under /proc that reports 0).
ContainsResult searchRead(int fd, std::uintmax_t size, const ByteFinder& finder) {
  constexpr std::size_t kAlign = 64;
  const std::size_t overlap = finder.size() - 1;
  const std::size_t lead = (overlap + kAlign - 1) / kAlign * kAlign;
  const std::size_t piece = std::max(ContentSearch::kReadPiece, finder.size());
  const std::size_t capacity = lead + piece;
  // One buffer per thread, kept between calls and never zero-filled: a scan of
  // thousands of files must not pay an allocation and a memset per file.
  thread_local std::unique_ptr<char[]> buffer;
  thread_local std::size_t bufferSize = 0;
  if (bufferSize < capacity + kAlign) {
    buffer.reset(new char[capacity + kAlign]);
    bufferSize = capacity + kAlign;
  }
  char* const base = reinterpret_cast<char*>(
      (reinterpret_cast<std::uintptr_t>(buffer.get()) + kAlign - 1) / kAlign * kAlign);
  char* const fill = base + lead;
  std::size_t kept = 0;  // bytes of the read before, just ahead of `fill`
  std::uintmax_t total = 0;
  for (;;) {
    const ssize_t got = ::read(fd, fill, piece);
    if (got < 0) {
      if (errno == EINTR) continue;
      return ContainsResult::kUnreadable;
    }
    if (got == 0) return total < size ? ContainsResult::kUnreadable : ContainsResult::kNotFound;
    total += static_cast<std::size_t>(got);
    const std::size_t held = kept + static_cast<std::size_t>(got);
    if (finder.find(fill - kept, held, 0) != ByteFinder::kNotFound) return ContainsResult::kFound;
    // The next search starts with the last pattern-size-minus-one bytes of
    // this one, so an occurrence that straddles two reads is still seen whole.
    const std::size_t keep = std::min(overlap, held);
    std::memmove(fill - keep, fill - kept + held - keep, keep);
    kept = keep;
  }
}

// Searches one mapped window. Nothing when the guard cannot be installed.
std::optional<ContainsResult> searchWindow(const ByteFinder& finder, const char* data,
                                           std::size_t size) {
  const BusErrorGuard guard(data, size);
  if (!guard.installed()) return std::nullopt;
  const bool found = finder.find(data, size, 0) != ByteFinder::kNotFound;
  if (guard.faulted()) return ContainsResult::kUnreadable;
  return found ? ContainsResult::kFound : ContainsResult::kNotFound;
}

// Whether the first pages of a fresh map of a file are in the page cache, at
// least half of them: one mincore over at most 16 pages, so it costs little
// whatever the size. Half, not all: the system reclaims cold pages here and
// there from files that are otherwise in memory.
bool startsInMemory(void* map, std::size_t size) {
  constexpr std::size_t kPages = 16;
  unsigned char resident[kPages];
  const std::size_t length = std::min(size, kPages * pageSize());
  if (::mincore(map, length, resident) != 0) return true;  // unknown: take the cheap path
  const std::size_t pages = (length + pageSize() - 1) / pageSize();
  const auto inMemory =
      std::count_if(resident, resident + pages, [](unsigned char page) { return (page & 1) != 0; });
  return static_cast<std::size_t>(inMemory) * 2 >= pages;
}

// Searches the first `size` bytes of the open file `fd` through read-only
// maps of kMapWindow bytes each (plus the pattern's length less one, so that
// an occurrence across two windows is seen whole). A page lost under a map
// (the file shrank, or the storage failed) makes the file unreadable.
// Nothing when a map cannot be made or guarded; the caller then reads the
// file instead.
std::optional<ContentSearch::Result> searchMapped(int fd, std::uintmax_t size,
                                                  const ByteFinder& finder) {
  const std::size_t overlap = finder.size() - 1;
  std::optional<bool> wasInMemory;
  for (std::uintmax_t offset = 0;; offset += ContentSearch::kMapWindow) {
    const auto length = static_cast<std::size_t>(
        std::min<std::uintmax_t>(ContentSearch::kMapWindow + overlap, size - offset));
    void* const map =
        ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, static_cast<off_t>(offset));
    if (map == MAP_FAILED) return std::nullopt;
    if (offset == 0) wasInMemory = startsInMemory(map, length);
    const auto contains = searchWindow(finder, static_cast<const char*>(map), length);
    ::munmap(map, length);
    if (!contains) return std::nullopt;
    if (*contains != ContainsResult::kNotFound || offset + length >= size) {
      return ContentSearch::Result{*contains, wasInMemory};
    }
  }
}

}  // namespace

ContentSearch::Result ContentSearch::search(const FileHandle& file, std::string_view pattern) {
  if (!file) return {ContainsResult::kUnreadable, std::nullopt};
  if (pattern.empty()) return {ContainsResult::kNotFound, std::nullopt};
  const ByteFinder finder(pattern);
  struct stat status = {};
  const bool regular = ::fstat(file.get(), &status) == 0 && S_ISREG(status.st_mode);
  const std::uintmax_t size = regular ? static_cast<std::uintmax_t>(status.st_size) : 0;
  if (size >= kMapFrom) {
    if (const auto mapped = searchMapped(file.get(), size, finder)) return *mapped;
  }
  return {searchRead(file.get(), size, finder), std::nullopt};
}
