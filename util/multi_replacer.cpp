#include "util/multi_replacer.h"

#include <algorithm>
#include <cstring>
#include <map>

MultiReplacer::MultiReplacer(std::vector<BytePair> pairs, std::size_t fewPatterns)
    : pairs_(std::move(pairs)) {
  usable_.resize(pairs_.size());
  for (std::size_t i = 0; i < pairs_.size(); ++i) {
    usable_[i] =
        !pairs_[i].search.empty() && pairs_[i].search.size() == pairs_[i].replacement.size();
    if (usable_[i]) lastUsablePair_ = i;
  }
  std::map<std::string, std::uint32_t> idOf;
  for (std::size_t i = 0; i < pairs_.size(); ++i) {
    if (!usable_[i]) continue;
    const auto [it, added] =
        idOf.emplace(pairs_[i].search, static_cast<std::uint32_t>(patterns_.size()));
    if (added) {
      patterns_.push_back(pairs_[i].search);
      pairsOfPattern_.emplace_back();
    }
    pairsOfPattern_[it->second].push_back(static_cast<std::uint32_t>(i));
  }
  for (const std::string& p : patterns_) longestPattern_ = std::max(longestPattern_, p.size());
  if (patterns_.size() <= fewPatterns) {
    for (const std::string& p : patterns_) finders_.emplace_back(p);
  } else {
    buildTrie();
  }
}

void MultiReplacer::buildTrie() {
  // Each state's children kept sorted by byte while the trie grows.
  std::vector<std::vector<std::pair<unsigned char, std::uint32_t>>> children(1);
  ownPattern_.assign(1, -1);
  for (std::size_t id = 0; id < patterns_.size(); ++id) {
    const std::string& pattern = patterns_[id];
    std::uint32_t state = 0;
    for (const char ch : pattern) {
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
    ownPattern_[state] = static_cast<std::int32_t>(id);

    const auto first = static_cast<unsigned char>(pattern[0]);
    if (pattern.size() == 1) {
      oneBytePattern_[first] = true;
      for (unsigned second = 0; second < 256; ++second) {
        const unsigned pair = first | second << 8;
        startPairs_[pair / 64] |= std::uint64_t{1} << (pair % 64);
      }
    } else {
      const unsigned pair = first | static_cast<unsigned>(static_cast<unsigned char>(pattern[1]))
                                        << 8;
      startPairs_[pair / 64] |= std::uint64_t{1} << (pair % 64);
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
  for (std::uint32_t e = edgeBegin_[0]; e < edgeBegin_[1]; ++e)
    rootNext_[edgeByte_[e]] = edgeTarget_[e];
}

std::uint32_t MultiReplacer::child(std::uint32_t state, unsigned char byte) const {
  const auto first = edgeByte_.begin() + edgeBegin_[state];
  const auto last = edgeByte_.begin() + edgeBegin_[state + 1];
  const auto it = std::lower_bound(first, last, byte);
  if (it == last || *it != byte) return 0;
  return edgeTarget_[static_cast<std::size_t>(it - edgeByte_.begin())];
}

template <typename Found>
void MultiReplacer::patternsAt(const char* data, std::size_t start, std::size_t end,
                               Found&& found) const {
  std::uint32_t state = rootNext_[static_cast<unsigned char>(data[start])];
  for (std::size_t i = start + 1; state != 0; ++i) {
    if (ownPattern_[state] >= 0) found(static_cast<std::uint32_t>(ownPattern_[state]), start);
    if (i == end) return;
    state = child(state, static_cast<unsigned char>(data[i]));
  }
}

template <typename Found>
void MultiReplacer::scan(const char* data, std::size_t begin, std::size_t end,
                         Found&& found) const {
  if (!finders_.empty()) {
    for (std::uint32_t id = 0; id < finders_.size(); ++id) {
      std::size_t at = begin;
      while ((at = finders_[id].find(data, end, at)) != ByteFinder::kNotFound) found(id, at++);
    }
    return;
  }
  if (begin >= end) return;
  const auto* const bytes = reinterpret_cast<const unsigned char*>(data);
  const auto passes = [&](std::size_t i) {
    const unsigned pair = bytes[i] | static_cast<unsigned>(bytes[i + 1]) << 8;
    return (startPairs_[pair / 64] >> (pair % 64) & 1) != 0;
  };
  for (std::size_t i = begin; i + 1 < end; ++i) {
    if (passes(i)) patternsAt(data, i, end, found);
  }
  // The last byte can only start a pattern of one byte.
  if (oneBytePattern_[bytes[end - 1]]) patternsAt(data, end - 1, end, found);
}

void MultiReplacer::addCandidate(std::size_t pairIndex, std::size_t start) {
  if (plainScan_[pairIndex]) return;
  std::vector<std::size_t>& list = candidates_[pairIndex];
  if (candidateCount_ >= candidateBudget_) {
    plainScan_[pairIndex] = true;
    candidateCount_ -= list.size();
    std::vector<std::size_t>().swap(list);
    return;
  }
  list.push_back(start);
  ++candidateCount_;
}

void MultiReplacer::applyPair(std::size_t pairIndex, std::span<char> buffer,
                              std::vector<Write>& writes) {
  const BytePair& pair = pairs_[pairIndex];
  const std::size_t m = pair.search.size();
  char* const data = buffer.data();
  const auto overwrite = [&](std::size_t at) {
    std::memcpy(data + at, pair.replacement.data(), m);
    writes.push_back({at, at + m});
  };

  if (plainScan_[pairIndex]) {
    const ByteFinder finder(pair.search);
    std::size_t pos = 0;
    while ((pos = finder.find(data, buffer.size(), pos)) != ByteFinder::kNotFound) {
      overwrite(pos);
      pos += m;
    }
    return;
  }

  std::vector<std::size_t>& list = candidates_[pairIndex];
  if (unsorted_[pairIndex]) {
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
  }
  std::size_t pos = 0;
  for (const std::size_t start : list) {
    // Earlier pairs may have changed these bytes since the candidate was seen.
    if (start < pos || std::memcmp(data + start, pair.search.data(), m) != 0) continue;
    overwrite(start);
    pos = start + m;
  }
  candidateCount_ -= list.size();
  list.clear();
}

void MultiReplacer::rescanAround(std::size_t pairIndex, const std::vector<Write>& writes,
                                 std::span<const char> buffer) {
  // An occurrence of length up to L that overlaps a write lies within L - 1
  // bytes of it; neighbouring windows are merged so each byte is scanned once.
  const std::size_t reach = longestPattern_ - 1;
  const auto scanWindow = [&](std::size_t begin, std::size_t end) {
    scan(buffer.data(), begin, end, [&](std::uint32_t id, std::size_t start) {
      const std::vector<std::uint32_t>& owners = pairsOfPattern_[id];
      for (auto it = std::upper_bound(owners.begin(), owners.end(), pairIndex); it != owners.end();
           ++it) {
        addCandidate(*it, start);
        unsorted_[*it] = true;
      }
    });
  };
  std::size_t windowBegin = 0;
  std::size_t windowEnd = 0;
  for (const Write& w : writes) {
    const std::size_t begin = w.begin > reach ? w.begin - reach : 0;
    const std::size_t end = std::min(buffer.size(), w.end + reach);
    if (windowEnd != 0 && begin <= windowEnd) {
      windowEnd = end;
      continue;
    }
    if (windowEnd != 0) scanWindow(windowBegin, windowEnd);
    windowBegin = begin;
    windowEnd = end;
  }
  if (windowEnd != 0) scanWindow(windowBegin, windowEnd);
}

bool MultiReplacer::apply(std::span<char> buffer) {
  if (patterns_.empty() || buffer.empty()) return false;
  candidates_.resize(pairs_.size());
  unsorted_.assign(pairs_.size(), false);
  plainScan_.assign(pairs_.size(), false);
  candidateCount_ = 0;

  scan(buffer.data(), 0, buffer.size(), [&](std::uint32_t id, std::size_t start) {
    for (const std::uint32_t owner : pairsOfPattern_[id]) addCandidate(owner, start);
  });

  bool replaced = false;
  std::vector<Write> writes;
  for (std::size_t i = 0; i < pairs_.size(); ++i) {
    if (!usable_[i]) continue;
    writes.clear();
    applyPair(i, buffer, writes);
    if (writes.empty()) continue;
    replaced = true;
    if (i < lastUsablePair_) rescanAround(i, writes, buffer);
  }
  for (auto& list : candidates_) list.clear();
  candidateCount_ = 0;
  return replaced;
}
