#include "util/gram_filter.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace {

// The bytes a pattern is indexed by lie in its first ones: a text of any
// length costs the index no more than this.
constexpr std::size_t kAnchorReach = 64;

unsigned log2Ceil(std::size_t n) {
  unsigned bits = 0;
  while ((std::size_t{1} << bits) < n) ++bits;
  return bits;
}

}  // namespace

GramFilter::GramFilter(const std::vector<std::string_view>& patterns) : patterns_(patterns) {
  std::size_t shortest = patterns.empty() ? 1 : patterns.front().size();
  for (const std::string_view p : patterns) shortest = std::min(shortest, p.size());
  gram_ = std::min<std::size_t>(4, shortest);
  // Every pattern must hold `stride_` grams from some offset. Four grams
  // apart at most: beyond that, each pattern's grams fill the bit set faster
  // than the tests saved.
  stride_ = std::min<std::size_t>(4, shortest - gram_ + 1);
  keyMask_ = gram_ == 4 ? ~std::uint32_t{0} : (std::uint32_t{1} << (8 * gram_)) - 1;

  // How many patterns hold each gram anywhere in their indexed bytes: a gram
  // few patterns hold is rare in text made of the patterns' neighbours.
  std::unordered_map<std::uint32_t, std::uint32_t> holders;
  std::vector<std::uint32_t> seen;
  const auto keyIn = [&](std::string_view p, std::size_t at) {
    return keyNearEnd(reinterpret_cast<const unsigned char*>(p.data()) + at, p.size() - at);
  };
  for (const std::string_view p : patterns) {
    seen.clear();
    const std::size_t reach = std::min(p.size(), kAnchorReach);
    for (std::size_t at = 0; at + gram_ <= reach; ++at) seen.push_back(keyIn(p, at));
    std::sort(seen.begin(), seen.end());
    seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
    for (const std::uint32_t key : seen) ++holders[key];
  }

  // Each pattern's offset: the `stride_` grams from it held by the fewest
  // patterns in sum; the first such offset on a tie.
  entries_.reserve(patterns.size() * stride_);
  for (std::size_t id = 0; id < patterns.size(); ++id) {
    const std::string_view p = patterns[id];
    const std::size_t reach = std::min(p.size(), kAnchorReach);
    std::size_t best = 0;
    std::uint64_t bestHeld = ~std::uint64_t{0};
    for (std::size_t at = 0; at + stride_ - 1 + gram_ <= reach; ++at) {
      std::uint64_t held = 0;
      for (std::size_t k = 0; k < stride_; ++k) held += holders[keyIn(p, at + k)];
      if (held < bestHeld) {
        bestHeld = held;
        best = at;
      }
    }
    for (std::size_t k = 0; k < stride_; ++k) {
      entries_.push_back({keyIn(p, best + k), static_cast<std::uint32_t>(id),
                          static_cast<std::uint32_t>(best + k)});
    }
  }

  // About one bucket per entry.
  const unsigned bucketBits = std::clamp(log2Ceil(entries_.size()), 4u, kHashBits);
  bucketShift_ = kHashBits - bucketBits;
  table_.assign(std::size_t{1} << kHashBits, 0);
  firstPairs_.assign(std::size_t{1} << 16, gram_ == 1 ? 1 : 0);
  for (const Entry& e : entries_) {
    table_[hash(e.key)] = 1;
    if (gram_ > 1) {
      unsigned char four[4];
      std::memcpy(four, &e.key, sizeof four);
      // The key's first bytes are the gram's first ones (see keyAt).
      if constexpr (std::endian::native != std::endian::little) {
        const std::uint32_t shifted = e.key << (32 - 8 * gram_);
        std::memcpy(four, &shifted, sizeof four);
      }
      firstPairs_[pairAt(four)] = 1;
    }
  }
  const auto bucketOf = [&](const Entry& e) { return hash(e.key) >> bucketShift_; };
  std::sort(entries_.begin(), entries_.end(), [&](const Entry& a, const Entry& b) {
    const std::uint32_t ba = bucketOf(a);
    const std::uint32_t bb = bucketOf(b);
    return ba != bb ? ba < bb : a.back > b.back;
  });
  bucketBegin_.assign((std::size_t{1} << bucketBits) + 1, 0);
  for (const Entry& e : entries_) ++bucketBegin_[bucketOf(e) + 1];
  for (std::size_t b = 1; b < bucketBegin_.size(); ++b) bucketBegin_[b] += bucketBegin_[b - 1];
}
