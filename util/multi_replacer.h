#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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
// How: one scan finds every occurrence of every search text in the original
// buffer and keeps them as candidates per pair. Pair i then takes its
// candidates in order, confirming each against the current bytes.
// Occurrences that earlier pairs created or destroyed can only overlap bytes
// that those pairs wrote, so after each pair just the neighbourhood of its
// writes is scanned again, for the candidates of the later pairs. A pair
// whose candidates would pass a memory budget is instead applied by a plain
// scan of the whole buffer in its turn.
//
// The scan: with few search texts, one ByteFinder search each. Otherwise a
// table of the first two bytes of every search text (65,536 entries, whatever
// the number of texts) rejects almost every position with one lookup, eight
// positions to a branch, and with no short text only every second to fourth
// position is looked up; where it passes, a descent of the trie of the search
// texts from that position reports the texts that start there. The scan's
// cost per byte thus hardly depends on the number of rules, and the trie
// costs memory in proportion to the texts' total length.
class MultiReplacer {
 public:
  // How the scan finds candidates. kBest picks by the number of distinct
  // search texts; tests and the fuzzer force the others, so that every path
  // meets every kind of list.
  enum class Scan {
    kBest,
    kTrie,           // never single-pattern searches
    kTrieNoVectors,  // nor the vector filter
  };

  // Pairs whose texts differ in length, or whose search text is empty, never
  // replace anything (as replaceInBytes would refuse them).
  explicit MultiReplacer(std::vector<BytePair> pairs, Scan scan = Scan::kBest);

  // Told, after the scan and before the first write, how many writes to
  // expect, for a caller whose buffer can be made ready for many writes at
  // once: the occurrences the scan found (an estimate: the writes of earlier
  // pairs can make and unmake later occurrences), or the buffer's size when
  // a pair is to be applied by a plain scan. Returns the bytes to write into
  // from then on: the buffer, or a copy of it of the same size.
  using BeforeWrites = std::function<std::span<char>(std::size_t occurrences)>;

  // Applies all pairs to `buffer` in place (or to the copy `beforeWrites`
  // gives); its length never changes. True when at least one occurrence was
  // overwritten, even with identical bytes. `beforeWrites` is called once,
  // and only when the scan found something to write.
  bool apply(std::span<char> buffer, const BeforeWrites& beforeWrites = {});

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

  void buildTrie(bool vectors);
  void buildVectorFilter();
  std::uint32_t child(std::uint32_t state, unsigned char byte) const;
  // Calls found(patternId, start) for every occurrence that lies wholly
  // inside data[begin, end): each pattern's in ascending order of start, and
  // those of different patterns mixed (the trie) or one pattern after the
  // other (single-pattern searches).
  template <typename Found>
  void scan(const char* data, std::size_t begin, std::size_t end, Found&& found) const;
  // The trie descent from `start`: every pattern that starts there and ends
  // by `end`, shortest first.
  template <typename Found>
  void patternsAt(const char* data, std::size_t start, std::size_t end, Found&& found) const;
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

  // Up to kFewPatterns patterns, one ByteFinder search each beats the filters
  // below (each search costs about a third of the vector filter's pass over
  // the bench's targets); then no trie is built at all.
  static constexpr std::size_t kFewPatterns = 3;
  std::vector<ByteFinder> finders_;

  // Otherwise the trie of the patterns: each state's edges sit sorted by byte
  // in edgeByte_/edgeTarget_ from edgeBegin_[s] to edgeBegin_[s + 1]; the
  // root's row is rootNext_ (0: no pattern starts with the byte).
  std::vector<std::uint32_t> edgeBegin_;
  std::vector<unsigned char> edgeByte_;
  std::vector<std::uint32_t> edgeTarget_;
  std::vector<std::int32_t> ownPattern_;  // pattern ending exactly here, or -1
  std::uint32_t rootNext_[256] = {};
  // Entry pairAt(b0 b1) has kFirstPair when a pattern may start with bytes
  // b0 b1: the first two bytes of every pattern, and b0 followed by any byte
  // for a pattern of one byte b0; and bit k (k < stride_) when they may be a
  // pattern's bytes k and k + 1. A byte an entry, not a bit: the test is then
  // one load, and the entries the data meets stay cached.
  std::vector<unsigned char> startPairs_;
  static constexpr unsigned char kFirstPair = 1;
  // The state two bytes below the root, by pairAt of those bytes (0: none):
  // where a descent starts once the table above has passed a position.
  std::vector<std::uint32_t> pairState_;
  bool oneBytePattern_[256] = {};
  // Positions tested: every one, or with no pattern shorter than three bytes
  // every stride_-th (up to four, one less than the shortest pattern's
  // length), against the pairs at the first stride_ bytes of every pattern:
  // each occurrence then covers a tested position with one of those pairs.
  std::size_t stride_ = 1;
  template <std::size_t Stride, typename Found>
  void scanStrided(const char* data, std::size_t begin, std::size_t end, Found&& found) const;
  // Up to kVectorFilterPatterns patterns, a vector filter runs before the
  // pair set, sixteen positions at a time: the patterns are spread over eight
  // buckets, and for each of the first three bytes a position must match,
  // lookup tables by low and high nibble give the buckets a byte there fits.
  // A position whose three bytes fit one bucket in common goes to the trie.
  static constexpr std::size_t kVectorFilterPatterns = 64;
  bool vectorFilter_ = false;
  alignas(16) unsigned char nibbleLow_[3][16] = {};
  alignas(16) unsigned char nibbleHigh_[3][16] = {};

  // Per-call scratch, kept to reuse its allocations.
  std::vector<std::vector<std::size_t>> candidates_;
  std::vector<bool> unsorted_;
  std::vector<bool> plainScan_;
  std::size_t candidateCount_ = 0;
  std::size_t candidateBudget_ = std::size_t{1} << 20;
};
