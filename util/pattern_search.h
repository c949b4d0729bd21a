#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/byte_finder.h"
#include "util/pattern_trie.h"
#include "util/vector_filter.h"

// Finds every occurrence of a list of byte patterns in a buffer, with the
// strategy that suits the list: one of three, each in a file of its own.
class PatternSearch {
 public:
  enum class Strategy {
    kSinglePatterns,  // one ByteFinder search per pattern (byte_finder.h)
    kVectorFilter,    // the vector filter, the trie behind it (vector_filter.h)
    kPairTable,       // the start-pair table and the trie alone (pattern_trie.h)
  };

  // The strategy for `patterns`, and the stride of the pair table. Every
  // threshold that picks them is in this function.
  struct Plan {
    Strategy strategy;
    std::size_t stride;
  };
  static Plan choose(const std::vector<std::string>& patterns);
  // The same with the strategy fixed, so that tests and the fuzzer can run
  // every strategy on every kind of list; a vector filter where the
  // processor has none becomes the pair table.
  static Plan choose(const std::vector<std::string>& patterns, Strategy strategy);

  // Searches for `patterns` (none empty; their ids are their indices).
  PatternSearch(const std::vector<std::string>& patterns, Plan plan);

  // Calls found(id, start) for every occurrence that lies wholly inside
  // data[begin, end): each pattern's in ascending order of start; those of
  // different patterns one pattern after the other (single-pattern
  // searches) or mixed in ascending order (the trie). A template, so that
  // what the caller does with each occurrence is compiled into the scan.
  template <typename Found>
  void scan(const char* data, std::size_t begin, std::size_t end, Found&& found) const;

 private:
  std::vector<ByteFinder> finders_;     // kSinglePatterns
  std::optional<VectorFilter> filter_;  // kVectorFilter
  std::optional<PatternTrie> trie_;     // kVectorFilter and kPairTable
};

template <typename Found>
void PatternSearch::scan(const char* data, std::size_t begin, std::size_t end,
                         Found&& found) const {
  if (!trie_) {
    for (std::uint32_t id = 0; id < finders_.size(); ++id) {
      std::size_t at = begin;
      while ((at = finders_[id].find(data, end, at)) != ByteFinder::kNotFound) found(id, at++);
    }
    return;
  }
  if (begin >= end) return;
  std::size_t from = begin;
  if (filter_) {
    from = filter_->scan(reinterpret_cast<const unsigned char*>(data), begin, end,
                         [&](std::size_t at) { trie_->patternsAt(data, at, end, found); });
  }
  trie_->scan(data, from, end, found);
}
