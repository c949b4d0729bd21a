#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "util/byte_finder.h"

// One same-length byte replacement.
struct BytePair {
  std::string search;
  std::string replacement;
};

// Applies a list of same-length replacements to a buffer with the meaning of
// running UTF8Utils::replaceInBytes once per pair, in list order: each pair
// replaces left to right without overlap, on the result of the pairs before
// it. The cost is one pass over the buffer, not one per pair.
//
// How: an Aho-Corasick automaton over all search texts finds every occurrence
// in the original buffer in one scan and keeps them as candidates per pair.
// Pair i then takes its candidates in order, confirming each against the
// current bytes. Occurrences that earlier pairs created or destroyed can only
// overlap bytes that those pairs wrote, so after each pair the automaton scans
// just the neighbourhood of its writes and adds what it finds to the
// candidates of the later pairs. A pair whose candidates would pass a memory
// budget is instead applied by a plain scan of the whole buffer in its turn.
class MultiReplacer {
 public:
  // Pairs whose texts differ in length, or whose search text is empty, never
  // replace anything (as replaceInBytes would refuse them).
  // `denseTableEntries` bounds the complete transition table (4 bytes an
  // entry); larger automata follow failure links instead. Tests lower it to
  // reach that path.
  explicit MultiReplacer(std::vector<BytePair> pairs,
                         std::size_t denseTableEntries = std::size_t{8} << 20);

  // Applies all pairs to `buffer` in place; its length never changes. True
  // when at least one occurrence was overwritten, even with identical bytes.
  bool apply(std::span<char> buffer);

  // Candidate positions kept at once across all pairs before a pair switches
  // to a plain scan. Exposed so tests can force that path.
  void setCandidateBudget(std::size_t budget) { candidateBudget_ = budget; }

 private:
  struct Write {
    std::size_t begin;
    std::size_t end;
  };

  void buildAutomaton();
  std::uint32_t sparseStep(std::uint32_t state, unsigned char byte) const;
  // Calls found(patternId, start) for every occurrence that lies wholly
  // inside data[begin, end).
  template <typename Found>
  void scan(const char* data, std::size_t begin, std::size_t end, Found&& found) const;
  template <typename Step, typename Found>
  void walk(const char* data, std::size_t begin, std::size_t end, Step&& step, Found&& found) const;
  void addCandidate(std::size_t pairIndex, std::size_t start);
  void applyPair(std::size_t pairIndex, std::span<char> buffer, std::vector<Write>& writes);
  void rescanAround(std::size_t pairIndex, const std::vector<Write>& writes,
                    std::span<const char> buffer);

  std::vector<BytePair> pairs_;
  std::vector<bool> usable_;  // same length and non-empty

  // The distinct search texts and the pairs that search for each.
  std::vector<std::string> patterns_;
  std::vector<std::vector<std::uint32_t>> pairsOfPattern_;  // ascending pair indices
  std::size_t longestPattern_ = 0;
  std::size_t lastUsablePair_ = 0;

  // With few patterns, one memchr-driven search per pattern beats walking an
  // automaton byte by byte; then no automaton is built at all.
  std::vector<ByteFinder> finders_;

  // Otherwise an Aho-Corasick automaton: the trie of the patterns with failure
  // links. Each state's edges sit sorted by byte in edgeByte_/edgeTarget_
  // from edgeBegin_[s] to edgeBegin_[s + 1]; the root's row is complete.
  std::vector<std::uint32_t> edgeBegin_;
  std::vector<unsigned char> edgeByte_;
  std::vector<std::uint32_t> edgeTarget_;
  std::vector<std::uint32_t> fail_;
  std::vector<std::int32_t> ownPattern_;  // pattern ending exactly here, or -1
  std::vector<std::uint32_t> outLink_;    // nearest proper suffix state with a pattern, 0 = none
  std::vector<std::uint32_t> firstOut_;   // this state if it has a pattern, else outLink_
  std::uint32_t rootNext_[256] = {};
  bool startsPattern_[256] = {};
  // The complete transition table over byte classes (bytes that occur in no
  // pattern share class 0), built when it fits denseTableEntries_; the scan
  // then takes one table load per byte instead of following failure links.
  std::uint16_t classOf_[256] = {};
  std::uint32_t classCount_ = 1;
  std::vector<std::uint32_t> next_;  // state * classCount_ + class -> state
  std::size_t denseTableEntries_;

  // Per-call scratch, kept to reuse its allocations.
  std::vector<std::vector<std::size_t>> candidates_;
  std::vector<bool> unsorted_;
  std::vector<bool> plainScan_;
  std::size_t candidateCount_ = 0;
  std::size_t candidateBudget_ = std::size_t{1} << 20;
};
