#include "util/mapped_search.h"

#include <sys/mman.h>

#include <algorithm>

#include "util/bus_error_guard.h"

namespace {

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
  const std::size_t pageSize = FileUtils::pageSize();
  constexpr std::size_t kPages = 16;
  unsigned char resident[kPages];
  const std::size_t length = std::min(size, kPages * pageSize);
  if (::mincore(map, length, resident) != 0) return true;  // unknown: take the cheap path
  const std::size_t pages = (length + pageSize - 1) / pageSize;
  const auto inMemory =
      std::count_if(resident, resident + pages, [](unsigned char page) { return (page & 1) != 0; });
  return static_cast<std::size_t>(inMemory) * 2 >= pages;
}

}  // namespace

std::optional<ContainsResult> searchMapped(int fd, std::uintmax_t size, const ByteFinder& finder,
                                           bool* wasInMemory) {
  const std::size_t overlap = finder.size() - 1;
  for (std::uintmax_t offset = 0;; offset += FileUtils::kContentMapWindow) {
    const auto length = static_cast<std::size_t>(
        std::min<std::uintmax_t>(FileUtils::kContentMapWindow + overlap, size - offset));
    void* const map =
        ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, static_cast<off_t>(offset));
    if (map == MAP_FAILED) return std::nullopt;
    if (offset == 0 && wasInMemory != nullptr) *wasInMemory = startsInMemory(map, length);
    const auto result = searchWindow(finder, static_cast<const char*>(map), length);
    ::munmap(map, length);
    if (!result || *result != ContainsResult::kNotFound || offset + length >= size) return result;
  }
}
