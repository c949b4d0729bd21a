#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Finds one fixed byte pattern in memory. The scan runs memchr (vectorised by
// the C library) over the pattern's rarest byte and confirms each hit with a
// check of a second rare byte and then memcmp, so typical input moves at
// memory speed. The worst case, the rare byte everywhere, is the plain
// O(size * pattern) search.
class ByteFinder {
 public:
  static constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

  explicit ByteFinder(std::string_view pattern);

  // First position at or after `from` where the pattern starts in
  // data[0, size), or kNotFound. An empty pattern is never found.
  std::size_t find(const char* data, std::size_t size, std::size_t from) const;

  std::size_t size() const { return pattern_.size(); }

 private:
  std::string pattern_;
  std::size_t rareOffset_ = 0;    // offset of the byte handed to memchr
  std::size_t secondOffset_ = 0;  // offset of the byte checked before memcmp
};
