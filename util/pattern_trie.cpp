#include "util/pattern_trie.h"

#include <algorithm>
#include <new>
#include <utility>

PatternTrie::PatternTrie(const std::vector<std::string_view>& patterns, std::size_t stride)
    : startPairs_(std::size_t{1} << 16, 0), stride_(stride) {
  // Each state's children kept sorted by byte while the trie grows.
  std::vector<std::vector<std::pair<unsigned char, std::uint32_t>>> children(1);
  ownPattern_.assign(1, -1);
  for (std::size_t id = 0; id < patterns.size(); ++id) {
    const std::string_view pattern = patterns[id];
    std::uint32_t state = 0;
    for (const char ch : pattern.substr(0, kIndexedPrefix)) {
      const auto b = static_cast<unsigned char>(ch);
      auto& kids = children[state];
      auto it = std::lower_bound(kids.begin(), kids.end(), std::make_pair(b, std::uint32_t{0}));
      if (it == kids.end() || it->first != b) {
        const auto added = static_cast<std::uint32_t>(children.size());
        it = kids.insert(it, {b, added});
        children.emplace_back();  // invalidates `kids`, not `added`
        ownPattern_.push_back(-1);
        state = added;
      } else {
        state = it->second;
      }
    }
    // Distinct patterns end at distinct states unless they are longer than
    // the indexed bytes and share them.
    std::int32_t& own = ownPattern_[state];
    if (own == -1) {
      own = static_cast<std::int32_t>(id);
    } else {
      if (own >= 0) {
        sharedEnds_.push_back({static_cast<std::uint32_t>(own)});
        own = -1 - static_cast<std::int32_t>(sharedEnds_.size());
      }
      sharedEnds_[static_cast<std::size_t>(-2 - own)].push_back(static_cast<std::uint32_t>(id));
    }

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

  edgeBegin_.reserve(children.size() + 1);
  for (const auto& kids : children) {
    edgeBegin_.push_back(static_cast<std::uint32_t>(edgeByte_.size()));
    for (const auto& [b, target] : kids) {
      edgeByte_.push_back(b);
      edgeTarget_.push_back(target);
    }
  }
  edgeBegin_.push_back(static_cast<std::uint32_t>(edgeByte_.size()));
  for (std::uint32_t e = edgeBegin_[0]; e < edgeBegin_[1]; ++e) {
    rootNext_[edgeByte_[e]] = edgeTarget_[e];
  }
  pairState_.reset(
      static_cast<std::uint32_t*>(std::calloc(std::size_t{1} << 16, sizeof(std::uint32_t))));
  if (!pairState_) throw std::bad_alloc();
  for (unsigned first = 0; first < 256; ++first) {
    const std::uint32_t state = rootNext_[first];
    if (state == 0) continue;
    for (std::uint32_t e = edgeBegin_[state]; e < edgeBegin_[state + 1]; ++e) {
      const unsigned char both[2] = {static_cast<unsigned char>(first), edgeByte_[e]};
      pairState_[pairAt(both)] = edgeTarget_[e];
    }
  }
}
