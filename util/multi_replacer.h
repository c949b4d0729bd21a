#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "util/pattern_search.h"

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
// How: one scan (PatternSearch) finds every occurrence of every search text
// in the original buffer and keeps them as candidates per pair. Pair i then
// takes its candidates in order, confirming each against the current bytes.
// Occurrences that earlier pairs created or destroyed can only overlap bytes
// that those pairs wrote, so after each pair just the neighbourhood of its
// writes is scanned again, for the candidates of the later pairs. A pair
// whose candidates would pass a memory budget is instead applied by a plain
// scan of the whole buffer in its turn.
class MultiReplacer {
 public:
  // Pairs whose texts differ in length, or whose search text is empty, never
  // replace anything (as replaceInBytes would refuse them). The first form
  // lets PatternSearch choose how to scan; the second fixes the strategy, so
  // that tests and the fuzzer run every strategy on every kind of list.
  explicit MultiReplacer(std::vector<BytePair> pairs);
  MultiReplacer(std::vector<BytePair> pairs, PatternSearch::Strategy strategy);

  // Told, after the scan and before the first write, how many writes to
  // expect, for a caller whose buffer can be made ready for many writes at
  // once: the occurrences the scan found (an estimate: the writes of earlier
  // pairs can make and unmake later occurrences), or the buffer's size when
  // a pair is to be applied by a plain scan. Returns the bytes to write into
  // from then on: the buffer, or a copy of it of the same size.
  using BeforeWrites = std::function<std::span<char>(std::size_t writes)>;

  // Applies all pairs to `buffer` in place; its length never changes. True
  // when at least one occurrence was overwritten, even with identical bytes.
  bool apply(std::span<char> buffer);
  // The same, writing into the bytes `beforeWrites` gives; it is called
  // once, and only when the scan found something to write.
  bool apply(std::span<char> buffer, const BeforeWrites& beforeWrites);

  // Candidate positions kept at once across all pairs before a pair switches
  // to a plain scan. Exposed so tests can force that path.
  void setCandidateBudget(std::size_t budget) { candidateBudget_ = budget; }
  // Candidates kept for pairs not yet applied: none between calls.
  std::size_t candidatesHeld() const { return candidateCount_; }

 private:
  struct Write {
    std::size_t begin;
    std::size_t end;
  };

  MultiReplacer(std::vector<BytePair> pairs, std::optional<PatternSearch::Strategy> strategy);
  void addCandidate(std::size_t pairIndex, std::size_t start);
  void applyPair(std::size_t pairIndex, std::span<char> buffer, std::vector<Write>& writes);
  void rescanAround(std::size_t pairIndex, const std::vector<Write>& writes,
                    std::span<const char> buffer);

  std::vector<BytePair> pairs_;  // those that can replace, in list order
  // The pairs that search for each distinct search text, by the text's id in
  // search_, in ascending order.
  std::vector<std::vector<std::uint32_t>> pairsOfPattern_;
  std::size_t longestPattern_ = 0;
  std::optional<PatternSearch> search_;  // none when no pair can replace

  // Per-call scratch, kept to reuse its allocations.
  std::vector<std::vector<std::size_t>> candidates_;
  std::vector<bool> unsorted_;
  std::vector<bool> plainScan_;
  std::size_t candidateCount_ = 0;
  std::size_t candidateBudget_ = std::size_t{1} << 20;
};
