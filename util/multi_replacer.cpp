#include "util/multi_replacer.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace {
// Up to this many distinct search texts, separate single-pattern searches are
// faster than the automaton (see bench/micro_bench.cpp).
constexpr std::size_t kFewPatterns = 6;
}  // namespace

MultiReplacer::MultiReplacer(std::vector<BytePair> pairs, std::size_t denseTableEntries)
    : pairs_(std::move(pairs)), denseTableEntries_(denseTableEntries) {
  usable_.resize(pairs_.size());
  for (std::size_t i = 0; i < pairs_.size(); ++i) {
    usable_[i] =
        !pairs_[i].search.empty() && pairs_[i].search.size() == pairs_[i].replacement.size();
    if (usable_[i]) lastUsablePair_ = i;
  }
  buildAutomaton();
}

void MultiReplacer::buildAutomaton() {
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
  if (patterns_.size() <= kFewPatterns) {
    for (const std::string& p : patterns_) finders_.emplace_back(p);
    return;
  }

  // The trie, with each state's children kept sorted by byte while it grows.
  std::vector<std::vector<std::pair<unsigned char, std::uint32_t>>> children(1);
  ownPattern_.assign(1, -1);
  for (std::size_t id = 0; id < patterns_.size(); ++id) {
    std::uint32_t state = 0;
    for (const char ch : patterns_[id]) {
      const auto b = static_cast<unsigned char>(ch);
      auto& kids = children[state];
      auto it = std::lower_bound(kids.begin(), kids.end(), std::make_pair(b, std::uint32_t{0}));
      if (it == kids.end() || it->first != b) {
        const auto child = static_cast<std::uint32_t>(children.size());
        it = kids.insert(it, {b, child});
        children.emplace_back();  // invalidates `kids`, not `child`
        ownPattern_.push_back(-1);
        state = child;
      } else {
        state = it->second;
      }
    }
    ownPattern_[state] = static_cast<std::int32_t>(id);
    startsPattern_[static_cast<unsigned char>(patterns_[id][0])] = true;
  }
  const std::size_t states = children.size();
  edgeBegin_.reserve(states + 1);
  for (const auto& kids : children) {
    edgeBegin_.push_back(static_cast<std::uint32_t>(edgeByte_.size()));
    for (const auto& [b, target] : kids) {
      edgeByte_.push_back(b);
      edgeTarget_.push_back(target);
    }
  }
  edgeBegin_.push_back(static_cast<std::uint32_t>(edgeByte_.size()));
  std::vector<std::vector<std::pair<unsigned char, std::uint32_t>>>().swap(children);
  for (std::uint32_t e = edgeBegin_[0]; e < edgeBegin_[1]; ++e)
    rootNext_[edgeByte_[e]] = edgeTarget_[e];

  // Failure and output links, breadth first so a state's failure state (which
  // is shallower) is complete before the state itself.
  fail_.assign(states, 0);
  outLink_.assign(states, 0);
  firstOut_.assign(states, 0);
  std::vector<std::uint32_t> order;
  order.reserve(states);
  order.push_back(0);
  for (std::size_t k = 0; k < order.size(); ++k) {
    const std::uint32_t u = order[k];
    firstOut_[u] = ownPattern_[u] >= 0 ? u : outLink_[u];
    for (std::uint32_t e = edgeBegin_[u]; e < edgeBegin_[u + 1]; ++e) {
      const std::uint32_t v = edgeTarget_[e];
      const std::uint32_t f = u == 0 ? 0 : sparseStep(fail_[u], edgeByte_[e]);
      fail_[v] = f;
      outLink_[v] = ownPattern_[f] >= 0 ? f : outLink_[f];
      order.push_back(v);
    }
  }

  // The complete table, when its size stays modest.
  for (const unsigned char b : edgeByte_) {
    if (classOf_[b] == 0) classOf_[b] = static_cast<std::uint16_t>(classCount_++);
  }
  const std::size_t k = classCount_;
  // The sparse form costs memory in proportion to the patterns' total length;
  // the table adds states * classes entries, so it is built only when modest.
  if (states * k > denseTableEntries_) return;
  std::uint8_t representative[257] = {};  // a byte of each class; class 0 has none in any pattern
  for (unsigned b = 0; b < 256; ++b) representative[classOf_[b]] = static_cast<std::uint8_t>(b);
  next_.assign(states * k, 0);
  for (const std::uint32_t u : order) {
    for (std::size_t c = 0; c < k; ++c) {
      const auto b = static_cast<unsigned char>(representative[c]);
      std::uint32_t target = 0;
      if (c != 0) {
        const auto first = edgeByte_.begin() + edgeBegin_[u];
        const auto last = edgeByte_.begin() + edgeBegin_[u + 1];
        const auto it = std::lower_bound(first, last, b);
        if (it != last && *it == b) {
          target = edgeTarget_[static_cast<std::size_t>(it - edgeByte_.begin())];
        } else if (u != 0) {
          target = next_[fail_[u] * k + c];
        }
      }
      next_[u * k + c] = target;
    }
  }
  // The table replaces the edge lists and failure links in every scan.
  std::vector<std::uint32_t>().swap(edgeBegin_);
  std::vector<unsigned char>().swap(edgeByte_);
  std::vector<std::uint32_t>().swap(edgeTarget_);
  std::vector<std::uint32_t>().swap(fail_);
}

std::uint32_t MultiReplacer::sparseStep(std::uint32_t state, unsigned char byte) const {
  for (;;) {
    if (state == 0) return rootNext_[byte];
    const auto first = edgeByte_.begin() + edgeBegin_[state];
    const auto last = edgeByte_.begin() + edgeBegin_[state + 1];
    const auto it = std::lower_bound(first, last, byte);
    if (it != last && *it == byte)
      return edgeTarget_[static_cast<std::size_t>(it - edgeByte_.begin())];
    state = fail_[state];
  }
}

template <typename Step, typename Found>
void MultiReplacer::walk(const char* data, std::size_t begin, std::size_t end, Step&& step,
                         Found&& found) const {
  std::uint32_t state = 0;
  for (std::size_t i = begin; i < end; ++i) {
    auto b = static_cast<unsigned char>(data[i]);
    if (state == 0) {
      // At the root most bytes start nothing: skip them without a table load.
      while (!startsPattern_[b]) {
        if (++i == end) return;
        b = static_cast<unsigned char>(data[i]);
      }
    }
    state = step(state, b);
    for (std::uint32_t s = firstOut_[state]; s != 0; s = outLink_[s]) {
      const auto id = static_cast<std::uint32_t>(ownPattern_[s]);
      found(id, i + 1 - patterns_[id].size());
    }
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
  } else if (!next_.empty()) {
    const std::size_t k = classCount_;
    walk(
        data, begin, end,
        [&](std::uint32_t s, unsigned char b) { return next_[s * k + classOf_[b]]; }, found);
  } else {
    walk(
        data, begin, end, [&](std::uint32_t s, unsigned char b) { return sparseStep(s, b); },
        found);
  }
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
