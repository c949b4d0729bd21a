#pragma once

#include <cstddef>
#include <string_view>

// Finds one fixed byte pattern in memory: the rare-byte search of fast
// string searchers, which tests the pattern's rarest bytes, by a table of
// how common each byte value is, before the whole of it. Sixteen places at a
// time (thirty-two with AVX2, where an x86-64 processor has it), the scan
// compares the bytes at the offsets of the pattern's two rarest bytes with
// those bytes, and confirms a place where both agree by its last byte, then
// memcmp; the last places go through memchr over the rarest byte. Typical
// input thus moves at memory speed, however often one of the two bytes occurs
// alone. The worst case, both bytes everywhere, is the plain O(size *
// pattern) search.
class ByteFinder {
 public:
  static constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

  // Keeps a view of `pattern`, which must outlive the finder: a rule's text
  // may be as long as the user made it, and is not copied.
  explicit ByteFinder(std::string_view pattern);

  // First position at or after `from` where the pattern starts in
  // data[0, size), or kNotFound. An empty pattern is never found.
  std::size_t find(const char* data, std::size_t size, std::size_t from) const;

  std::size_t size() const { return pattern_.size(); }

 private:
  std::string_view pattern_;
  std::size_t rareOffset_ = 0;    // offset of the rarest byte
  std::size_t secondOffset_ = 0;  // offset of the next rarest, another when the pattern has two
};
