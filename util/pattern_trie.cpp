#include "util/pattern_trie.h"

#include <algorithm>
#include <new>
#include <utility>

PatternTrie::PatternTrie(const std::vector<std::string_view>& patterns, std::size_t stride)
    : startPairs_(std::size_t{1} << 16, 0), stride_(stride) {
  for (const std::string_view pattern : patterns) {
    const auto* const bytes = reinterpret_cast<const unsigned char*>(pattern.data());
    if (pattern.size() == 1) {
      oneBytePattern_[bytes[0]] = true;
      for (unsigned second = 0; second < 256; ++second) {
        const unsigned char both[2] = {bytes[0], static_cast<unsigned char>(second)};
        startPairs_[pairAt(both)] |= kFirstPair;
      }
    } else {
      startPairs_[pairAt(bytes)] |= kFirstPair;
    }
    for (std::size_t k = 1; k < stride_; ++k) {
      startPairs_[pairAt(bytes + k)] |= static_cast<unsigned char>(1u << k);
    }
  }

  // The trie is built from the patterns' indexed bytes in sorted order: the
  // patterns below a state are a range of them, the shorter first, so each
  // node is made with no state of its own to hold.
  std::vector<std::string_view> indexed(patterns.size());
  std::vector<std::uint32_t> sorted(patterns.size());
  for (std::uint32_t id = 0; id < patterns.size(); ++id) {
    indexed[id] = patterns[id].substr(0, kIndexedPrefix);
    sorted[id] = id;
  }
  std::sort(sorted.begin(), sorted.end(), [&](std::uint32_t a, std::uint32_t b) {
    const int order = indexed[a].compare(indexed[b]);
    return order != 0 ? order < 0 : a < b;
  });
  addNode(indexed, sorted, 0, sorted.size(), 0);
  edgeBegin_.push_back(static_cast<std::uint32_t>(edges_.size()));
  labels_.resize(labels_.size() + 8, 0);
  for (std::uint32_t e = edgeBegin_[0]; e < edgeBegin_[1]; ++e) {
    rootNext_[edgeByte_[e]] = edges_[e].target;
  }
  pairState_.reset(
      static_cast<std::uint32_t*>(std::calloc(std::size_t{1} << 16, sizeof(std::uint32_t))));
  if (!pairState_) throw std::bad_alloc();
  for (unsigned first = 0; first < 256; ++first) {
    const std::uint32_t node = rootNext_[first];
    if (node == 0) continue;
    for (std::uint32_t e = edgeBegin_[node]; e < edgeBegin_[node + 1]; ++e) {
      const unsigned char both[2] = {static_cast<unsigned char>(first), edgeByte_[e]};
      pairState_[pairAt(both)] = edges_[e].target | kGated;
    }
  }
  gate_.assign((std::size_t{1} << kGateBits) / 64, 0);
  for (const std::string_view pattern : patterns) {
    const auto* const bytes = reinterpret_cast<const unsigned char*>(pattern.data());
    if (pattern.size() >= kGatedLength) {
      const std::size_t bit = gateHash(gatedBytes(bytes, pattern.size()));
      gate_[bit / 64] |= std::uint64_t{1} << (bit % 64);
    } else if (pattern.size() >= 2) {
      pairState_[pairAt(bytes)] &= ~kGated;
    }
  }
}

std::uint32_t PatternTrie::addNode(const std::vector<std::string_view>& indexed,
                                   const std::vector<std::uint32_t>& sorted, std::size_t lo,
                                   std::size_t hi, std::size_t depth) {
  // Nodes are numbered depth first, and each one's edges are added when it
  // is, so that they follow those of the nodes before it.
  const auto node = static_cast<std::uint32_t>(ownPattern_.size());
  const auto at = [&](std::size_t k, std::size_t d) {
    return static_cast<unsigned char>(indexed[sorted[k]][d]);
  };
  // The patterns whose indexed bytes end here sort first, by id.
  std::size_t ends = lo;
  while (ends < hi && indexed[sorted[ends]].size() == depth) ++ends;
  std::int32_t own = -1;
  if (ends - lo == 1) {
    own = static_cast<std::int32_t>(sorted[lo]);
  } else if (ends - lo > 1) {  // long patterns that share their indexed bytes
    sharedEnds_.emplace_back(sorted.begin() + static_cast<std::ptrdiff_t>(lo),
                             sorted.begin() + static_cast<std::ptrdiff_t>(ends));
    own = -1 - static_cast<std::int32_t>(sharedEnds_.size());
  }
  ownPattern_.push_back(own);
  edgeBegin_.push_back(static_cast<std::uint32_t>(edges_.size()));
  // An edge for each byte the patterns go on with, in byte order. Its label
  // holds the bytes of the states of one edge each below it: those, past
  // two bytes below the root, where no pattern ends and all go on alike.
  const std::size_t first = edges_.size();
  for (std::size_t a = ends; a < hi;) {
    const unsigned char byte = at(a, depth);
    std::size_t b = a + 1;
    while (b < hi && at(b, depth) == byte) ++b;
    const auto label = static_cast<std::uint32_t>(labels_.size());
    for (std::size_t below = depth + 1;
         below >= 3 && indexed[sorted[a]].size() > below && at(a, below) == at(b - 1, below);
         ++below) {
      labels_.push_back(at(a, below));
    }
    edgeByte_.push_back(byte);
    edges_.push_back({0, label, static_cast<std::uint32_t>(labels_.size()) - label});
    a = b;
  }
  const std::size_t last = edges_.size();
  for (std::size_t e = first, a = ends; e < last; ++e) {
    std::size_t b = a + 1;
    while (b < hi && at(b, depth) == edgeByte_[e]) ++b;
    const std::uint32_t target = addNode(indexed, sorted, a, b, depth + 1 + edges_[e].length);
    edges_[e].target = target;
    a = b;
  }
  return node;
}
