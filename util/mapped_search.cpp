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

}  // namespace

std::optional<ContainsResult> searchMapped(int fd, std::uintmax_t size, const ByteFinder& finder) {
  const std::size_t overlap = finder.size() - 1;
  for (std::uintmax_t offset = 0;; offset += FileUtils::kContentMapWindow) {
    const auto length = static_cast<std::size_t>(
        std::min<std::uintmax_t>(FileUtils::kContentMapWindow + overlap, size - offset));
    void* const map =
        ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, static_cast<off_t>(offset));
    if (map == MAP_FAILED) return std::nullopt;
    const auto result = searchWindow(finder, static_cast<const char*>(map), length);
    ::munmap(map, length);
    if (!result || *result != ContainsResult::kNotFound || offset + length >= size) return result;
  }
}
