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
  PatternSearch(std::vector<std::string> patterns, Plan plan);

  // Told each occurrence: the pattern's id and the position where it starts.
  class Sink {
   public:
    template <typename F>
    Sink(F& found)  // NOLINT: made from a lambda where a scan is called
        : object_(&found), call_([](void* object, std::uint32_t id, std::size_t start) {
            (*static_cast<F*>(object))(id, start);
          }) {}
    void operator()(std::uint32_t id, std::size_t start) const { call_(object_, id, start); }

   private:
    void* object_;
    void (*call_)(void*, std::uint32_t, std::size_t);
  };

  // Calls found(id, start) for every occurrence that lies wholly inside
  // data[begin, end): each pattern's in ascending order of start; those of
  // different patterns one pattern after the other (single-pattern
  // searches) or mixed in ascending order (the trie).
  void scan(const char* data, std::size_t begin, std::size_t end, Sink found) const;

  const std::vector<std::string>& patterns() const { return patterns_; }

 private:
  std::vector<std::string> patterns_;
  std::vector<ByteFinder> finders_;       // kSinglePatterns
  std::optional<VectorFilter> filter_;    // kVectorFilter
  std::optional<PatternTrie> trie_;       // kVectorFilter and kPairTable
};
