#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

// Finds many byte patterns at once: a table of the first two bytes of every
// pattern (65,536 one-byte entries, whatever the number of patterns) rejects
// almost every position with one lookup, eight positions to a branch, and
// where it passes, a descent of the trie of the patterns from that position
// reports the patterns that start there. The scan's cost per byte thus hardly
// depends on the number of patterns, and the trie costs memory in proportion
// to the patterns' total length. With no pattern shorter than three bytes,
// only every `stride`-th position need be looked up (see the constructor).
// Only the first kIndexedPrefix bytes of a pattern enter the trie: a longer
// one is reported where those bytes occur, and its caller confirms the rest,
// so a rule text of any length costs the trie no more than that prefix.
class PatternTrie {
 public:
  // The bytes of a pattern that the trie holds; the trie reports a longer
  // pattern wherever these occur.
  static constexpr std::size_t kIndexedPrefix = 64;

  // The trie of `patterns` (none empty; pattern ids are their indices).
  // `stride` (1 to 4) is how far apart the positions that the table tests
  // lie; above 1 it must be less than the shortest pattern's length.
  PatternTrie(const std::vector<std::string_view>& patterns, std::size_t stride);

  // Calls found(id, start) for every occurrence that lies wholly inside
  // data[begin, end), and for every place there where the first
  // kIndexedPrefix bytes of a longer pattern occur, in ascending order of
  // start.
  template <typename Found>
  void scan(const char* data, std::size_t begin, std::size_t end, Found&& found) const;
  // The same for the starts before `startsEnd` alone (at most `end`): the
  // positions past it are not tested at all.
  template <typename Found>
  void scan(const char* data, std::size_t begin, std::size_t end, std::size_t startsEnd,
            Found&& found) const;

  // The descent from `start`: found(id, start) for every pattern whose
  // indexed bytes start there and end by `end`, shortest first. For positions
  // that a filter in front of the table has passed.
  template <typename Found>
  void patternsAt(const char* data, std::size_t start, std::size_t end, Found&& found) const;

 private:
  // The two bytes at `at` as one number, for the tables: one load.
  static std::uint16_t pairAt(const unsigned char* at) {
    std::uint16_t pair;
    std::memcpy(&pair, at, sizeof pair);
    return pair;
  }
  static std::uint64_t eightAt(const unsigned char* at) {
    std::uint64_t eight;
    std::memcpy(&eight, at, sizeof eight);
    return eight;
  }
  struct Edge;
  // Adds the node `depth` bytes below the root above the patterns
  // sorted[lo, hi) (by their indexed bytes), and the nodes below it; returns
  // its number.
  std::uint32_t addNode(const std::vector<std::string_view>& indexed,
                        const std::vector<std::uint32_t>& sorted, std::size_t lo, std::size_t hi,
                        std::size_t depth);
  const Edge* edge(std::uint32_t node, unsigned char byte) const;
  static bool sameRun(const unsigned char* at, std::size_t available, const unsigned char* label,
                      std::size_t length);
  template <typename Found>
  void report(std::int32_t own, std::size_t start, Found& found) const;
  // The node two bytes below the root where patternsAt's descent from
  // `start` begins, or 0 where no pattern of two bytes or more can start:
  // inline, so that the scan tests the positions the table passes, most of
  // which end here, without a call. GCC for aarch64 called it all the same
  // (a tenth of a run's instructions with 1,000 rules), hence the attribute.
  [[gnu::always_inline]] std::uint32_t firstNode(const unsigned char* bytes, std::size_t start,
                                                 std::size_t end) const;
  // patternsAt's descent from that node.
  template <typename Found>
  void descend(const unsigned char* bytes, std::size_t start, std::size_t end, std::uint32_t node,
               Found& found) const;
  template <std::size_t Stride, bool Bounded, typename Found>
  void scanStrided(const char* data, std::size_t begin, std::size_t end, std::size_t startsEnd,
                   Found&& found) const;
  template <bool Bounded, typename Found>
  void scanBy(const char* data, std::size_t begin, std::size_t end, std::size_t startsEnd,
              Found&& found) const;

  // The trie is kept with its chains of states of one edge each run
  // together: a node is the root, a state one or two bytes below it (where
  // the tables lead), a state where a pattern's indexed bytes end, or one
  // with several edges; an edge to the next node below is its first byte
  // and a label of the bytes after it, which the states between had as
  // their one edge each. A descent along a text that many patterns share
  // the start of, and that only one goes on with, then compares the rest
  // eight bytes at a time instead of looking up a state a byte.
  // Each node's edges sit sorted by first byte in edgeByte_/edges_ from
  // edgeBegin_[n] to edgeBegin_[n + 1]; nodes are numbered depth first, so
  // a descent mostly reads forward. The root's row is rootNext_ (0: no
  // pattern starts with the byte).
  struct Edge {
    std::uint32_t target;
    std::uint32_t label;   // its offset in labels_
    std::uint32_t length;  // of the label, 0 to kIndexedPrefix - 1
  };
  std::vector<std::uint32_t> edgeBegin_;
  std::vector<unsigned char> edgeByte_;
  std::vector<Edge> edges_;
  // The labels, one after the other, and eight bytes more, so that a label
  // can be read eight bytes at a time from its start.
  std::vector<unsigned char> labels_;
  // By node: the pattern whose indexed bytes end exactly there, or -1 for
  // none; where several do (long patterns that share their indexed bytes),
  // -2 - k for the list sharedEnds_[k].
  std::vector<std::int32_t> ownPattern_;
  std::vector<std::vector<std::uint32_t>> sharedEnds_;
  std::uint32_t rootNext_[256] = {};
  // Entry pairAt(b0 b1) has kFirstPair when a pattern may start with bytes
  // b0 b1: the first two bytes of every pattern, and b0 followed by any byte
  // for a pattern of one byte b0; and bit k (k < stride_) when they may be a
  // pattern's bytes k and k + 1. A byte an entry, not a bit: the test is then
  // one load, and the entries the data meets stay cached.
  std::vector<unsigned char> startPairs_;
  static constexpr unsigned char kFirstPair = 1;
  // The node two bytes below the root, by pairAt of those bytes (0: none):
  // where a descent starts once the table has passed a position.
  // From calloc, which need not write the pages a block this large usually
  // gets fresh, and zeroed, from the system: only those of pairs that start
  // a pattern are then touched. Zeroing all 256 KiB (new[]'s
  // value-initialisation) wrote every page, and under ASan, whose allocator
  // maps such a block anew each time, that was most of what an engine cost
  // to build in the fuzzer.
  struct FreeTable {
    void operator()(std::uint32_t* table) const { std::free(table); }
  };
  // An entry with kGated set is that of a pair that no pattern of fewer
  // than kGatedLength bytes starts with: a descent from there goes on only
  // where gate_ holds the first kGatedLength bytes' hash.
  std::unique_ptr<std::uint32_t[], FreeTable> pairState_;
  static constexpr std::uint32_t kGated = std::uint32_t{1} << 31;
  // Bit gateHash() of the first kGatedLength bytes of every pattern that
  // long. Where many patterns share their first bytes, as texts of one
  // script do, the table passes nearly every position that starts a
  // character, and most descents from there end within a few bytes; this
  // one load ends most of them before they start. Eight KiB, so it stays
  // cached beside the table.
  static constexpr std::size_t kGatedLength = 6;
  static constexpr unsigned kGateBits = 16;
  static std::size_t gateHash(std::uint64_t first) {
    return static_cast<std::size_t>((first * 0x9e3779b97f4a7c15u) >> (64 - kGateBits));
  }
  // The first kGatedLength bytes at `at`, of `available`, as a number.
  static std::uint64_t gatedBytes(const unsigned char* at, std::size_t available) {
    // The same number from either load where the low bytes come first.
    if (std::endian::native == std::endian::little && available >= 8)
      return eightAt(at) & ((std::uint64_t{1} << (8 * kGatedLength)) - 1);
    std::uint64_t first = 0;
    std::memcpy(&first, at, kGatedLength);
    return first;
  }
  std::vector<std::uint64_t> gate_;
  bool oneBytePattern_[256] = {};
  std::size_t stride_;
};

// Inline: a descent calls it at each node it passes, and the descents are
// the scan's hot path wherever the table passes.
inline const PatternTrie::Edge* PatternTrie::edge(std::uint32_t node, unsigned char byte) const {
  const std::uint32_t first = edgeBegin_[node];
  const std::uint32_t last = edgeBegin_[node + 1];
  // Below the first bytes most nodes have one edge or a few: a look at
  // each, in byte order, ends sooner than a binary search.
  if (last - first <= 8) {
    for (std::uint32_t e = first; e < last; ++e) {
      if (edgeByte_[e] >= byte) return edgeByte_[e] == byte ? &edges_[e] : nullptr;
    }
    return nullptr;
  }
  const auto begin = edgeByte_.begin() + first;
  const auto end = edgeByte_.begin() + last;
  const auto it = std::lower_bound(begin, end, byte);
  if (it == end || *it != byte) return nullptr;
  return &edges_[static_cast<std::size_t>(it - edgeByte_.begin())];
}

// Whether the `length` bytes at `at` (1 to `available` of them) are those of
// `label`, which may be read eight bytes past its start: eight at a time,
// the last eight overlapping those before. A label shorter than eight, with
// eight bytes of data there, is one load of each masked to its length.
inline bool PatternTrie::sameRun(const unsigned char* at, std::size_t available,
                                 const unsigned char* label, std::size_t length) {
  if (length >= 8) {
    for (std::size_t k = 0; k + 8 < length; k += 8) {
      if (eightAt(at + k) != eightAt(label + k)) return false;
    }
    return eightAt(at + length - 8) == eightAt(label + length - 8);
  }
  if constexpr (std::endian::native == std::endian::little) {
    // The first `length` bytes are the low ones: the shift drops the rest.
    if (available >= 8) return ((eightAt(at) ^ eightAt(label)) << (64 - 8 * length)) == 0;
  }
  return std::memcmp(at, label, length) == 0;
}

template <typename Found>
void PatternTrie::report(std::int32_t own, std::size_t start, Found& found) const {
  if (own >= 0) {
    found(static_cast<std::uint32_t>(own), start);
  } else {
    for (const std::uint32_t id : sharedEnds_[static_cast<std::size_t>(-2 - own)]) found(id, start);
  }
}

template <typename Found>
void PatternTrie::patternsAt(const char* data, std::size_t start, std::size_t end,
                             Found&& found) const {
  const auto* const bytes = reinterpret_cast<const unsigned char*>(data);
  if (oneBytePattern_[bytes[start]]) report(ownPattern_[rootNext_[bytes[start]]], start, found);
  if (const std::uint32_t node = firstNode(bytes, start, end); node != 0) {
    descend(bytes, start, end, node, found);
  }
}

inline std::uint32_t PatternTrie::firstNode(const unsigned char* bytes, std::size_t start,
                                            std::size_t end) const {
  if (end - start < 2) return 0;
  const std::uint32_t node = pairState_[pairAt(bytes + start)];
  if ((node & kGated) == 0) return node;
  if (end - start < kGatedLength) return 0;
  const std::size_t bit = gateHash(gatedBytes(bytes + start, end - start));
  if ((gate_[bit / 64] & (std::uint64_t{1} << (bit % 64))) == 0) return 0;
  return node & ~kGated;
}

template <typename Found>
void PatternTrie::descend(const unsigned char* bytes, std::size_t start, std::size_t end,
                          std::uint32_t node, Found& found) const {
  // No pattern ends inside a label: a label that the bytes leave, or that
  // runs past `end`, ends the descent.
  for (std::size_t i = start + 2;;) {
    if (const std::int32_t own = ownPattern_[node]; own != -1) report(own, start, found);
    if (i == end) return;
    const Edge* const next = edge(node, bytes[i]);
    if (next == nullptr) return;
    ++i;
    if (next->length != 0) {
      if (end - i < next->length ||
          !sameRun(bytes + i, end - i, labels_.data() + next->label, next->length)) {
        return;
      }
      i += next->length;
    }
    node = next->target;
  }
}

// Every occurrence covers a tested position q with its bytes k and k + 1 for
// one k below Stride, and the table has bit k for that pair; a passed q may
// thus start an occurrence at q - k for each such bit, tried from the
// farthest back so that starts are found in ascending order. Eight tested
// positions to a branch: most blocks pass none. Positions up to the one
// before `end`, and no further than a start before `startsEnd` needs; the
// last byte is the caller's. Unbounded (startsEnd is end), the tests of the
// bound are left out of the hot loop.
template <std::size_t Stride, bool Bounded, typename Found>
void PatternTrie::scanStrided(const char* data, std::size_t begin, std::size_t end,
                              std::size_t startsEnd, Found&& found) const {
  const auto* const bytes = reinterpret_cast<const unsigned char*>(data);
  const unsigned char* const pairs = startPairs_.data();
  const auto startAt = [&](std::size_t at) {
    if (oneBytePattern_[bytes[at]]) {
      patternsAt(data, at, end, found);
    } else if (const std::uint32_t node = firstNode(bytes, at, end); node != 0) {
      descend(bytes, at, end, node, found);
    }
  };
  const auto startsAround = [&](std::size_t q, unsigned entry) {
    for (std::size_t k = Stride - 1; k > 0; --k) {
      if ((entry & (1u << k)) != 0 && q - begin >= k && (!Bounded || q - k < startsEnd) &&
          (pairs[pairAt(bytes + q - k)] & kFirstPair) != 0) {
        startAt(q - k);
      }
    }
    if ((entry & kFirstPair) != 0 && (!Bounded || q < startsEnd)) startAt(q);
  };
  // A tested position q may start occurrences back to q - (Stride - 1).
  const std::size_t tested = Bounded ? std::min(end, startsEnd + Stride) : end;
  std::size_t i = begin;
  for (; tested - i > 8 * Stride; i += 8 * Stride) {
    if constexpr (Stride == 1) {
      // Entries are then 0 or kFirstPair: one bit for each position that
      // passed, so that those are visited without testing all eight again.
      unsigned passed = 0;
      for (std::size_t k = 0; k < 8; ++k) passed |= unsigned{pairs[pairAt(bytes + i + k)]} << k;
      for (; passed != 0; passed &= passed - 1) {
        startsAround(i + static_cast<std::size_t>(std::countr_zero(passed)), kFirstPair);
      }
      continue;
    }
    unsigned any = 0;
    for (std::size_t k = 0; k < 8 * Stride; k += Stride) any |= pairs[pairAt(bytes + i + k)];
    if (any == 0) continue;
    for (std::size_t k = 0; k < 8 * Stride; k += Stride) {
      const unsigned entry = pairs[pairAt(bytes + i + k)];
      if (entry != 0) startsAround(i + k, entry);
    }
  }
  for (; i + 1 < tested; i += Stride) {
    const unsigned entry = pairs[pairAt(bytes + i)];
    if (entry != 0) startsAround(i, entry);
  }
}

template <typename Found>
void PatternTrie::scan(const char* data, std::size_t begin, std::size_t end, Found&& found) const {
  scan(data, begin, end, end, found);
}

template <bool Bounded, typename Found>
void PatternTrie::scanBy(const char* data, std::size_t begin, std::size_t end,
                         std::size_t startsEnd, Found&& found) const {
  switch (stride_) {
    case 2:
      scanStrided<2, Bounded>(data, begin, end, startsEnd, found);
      break;
    case 3:
      scanStrided<3, Bounded>(data, begin, end, startsEnd, found);
      break;
    case 4:
      scanStrided<4, Bounded>(data, begin, end, startsEnd, found);
      break;
    default:
      scanStrided<1, Bounded>(data, begin, end, startsEnd, found);
  }
}

template <typename Found>
void PatternTrie::scan(const char* data, std::size_t begin, std::size_t end, std::size_t startsEnd,
                       Found&& found) const {
  startsEnd = std::min(startsEnd, end);
  if (begin >= startsEnd) return;
  if (startsEnd == end) {
    scanBy<false>(data, begin, end, startsEnd, found);
  } else {
    scanBy<true>(data, begin, end, startsEnd, found);
  }
  // The last byte can only start a pattern of one byte (none with a stride).
  const auto last = static_cast<unsigned char>(data[end - 1]);
  if (end - 1 < startsEnd && oneBytePattern_[last]) patternsAt(data, end - 1, end, found);
}
