#include "util/multi_replacer.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>


namespace {
constexpr std::uint32_t kNoEdge = static_cast<std::uint32_t>(-1);
// Up to this many distinct search texts, separate single-pattern searches are
// faster than the automaton (see bench/micro_bench.cpp).
constexpr std::size_t kFewPatterns = 6;
}  // namespace

MultiReplacer::MultiReplacer(std::vector<BytePair> pairs) : pairs_(std::move(pairs)) {
  usable_.resize(pairs_.size());
  for (std::size_t i = 0; i < pairs_.size(); ++i) {
    usable_[i] = !pairs_[i].search.empty() && pairs_[i].search.size() == pairs_[i].replacement.size();
    if (usable_[i]) lastUsablePair_ = i;
  }
  buildAutomaton();
}

void MultiReplacer::buildAutomaton() {
  std::map<std::string, std::uint32_t> idOf;
  for (std::size_t i = 0; i < pairs_.size(); ++i) {
    if (!usable_[i]) continue;
    const auto [it, added] = idOf.emplace(pairs_[i].search, static_cast<std::uint32_t>(patterns_.size()));
    if (added) {
      patterns_.push_back(pairs_[i].search);
      pairsOfPattern_.emplace_back();
    }
    pairsOfPattern_[it->second].push_back(static_cast<std::uint32_t>(i));
  }

  // Bytes that occur in no pattern share class 0, which keeps the table narrow.
  for (const std::string& p : patterns_) {
    for (const char ch : p) {
      const auto b = static_cast<unsigned char>(ch);
      if (classOf_[b] == 0) classOf_[b] = static_cast<std::uint16_t>(classCount_++);
    }
    startsPattern_[static_cast<unsigned char>(p[0])] = true;
    patternLength_.push_back(p.size());
    longestPattern_ = std::max(longestPattern_, p.size());
  }
  if (patterns_.size() <= kFewPatterns) {
    for (const std::string& p : patterns_) finders_.emplace_back(p);
  }

  const std::uint32_t k = classCount_;
  const auto addState = [&] {
    next_.insert(next_.end(), k, kNoEdge);
    ownPattern_.push_back(-1);
    return static_cast<std::uint32_t>(ownPattern_.size() - 1);
  };
  addState();  // root
  for (std::size_t id = 0; id < patterns_.size(); ++id) {
    std::uint32_t state = 0;
    for (const char ch : patterns_[id]) {
      const std::size_t slot = state * k + classOf_[static_cast<unsigned char>(ch)];
      if (next_[slot] == kNoEdge) {
        const std::uint32_t child = addState();
        next_[slot] = child;  // addState may have moved the table; index again
      }
      state = next_[slot];
    }
    ownPattern_[state] = static_cast<std::int32_t>(id);
  }

  // Breadth-first: fill the missing edges from the failure state and link each
  // state to the nearest proper suffix state that ends a pattern.
  const std::size_t states = ownPattern_.size();
  std::vector<std::uint32_t> fail(states, 0);
  outLink_.assign(states, 0);
  firstOut_.assign(states, 0);
  std::deque<std::uint32_t> queue;
  for (std::uint32_t c = 0; c < k; ++c) {
    std::uint32_t& edge = next_[c];
    if (edge == kNoEdge) {
      edge = 0;
    } else {
      queue.push_back(edge);
    }
  }
  while (!queue.empty()) {
    const std::uint32_t u = queue.front();
    queue.pop_front();
    firstOut_[u] = ownPattern_[u] >= 0 ? u : outLink_[u];
    for (std::uint32_t c = 0; c < k; ++c) {
      std::uint32_t& edge = next_[u * k + c];
      const std::uint32_t viaFail = next_[fail[u] * k + c];
      if (edge == kNoEdge) {
        edge = viaFail;
        continue;
      }
      fail[edge] = viaFail;
      outLink_[edge] = ownPattern_[viaFail] >= 0 ? viaFail : outLink_[viaFail];
      queue.push_back(edge);
    }
  }
}

template <typename Found>
void MultiReplacer::scan(const char* data, std::size_t begin, std::size_t end, Found&& found) const {
  if (!finders_.empty()) {
    for (std::uint32_t id = 0; id < finders_.size(); ++id) {
      std::size_t at = begin;
      while ((at = finders_[id].find(data, end, at)) != ByteFinder::kNotFound) found(id, at++);
    }
    return;
  }
  const std::uint32_t k = classCount_;
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
    state = next_[state * k + classOf_[b]];
    for (std::uint32_t s = firstOut_[state]; s != 0; s = outLink_[s]) {
      const auto id = static_cast<std::uint32_t>(ownPattern_[s]);
      found(id, i + 1 - patternLength_[id]);
    }
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

void MultiReplacer::applyPair(std::size_t pairIndex, std::vector<char>& buffer,
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
                                 const std::vector<char>& buffer) {
  // An occurrence of length up to L that overlaps a write lies within L - 1
  // bytes of it; neighbouring windows are merged so each byte is scanned once.
  const std::size_t reach = longestPattern_ - 1;
  const auto scanWindow = [&](std::size_t begin, std::size_t end) {
    scan(buffer.data(), begin, end, [&](std::uint32_t id, std::size_t start) {
      const std::vector<std::uint32_t>& owners = pairsOfPattern_[id];
      for (auto it = std::upper_bound(owners.begin(), owners.end(), pairIndex); it != owners.end(); ++it) {
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

bool MultiReplacer::apply(std::vector<char>& buffer) {
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
