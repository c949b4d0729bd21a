#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

// Finds many byte patterns at once by one gram of each, chosen where the
// pattern is least like the others: a gram is `gram_` (1 to 4) bytes, as
// many as the shortest pattern has, and each pattern is indexed by the gram
// at the offset whose gram the fewest other patterns contain anywhere.
// Patterns that share their first bytes (Chinese in UTF-8 starts with 0xE4 to
// 0xE9, UTF-16LE forms share their high bytes) thus still differ in what
// is indexed, and text made of such patterns' neighbours passes rarely.
//
// The scan looks the first two bytes at every stride-th position up in a
// table of the indexed grams' first two bytes (65,536 one-byte entries, one
// load; eight positions to a branch: in bytes that are not text most blocks
// pass none); where that passes, it hashes the gram into a table of as many
// entries, and where that passes too, compares the gram with those of its bucket and confirms each
// pattern that agrees with memcmp, whatever its length. With no pattern
// shorter than `gram_ + stride - 1` bytes, each pattern is indexed by the
// `stride` grams from its chosen offset, one of which every occurrence puts
// on a tested position.
class GramFilter {
 public:
  // The filter for `patterns` (none empty; pattern ids are their indices).
  explicit GramFilter(const std::vector<std::string_view>& patterns);

  // Calls found(id, start) for every occurrence that lies wholly inside
  // data[begin, end): each pattern's in ascending order of start, those of
  // different patterns mixed.
  template <typename Found>
  void scan(const char* data, std::size_t begin, std::size_t end, Found&& found) const;

  std::size_t gram() const { return gram_; }
  std::size_t stride() const { return stride_; }

 private:
  // A pattern that a gram may stand in: its id, and how far after the
  // pattern's start the gram lies.
  struct Entry {
    std::uint32_t key;
    std::uint32_t id;
    std::uint32_t back;
  };

  // The gram's bytes from `at` as a number, the bytes past it zero; `at`
  // holds four bytes.
  std::uint32_t keyAt(const unsigned char* at) const {
    std::uint32_t word;
    std::memcpy(&word, at, sizeof word);
    if constexpr (std::endian::native == std::endian::little) return word & keyMask_;
    return word >> (32 - 8 * gram_);
  }
  // The same where fewer than four bytes may be left after `at`.
  std::uint32_t keyNearEnd(const unsigned char* at, std::size_t left) const {
    unsigned char four[4] = {};
    std::memcpy(four, at, left < 4 ? left : 4);
    return keyAt(four);
  }
  static constexpr unsigned kHashBits = 16;
  static std::uint32_t hash(std::uint32_t key) { return (key * 0x9E3779B1u) >> (32 - kHashBits); }
  bool passes(std::uint32_t key) const { return table_[hash(key)] != 0; }
  // The two bytes at `at` as one number, for firstPairs_: one load.
  static std::uint16_t pairAt(const unsigned char* at) {
    std::uint16_t pair;
    std::memcpy(&pair, at, sizeof pair);
    return pair;
  }
  template <std::size_t Stride, typename Found>
  void scanStrided(const char* data, std::size_t begin, std::size_t end, Found& found) const;
  template <typename Found>
  void confirm(const char* data, std::size_t q, std::uint32_t key, std::size_t begin,
               std::size_t end, Found& found) const;

  std::vector<std::string_view> patterns_;
  std::size_t gram_;
  std::size_t stride_;
  std::uint32_t keyMask_;
  unsigned bucketShift_;              // a hash's bits less those of a bucket
  std::vector<unsigned char> table_;  // an entry per hash: 1 where some pattern's gram has it
  // An entry per pair of bytes: 1 where some indexed gram starts with them
  // (every pair, with grams of one byte).
  std::vector<unsigned char> firstPairs_;
  // Bucket b's entries, by descending `back`, from bucketBegin_[b] to
  // bucketBegin_[b + 1].
  std::vector<std::uint32_t> bucketBegin_;
  std::vector<Entry> entries_;
};

template <typename Found>
void GramFilter::confirm(const char* data, std::size_t q, std::uint32_t key, std::size_t begin,
                         std::size_t end, Found& found) const {
  const std::uint32_t b = hash(key) >> bucketShift_;
  for (std::uint32_t e = bucketBegin_[b]; e < bucketBegin_[b + 1]; ++e) {
    const Entry& entry = entries_[e];
    if (entry.key != key || q - begin < entry.back) continue;
    const std::size_t start = q - entry.back;
    const std::string_view pattern = patterns_[entry.id];
    if (end - start >= pattern.size() &&
        std::memcmp(data + start, pattern.data(), pattern.size()) == 0) {
      found(entry.id, start);
    }
  }
}

template <typename Found>
void GramFilter::scan(const char* data, std::size_t begin, std::size_t end, Found&& found) const {
  if (begin >= end || end - begin < gram_) return;
  switch (stride_) {
    case 2:
      scanStrided<2>(data, begin, end, found);
      break;
    case 3:
      scanStrided<3>(data, begin, end, found);
      break;
    case 4:
      scanStrided<4>(data, begin, end, found);
      break;
    default:
      scanStrided<1>(data, begin, end, found);
  }
}

template <std::size_t Stride, typename Found>
void GramFilter::scanStrided(const char* data, std::size_t begin, std::size_t end,
                             Found& found) const {
  const auto* const bytes = reinterpret_cast<const unsigned char*>(data);
  const unsigned char* const pairs = firstPairs_.data();
  std::size_t q = begin;
  // Eight tested positions to a branch, while four bytes can be loaded at
  // the last of them.
  constexpr std::size_t kBlock = 8 * Stride;
  if (end - begin >= kBlock + 4) {
    const std::size_t lastBlock = end - 4 - (kBlock - Stride);
    for (; q <= lastBlock; q += kBlock) {
      unsigned any = 0;
      for (std::size_t k = 0; k < kBlock; k += Stride) any |= pairs[pairAt(bytes + q + k)];
      if (any == 0) continue;
      for (std::size_t k = 0; k < kBlock; k += Stride) {
        if (pairs[pairAt(bytes + q + k)] == 0) continue;
        const std::uint32_t key = keyAt(bytes + q + k);
        if (passes(key)) confirm(data, q + k, key, begin, end, found);
      }
    }
  }
  for (; q + gram_ <= end; q += Stride) {
    const std::uint32_t key = keyNearEnd(bytes + q, end - q);
    if (passes(key)) confirm(data, q, key, begin, end, found);
  }
}
