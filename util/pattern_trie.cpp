#include "util/pattern_trie.h"

#include <algorithm>
#include <new>
#include <utility>

PatternTrie::PatternTrie(const std::vector<std::string_view>& patterns, std::size_t stride)
    : startPairs_(std::size_t{1} << 16, 0), stride_(stride) {
  // Each state's children kept sorted by byte while the trie grows.
  std::vector<std::vector<std::pair<unsigned char, std::uint32_t>>> children(1);
  std::vector<std::int32_t> ownOf(1, -1);  // by state, as ownPattern_ by node
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
        ownOf.push_back(-1);
        state = added;
      } else {
        state = it->second;
      }
    }
    // Distinct patterns end at distinct states unless they are longer than
    // the indexed bytes and share them.
    std::int32_t& own = ownOf[state];
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

  // The nodes: the root, the states one and two bytes below it, and those
  // where a pattern ends or the trie branches. Each is numbered depth first.
  std::vector<bool> isNode(children.size(), false);
  for (std::uint32_t state = 0; state < children.size(); ++state) {
    isNode[state] = ownOf[state] != -1 || children[state].size() != 1;
  }
  isNode[0] = true;
  for (const auto& [b, first] : children[0]) {
    isNode[first] = true;
    for (const auto& [b2, second] : children[first]) isNode[second] = true;
  }
  // The node that the states of one edge each lead to from `state`, with
  // their bytes appended to `label` when one is given.
  const auto nodeBelow = [&](std::uint32_t state, std::vector<unsigned char>* label) {
    while (!isNode[state]) {
      if (label != nullptr) label->push_back(children[state].front().first);
      state = children[state].front().second;
    }
    return state;
  };
  std::vector<std::uint32_t> order;  // node number -> state
  std::vector<std::uint32_t> numberOf(children.size(), 0);
  std::vector<std::uint32_t> pending = {0};
  while (!pending.empty()) {
    const std::uint32_t state = pending.back();
    pending.pop_back();
    numberOf[state] = static_cast<std::uint32_t>(order.size());
    order.push_back(state);
    for (auto it = children[state].rbegin(); it != children[state].rend(); ++it) {
      pending.push_back(nodeBelow(it->second, nullptr));
    }
  }

  edgeBegin_.reserve(order.size() + 1);
  ownPattern_.reserve(order.size());
  for (const std::uint32_t state : order) {
    edgeBegin_.push_back(static_cast<std::uint32_t>(edges_.size()));
    ownPattern_.push_back(ownOf[state]);
    for (const auto& [b, child] : children[state]) {
      const auto label = static_cast<std::uint32_t>(labels_.size());
      const std::uint32_t target = nodeBelow(child, &labels_);
      edgeByte_.push_back(b);
      edges_.push_back(
          {numberOf[target], label, static_cast<std::uint32_t>(labels_.size()) - label});
    }
  }
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
