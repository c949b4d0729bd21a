#include "util/pattern_search.h"

#include <algorithm>
#include <utility>

PatternSearch::Plan PatternSearch::choose(const std::vector<std::string_view>& patterns) {
  // Up to three patterns, a ByteFinder search each beats the filters: over
  // the bench's targets, the first 2 / 3 / 4 / 5 / 6 translator rules took
  // 2.7 / 4.0 / 5.4 / 6.8 / 7.6 ms as single searches and 4.1 / 4.2 / 4.2 /
  // 4.2 / 4.4 ms through the vector filter.
  constexpr std::size_t kSinglePatternsUpTo = 3;
  // Up to 64 patterns, the vector filter; beyond that its eight buckets
  // saturate: 100 translator rules took 34 ms through it against 27 ms
  // through the pair table, and 2,048 patterns 226 ms.
  constexpr std::size_t kVectorFilterUpTo = 64;
  if (patterns.size() <= kSinglePatternsUpTo) return choose(patterns, Strategy::kSinglePatterns);
  if (patterns.size() <= kVectorFilterUpTo) return choose(patterns, Strategy::kVectorFilter);
  return choose(patterns, Strategy::kPairTable);
}

PatternSearch::Plan PatternSearch::choose(const std::vector<std::string_view>& patterns,
                                          Strategy strategy) {
  if (strategy == Strategy::kVectorFilter && !VectorFilter::available()) {
    strategy = Strategy::kPairTable;
  }
  // With no pattern shorter than three bytes, the pair table need only be
  // read at every stride-th position, one less than the shortest length and
  // at most four: each occurrence then covers a tested position with one of
  // its first stride pairs. In the engine harness, 100 translator rules
  // (shortest 4 bytes) took 9.2 to 9.5 ms at stride 3 against 10.9 ms at
  // stride 2, and rules of 8 bytes and more 5.9 to 6.3 ms at stride 4
  // against 8.9 to 9.1 ms.
  std::size_t shortest = patterns.empty() ? 1 : patterns.front().size();
  for (const std::string_view p : patterns) shortest = std::min(shortest, p.size());
  const std::size_t stride = shortest >= 3 ? std::min<std::size_t>(4, shortest - 1) : 1;
  return {strategy, stride};
}

PatternSearch::PatternSearch(const std::vector<std::string_view>& patterns, Plan plan)
    : search_(build(patterns, plan)) {}

PatternSearch::Search PatternSearch::build(const std::vector<std::string_view>& patterns,
                                           Plan plan) {
  if (plan.strategy != Strategy::kGramFilter) return buildPlain(patterns, plan);
  std::vector<std::string_view> longer;
  std::vector<std::string_view> shorter;
  std::vector<std::uint32_t> longIds;
  std::vector<std::uint32_t> shortIds;
  for (std::uint32_t id = 0; id < patterns.size(); ++id) {
    const bool isLong = patterns[id].size() >= kLongPattern;
    (isLong ? longer : shorter).push_back(patterns[id]);
    (isLong ? longIds : shortIds).push_back(id);
  }
  // All of one kind: the gram filter alone, with grams and a stride that fit
  // the shortest.
  if (longer.empty() || shorter.empty()) return GramFilter(patterns);
  return Tiers{GramFilter(longer), std::move(longIds),
               buildPlain(shorter, choose(shorter, Strategy::kPairTable)), std::move(shortIds)};
}

PatternSearch::Plain PatternSearch::buildPlain(const std::vector<std::string_view>& patterns,
                                               Plan plan) {
  switch (plan.strategy) {
    case Strategy::kSinglePatterns: {
      SinglePatterns single;
      for (const std::string_view p : patterns) single.finders.emplace_back(p);
      return single;
    }
    case Strategy::kVectorFilter:
      return FilteredTrie{VectorFilter(patterns), PatternTrie(patterns, plan.stride)};
    case Strategy::kGramFilter:
      return GramFilter(patterns);
    case Strategy::kPairTable:
      break;
  }
  return PatternTrie(patterns, plan.stride);
}
