#include "util/multi_replacer.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

MultiReplacer::MultiReplacer(std::vector<BytePair> pairs)
    : MultiReplacer(std::move(pairs), std::nullopt) {}

MultiReplacer::MultiReplacer(std::vector<BytePair> pairs, PatternSearch::Strategy strategy)
    : MultiReplacer(std::move(pairs), std::optional(strategy)) {}

MultiReplacer::MultiReplacer(std::vector<BytePair> pairs,
                             std::optional<PatternSearch::Strategy> strategy) {
  auto rules = std::make_shared<Rules>();
  // Pairs that can never replace anything are left out: they would change
  // nothing in their turn.
  for (const BytePair& pair : pairs) {
    if (!pair.search.empty() && pair.search.size() == pair.replacement.size()) {
      rules->pairs.push_back(pair);
    }
  }
  std::vector<std::string_view> patterns;
  std::map<std::string_view, std::uint32_t> idOf;
  for (std::size_t i = 0; i < rules->pairs.size(); ++i) {
    const std::string_view search = rules->pairs[i].search;
    const auto [it, added] = idOf.emplace(search, static_cast<std::uint32_t>(patterns.size()));
    if (added) {
      patterns.push_back(search);
      rules->pairsOfPattern.emplace_back();
    }
    rules->pairsOfPattern[it->second].push_back(static_cast<std::uint32_t>(i));
    rules->longestPattern = std::max(rules->longestPattern, search.size());
    rules->undecidedAtMost += search.size() - 1;
  }
  if (!patterns.empty()) {
    rules->search.emplace(patterns, strategy ? PatternSearch::choose(patterns, *strategy)
                                             : PatternSearch::choose(patterns));
  }
  rules_ = std::move(rules);
  finders_.resize(rules_->pairs.size());
}

MultiReplacer::MultiReplacer(SharedRules, std::shared_ptr<const Rules> rules)
    : rules_(std::move(rules)) {
  finders_.resize(rules_->pairs.size());
}

MultiReplacer MultiReplacer::sharingRules() const { return MultiReplacer(SharedRules(), rules_); }

void MultiReplacer::start() {
  const std::size_t n = rules_->pairs.size();
  candidates_.resize(n);
  for (auto& list : candidates_) {
    list.clear();
    releaseIfLarge(list);
  }
  unsorted_.assign(n, false);
  ownSearch_.assign(n, false);
  decided_.assign(n, 0);
  next_.assign(n, 0);
  candidateCount_ = 0;
  handedIn_ = 0;
  final_ = 0;
  replaced_ = false;
}

bool MultiReplacer::apply(std::span<char> buffer) { return apply(buffer, BeforeWrites()); }

bool MultiReplacer::apply(std::span<char> buffer, const BeforeWrites& beforeWrites) {
  start();
  feed(buffer, true, beforeWrites);
  return replaced_;
}

std::size_t MultiReplacer::feed(std::span<char> window, bool last) {
  return feed(window, last, BeforeWrites());
}

std::size_t MultiReplacer::feed(std::span<char> bytes, bool last,
                                const BeforeWrites& beforeWrites) {
  Window window{bytes, final_};
  const std::size_t end = window.end();
  if (!rules_->search) {
    final_ = handedIn_ = end;
    return bytes.size();
  }
  // Occurrences that end in the bytes added.
  const std::size_t reach = rules_->longestPattern - 1;
  scanFor(0, window, std::max(window.base, handedIn_ > reach ? handedIn_ - reach : 0), end);
  handedIn_ = end;

  if (beforeWrites) {
    const bool searchedAlone =
        std::find(ownSearch_.begin(), ownSearch_.end(), true) != ownSearch_.end();
    if (candidateCount_ > 0 || searchedAlone) {
      const std::span<char> ready = beforeWrites(searchedAlone ? bytes.size() : candidateCount_);
      if (ready.size() == bytes.size()) window.bytes = ready;
    }
  }

  std::vector<Write> writes;
  std::size_t limit = end;  // the frontier of the pair before
  for (std::size_t i = 0; i < rules_->pairs.size(); ++i) {
    const std::size_t behind = rules_->pairs[i].search.size() - 1;
    if (!last) limit = limit > behind ? limit - behind : 0;
    writes.clear();
    if (limit > decided_[i]) {
      applyPair(i, window, limit, writes);
      decided_[i] = limit;
    }
    if (writes.empty()) continue;
    replaced_ = true;
    if (i + 1 < rules_->pairs.size()) rescanAround(i, writes, window);
  }
  final_ = std::max(final_, limit);
  return final_ - window.base;
}

void MultiReplacer::scanFor(std::size_t firstPair, Window window, std::size_t begin,
                            std::size_t end) {
  const Rules& rules = *rules_;
  rules.search->scan(window.bytes.data(), begin - window.base, end - window.base,
                [&](std::uint32_t id, std::size_t at) {
                  const std::size_t start = window.base + at;
                  const std::vector<std::uint32_t>& owners = rules.pairsOfPattern[id];
                  for (auto it = std::lower_bound(owners.begin(), owners.end(), firstPair);
                       it != owners.end(); ++it) {
                    if (start >= decided_[*it]) addCandidate(*it, start);
                  }
                });
}

void MultiReplacer::addCandidate(std::size_t pairIndex, std::size_t start) {
  if (ownSearch_[pairIndex]) return;
  std::vector<std::size_t>& list = candidates_[pairIndex];
  if (candidateCount_ >= candidateBudget_) {
    ownSearch_[pairIndex] = true;
    candidateCount_ -= list.size();
    std::vector<std::size_t>().swap(list);
    return;
  }
  if (!list.empty() && start <= list.back()) unsorted_[pairIndex] = true;
  list.push_back(start);
  ++candidateCount_;
}

void MultiReplacer::applyPair(std::size_t pairIndex, Window window, std::size_t limit,
                              std::vector<Write>& writes) {
  const BytePair& pair = rules_->pairs[pairIndex];
  const std::size_t m = pair.search.size();
  char* const data = window.bytes.data();
  std::size_t& next = next_[pairIndex];
  // Writes whose rescans would overlap are kept as one: a dense file then
  // holds few, and is rescanned over the same bytes.
  const std::size_t gap = 2 * (rules_->longestPattern - 1);
  const auto write = [&](std::size_t start) {
    std::memcpy(data + (start - window.base), pair.replacement.data(), m);
    if (!writes.empty() && start <= writes.back().end + gap) {
      writes.back().end = start + m;
    } else {
      writes.push_back({start, start + m});
    }
    next = start + m;
  };

  if (ownSearch_[pairIndex]) {
    std::optional<ByteFinder>& finder = finders_[pairIndex];
    if (!finder) finder.emplace(pair.search);
    // Starts before `limit` whose bytes the window holds.
    const std::size_t size = std::min(limit + m - 1, window.end()) - window.base;
    std::size_t at = std::max(decided_[pairIndex], next) - window.base;
    while ((at = finder->find(data, size, at)) != ByteFinder::kNotFound) {
      write(window.base + at);
      at += m;
    }
    return;
  }

  std::vector<std::size_t>& list = candidates_[pairIndex];
  if (unsorted_[pairIndex]) {
    std::sort(list.begin(), list.end());
    const auto unique = std::unique(list.begin(), list.end());
    candidateCount_ -= static_cast<std::size_t>(list.end() - unique);
    list.erase(unique, list.end());
    unsorted_[pairIndex] = false;
  }
  auto it = list.begin();
  for (; it != list.end() && *it < limit; ++it) {
    const std::size_t start = *it;
    // Earlier pairs may have changed these bytes since the candidate was
    // seen; a long text was seen by its first bytes only.
    if (start < next || start + m > window.end() ||
        std::memcmp(data + (start - window.base), pair.search.data(), m) != 0) {
      continue;
    }
    write(start);
  }
  candidateCount_ -= static_cast<std::size_t>(it - list.begin());
  list.erase(list.begin(), it);
  releaseIfLarge(list);
}

void MultiReplacer::releaseIfLarge(std::vector<std::size_t>& list) {
  // A list that grew in a window dense with its text keeps its room only
  // while it holds candidates: one pair at a time may take the budget's
  // room, not every pair in turn.
  constexpr std::size_t kKept = 512;
  if (list.empty() && list.capacity() > kKept) std::vector<std::size_t>().swap(list);
}

void MultiReplacer::rescanAround(std::size_t pairIndex, const std::vector<Write>& writes,
                                 Window window) {
  // An occurrence of length up to L that overlaps a write lies within L - 1
  // bytes of it; neighbouring windows are merged so each byte is scanned once.
  const std::size_t reach = rules_->longestPattern - 1;
  std::size_t scanBegin = 0;
  std::size_t scanEnd = 0;  // none yet
  for (const Write& w : writes) {
    const std::size_t begin = std::max(window.base, w.begin > reach ? w.begin - reach : 0);
    const std::size_t end = std::min(window.end(), w.end + reach);
    if (scanEnd != 0 && begin <= scanEnd) {
      scanEnd = end;
      continue;
    }
    if (scanEnd != 0) scanFor(pairIndex + 1, window, scanBegin, scanEnd);
    scanBegin = begin;
    scanEnd = end;
  }
  if (scanEnd != 0) scanFor(pairIndex + 1, window, scanBegin, scanEnd);
}
