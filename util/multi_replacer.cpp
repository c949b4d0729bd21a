#include "util/multi_replacer.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

#include "util/string_utils.h"

MultiReplacer::MultiReplacer(std::vector<BytePair> pairs)
    : MultiReplacer(std::move(pairs), std::nullopt) {}

MultiReplacer::MultiReplacer(std::vector<BytePair> pairs, PatternSearch::Strategy strategy)
    : MultiReplacer(std::move(pairs), std::optional(strategy)) {}

MultiReplacer::MultiReplacer(std::vector<BytePair> pairs,
                             std::optional<PatternSearch::Strategy> strategy) {
  // Pairs that can never replace anything are left out: they would change
  // nothing in their turn.
  for (BytePair& pair : pairs) {
    if (!pair.search.empty() && pair.search.size() == pair.replacement.size()) {
      pairs_.push_back(std::move(pair));
    }
  }
  std::vector<std::string> patterns;
  std::map<std::string, std::uint32_t> idOf;
  for (std::size_t i = 0; i < pairs_.size(); ++i) {
    const auto [it, added] =
        idOf.emplace(pairs_[i].search, static_cast<std::uint32_t>(patterns.size()));
    if (added) {
      patterns.push_back(pairs_[i].search);
      pairsOfPattern_.emplace_back();
    }
    pairsOfPattern_[it->second].push_back(static_cast<std::uint32_t>(i));
    longestPattern_ = std::max(longestPattern_, pairs_[i].search.size());
  }
  if (patterns.empty()) return;
  search_.emplace(patterns, strategy ? PatternSearch::choose(patterns, *strategy)
                                     : PatternSearch::choose(patterns));
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

  if (plainScan_[pairIndex]) {
    UTF8Utils::replaceInBytes(buffer, pair.search, pair.replacement, [&](std::size_t at) {
      writes.push_back({at, at + m});
    });
    return;
  }

  std::vector<std::size_t>& list = candidates_[pairIndex];
  candidateCount_ -= list.size();  // all of them, duplicates included, as they were added
  if (unsorted_[pairIndex]) {
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
  }
  std::size_t pos = 0;
  for (const std::size_t start : list) {
    // Earlier pairs may have changed these bytes since the candidate was seen.
    if (start < pos || std::memcmp(data + start, pair.search.data(), m) != 0) continue;
    std::memcpy(data + start, pair.replacement.data(), m);
    writes.push_back({start, start + m});
    pos = start + m;
  }
  list.clear();
}

void MultiReplacer::rescanAround(std::size_t pairIndex, const std::vector<Write>& writes,
                                 std::span<const char> buffer) {
  // An occurrence of length up to L that overlaps a write lies within L - 1
  // bytes of it; neighbouring windows are merged so each byte is scanned once.
  const std::size_t reach = longestPattern_ - 1;
  const auto scanWindow = [&](std::size_t begin, std::size_t end) {
    search_->scan(buffer.data(), begin, end, [&](std::uint32_t id, std::size_t start) {
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

bool MultiReplacer::apply(std::span<char> buffer) { return apply(buffer, BeforeWrites()); }

bool MultiReplacer::apply(std::span<char> buffer, const BeforeWrites& beforeWrites) {
  if (!search_ || buffer.empty()) return false;
  // Every pair's candidates are used up by its turn, so the lists are empty
  // here unless an exception (memory) ended the last call half way.
  candidates_.resize(pairs_.size());
  for (auto& list : candidates_) list.clear();
  unsorted_.assign(pairs_.size(), false);
  plainScan_.assign(pairs_.size(), false);
  candidateCount_ = 0;

  search_->scan(buffer.data(), 0, buffer.size(), [&](std::uint32_t id, std::size_t start) {
    for (const std::uint32_t owner : pairsOfPattern_[id]) addCandidate(owner, start);
  });
  const bool plain = std::find(plainScan_.begin(), plainScan_.end(), true) != plainScan_.end();
  if (beforeWrites && (candidateCount_ > 0 || plain)) {
    const std::span<char> ready = beforeWrites(plain ? buffer.size() : candidateCount_);
    if (ready.size() == buffer.size()) buffer = ready;
  }

  bool replaced = false;
  std::vector<Write> writes;
  for (std::size_t i = 0; i < pairs_.size(); ++i) {
    writes.clear();
    applyPair(i, buffer, writes);
    if (writes.empty()) continue;
    replaced = true;
    if (i + 1 < pairs_.size()) rescanAround(i, writes, buffer);
  }
  return replaced;
}
