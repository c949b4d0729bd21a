#pragma once

#include <unistd.h>

#include <cstddef>

// The size of the system's memory pages, for work over maps.
inline std::size_t pageSize() {
  static const std::size_t size = [] {
    const long page = ::sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<std::size_t>(page) : std::size_t{4096};
  }();
  return size;
}
