#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>
#include <vector>

#include "util/byte_finder.h"
#include "util/gram_filter.h"
#include "util/pattern_trie.h"
#include "util/vector_filter.h"

// Finds every occurrence of a list of byte patterns in a buffer, with the
// strategy that suits the list: one of four, each in a file of its own.
class PatternSearch {
 public:
  enum class Strategy {
    kSinglePatterns,  // one ByteFinder search per pattern (byte_finder.h)
    kVectorFilter,    // the vector filter, the trie behind it (vector_filter.h)
    kPairTable,       // the start-pair table and the trie alone (pattern_trie.h)
    kGramFilter,      // one rare gram of each pattern, hashed (gram_filter.h); the
                      // patterns shorter than kLongPattern by the pair table
  };
  // Every strategy, for tests and the fuzzer that run each on every list.
  static constexpr std::array<Strategy, 4> kStrategies = {
      Strategy::kSinglePatterns, Strategy::kVectorFilter, Strategy::kPairTable,
      Strategy::kGramFilter};

  // The strategy for `patterns`, and the stride of the pair table. Every
  // threshold that picks them is in this function.
  struct Plan {
    Strategy strategy;
    std::size_t stride;
  };
  static Plan choose(const std::vector<std::string_view>& patterns);
  // The same with the strategy fixed, so that tests and the fuzzer can run
  // every strategy on every kind of list; a vector filter where the
  // processor has none becomes the pair table.
  static Plan choose(const std::vector<std::string_view>& patterns, Strategy strategy);

  // The gram filter tests every third position for patterns of this many
  // bytes and more (a gram of four, in each of three places); a shorter one
  // would make it test more, and is searched for apart, with the others of
  // its kind. On text-dense bytes, 1,000 translator rules took 17.9 ms with
  // this bound, 18.0 ms with 5 and 22.4 ms with 7 (every fourth position,
  // but the two-character texts apart).
  static constexpr std::size_t kLongPattern = 6;

  // Occurrences kept as candidates at once, across all patterns, before a
  // caller that collects them gives up collecting for a pattern and searches
  // for it alone, with a ByteFinder, in its turn: the positions take 8 MiB
  // at this count, and a pattern found at nearly every place costs no more
  // searched again than collected.
  static constexpr std::size_t kCandidateBudget = std::size_t{1} << 20;

  // Searches for `patterns` (none empty; their ids are their indices). Keeps
  // views of them, which must outlive the search.
  PatternSearch(const std::vector<std::string_view>& patterns, Plan plan);

  // Calls found(id, start) for every occurrence that lies wholly inside
  // data[begin, end): each pattern's in ascending order of start; those of
  // different patterns one pattern after the other (single-pattern
  // searches), mixed in ascending order (the trie) or mixed in no order (the
  // gram filter). The trie also reports
  // a pattern longer than PatternTrie::kIndexedPrefix where only those first
  // bytes occur, possibly running past `end`: the caller confirms what it
  // takes. A template, so that what the caller does with each occurrence is
  // compiled into the scan.
  template <typename Found>
  void scan(const char* data, std::size_t begin, std::size_t end, Found&& found) const;
  // The same for the starts before `startsEnd` alone (at most `end`), for a
  // caller that wants only the occurrences that reach into a stretch: the
  // trie does not test the positions past it; the others' finds past it are
  // dropped.
  template <typename Found>
  void scan(const char* data, std::size_t begin, std::size_t end, std::size_t startsEnd,
            Found&& found) const;

 private:
  struct SinglePatterns {
    std::vector<ByteFinder> finders;
  };
  struct FilteredTrie {
    VectorFilter filter;
    PatternTrie trie;
  };
  // One strategy over all the patterns.
  using Plain = std::variant<SinglePatterns, FilteredTrie, PatternTrie, GramFilter>;
  // The gram filter over the patterns of kLongPattern bytes and more, and
  // the pair table over the shorter ones; each with the ids its patterns
  // have in the whole list.
  struct Tiers {
    GramFilter longer;
    std::vector<std::uint32_t> longIds;
    Plain shorter;
    std::vector<std::uint32_t> shortIds;
  };
  using Search = std::variant<Plain, Tiers>;
  static Search build(const std::vector<std::string_view>& patterns, Plan plan);
  static Plain buildPlain(const std::vector<std::string_view>& patterns, Plan plan);
  template <typename Found>
  static void scanPlain(const Plain& search, const char* data, std::size_t begin, std::size_t end,
                        std::size_t startsEnd, Found&& found);

  Search search_;
};

template <typename Found>
void PatternSearch::scan(const char* data, std::size_t begin, std::size_t end,
                         Found&& found) const {
  scan(data, begin, end, end, found);
}

template <typename Found>
void PatternSearch::scan(const char* data, std::size_t begin, std::size_t end,
                         std::size_t startsEnd, Found&& found) const {
  startsEnd = std::min(startsEnd, end);
  if (begin >= startsEnd) return;
  if (const auto* plain = std::get_if<Plain>(&search_)) {
    scanPlain(*plain, data, begin, end, startsEnd, found);
    return;
  }
  const Tiers& tiers = std::get<Tiers>(search_);
  tiers.longer.scan(data, begin, end, [&](std::uint32_t id, std::size_t at) {
    if (at < startsEnd) found(tiers.longIds[id], at);
  });
  scanPlain(tiers.shorter, data, begin, end, startsEnd,
            [&](std::uint32_t id, std::size_t at) { found(tiers.shortIds[id], at); });
}

template <typename Found>
void PatternSearch::scanPlain(const Plain& search, const char* data, std::size_t begin,
                              std::size_t end, std::size_t startsEnd, Found&& found) {
  if (const auto* single = std::get_if<SinglePatterns>(&search)) {
    for (std::uint32_t id = 0; id < single->finders.size(); ++id) {
      const ByteFinder& finder = single->finders[id];
      std::size_t at = begin;
      while ((at = finder.find(data, end, at)) != ByteFinder::kNotFound && at < startsEnd) {
        found(id, at++);
      }
    }
  } else if (const auto* filtered = std::get_if<FilteredTrie>(&search)) {
    const std::size_t from = filtered->filter.scan(
        reinterpret_cast<const unsigned char*>(data), begin, end, [&](std::size_t at) {
          if (at < startsEnd) filtered->trie.patternsAt(data, at, end, found);
        });
    filtered->trie.scan(data, from, end, startsEnd, found);
  } else if (const auto* grams = std::get_if<GramFilter>(&search)) {
    grams->scan(data, begin, end, [&](std::uint32_t id, std::size_t at) {
      if (at < startsEnd) found(id, at);
    });
  } else {
    std::get<PatternTrie>(search).scan(data, begin, end, startsEnd, found);
  }
}
