#include "util/multi_replacer.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <numeric>
#include <utility>

#if defined(__x86_64__)
#include <tmmintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

#include "util/byte_vectors.h"
#include "util/string_utils.h"

namespace {

// The two bytes at `at` as one number, for the start-pair table: one load.
inline std::uint16_t pairAt(const unsigned char* at) {
  std::uint16_t pair;
  std::memcpy(&pair, at, sizeof pair);
  return pair;
}

#if defined(__x86_64__) || defined(__aarch64__)
#if defined(__x86_64__)
// pshufb is SSSE3, which every x86-64 processor of the last fifteen years
// has; the constructor asks before it turns the vector filter on.
#define UEXPMOD_VECTOR_TARGET __attribute__((target("ssse3")))
UEXPMOD_VECTOR_TARGET inline Bytes16 lookup16(Bytes16 table, Bytes16 index) {
  return reinterpret_cast<Bytes16>(
      _mm_shuffle_epi8(reinterpret_cast<__m128i>(table), reinterpret_cast<__m128i>(index)));
}
bool vectorFilterAvailable() { return __builtin_cpu_supports("ssse3"); }
#else
#define UEXPMOD_VECTOR_TARGET
inline Bytes16 lookup16(Bytes16 table, Bytes16 index) {
  return reinterpret_cast<Bytes16>(
      vqtbl1q_u8(reinterpret_cast<uint8x16_t>(table), reinterpret_cast<uint8x16_t>(index)));
}
bool vectorFilterAvailable() { return true; }
#endif

// Lanes 16 - N to 31 - N of `previous` followed by `current`: each lane of
// `current` moved N lanes up, the lanes freed filled from `previous`.
template <int N, int... Lane>
UEXPMOD_VECTOR_TARGET inline Bytes16 shiftIn(Bytes16 previous, Bytes16 current,
                                             std::integer_sequence<int, Lane...>) {
  return __builtin_shufflevector(previous, current, (16 - N + Lane)...);
}
template <int N>
UEXPMOD_VECTOR_TARGET inline Bytes16 shiftIn(Bytes16 previous, Bytes16 current) {
  return shiftIn<N>(previous, current, std::make_integer_sequence<int, 16>());
}

// The filter over sixteen bytes at a time. Each byte is looked up once for
// each of the three places of a pattern it may stand in; the buckets of the
// first two places carry over to the next sixteen bytes, so a position's
// three bytes are tested where its last byte is loaded.
class BucketFilter {
 public:
  UEXPMOD_VECTOR_TARGET BucketFilter(const unsigned char (&low)[3][16],
                                     const unsigned char (&high)[3][16]) {
    std::memcpy(low_, low, sizeof low_);
    std::memcpy(high_, high, sizeof high_);
  }

  // Lane k: the buckets that bytes at + k - 2, at + k - 1 and at + k fit in
  // common, as a pattern's first, second and third byte.
  UEXPMOD_VECTOR_TARGET Bytes16 endingAt(const unsigned char* at) {
    const Bytes16 v = load16(at);
    const Bytes16 low = v & 15;
    const Bytes16 high = v >> 4;
    const Bytes16 first = lookup16(low_[0], low) & lookup16(high_[0], high);
    const Bytes16 second = lookup16(low_[1], low) & lookup16(high_[1], high);
    const Bytes16 third = lookup16(low_[2], low) & lookup16(high_[2], high);
    const Bytes16 fits = shiftIn<2>(first_, first) & shiftIn<1>(second_, second) & third;
    first_ = first;
    second_ = second;
    return fits;
  }

 private:
  Bytes16 low_[3], high_[3];
  Bytes16 first_ = {};  // the last sixteen bytes' buckets as a first byte; none at the start
  Bytes16 second_ = {};
};

// Reports the positions of `fits`, which BucketFilter::endingAt(bytes + at) gave.
template <typename Hit>
UEXPMOD_VECTOR_TARGET inline void reportLanes(Bytes16 fits, std::size_t at, Hit& hit) {
  for (int k = 0; k < 16; ++k) {
    if (fits[k] != 0) hit(at + static_cast<std::size_t>(k) - 2);
  }
}

// Calls hit(i) for each position i from `begin`, in ascending order, whose
// bytes i, i + 1 and i + 2 fit a bucket in common; stops where fewer than
// eighteen bytes are left and returns the first position not tested. Four
// blocks of sixteen bytes are tested to a branch: most pass none.
template <typename Hit>
UEXPMOD_VECTOR_TARGET std::size_t vectorFilter(const unsigned char (&low)[3][16],
                                               const unsigned char (&high)[3][16],
                                               const unsigned char* bytes, std::size_t begin,
                                               std::size_t end, Hit&& hit) {
  if (end - begin < 18) return begin;
  BucketFilter filter(low, high);
  std::size_t i = begin;  // the next sixteen bytes to load
  for (; end - i >= 64; i += 64) {
    const Bytes16 a = filter.endingAt(bytes + i);
    const Bytes16 b = filter.endingAt(bytes + i + 16);
    const Bytes16 c = filter.endingAt(bytes + i + 32);
    const Bytes16 d = filter.endingAt(bytes + i + 48);
    if (!anyLane(a | b | c | d)) continue;
    reportLanes(a, i, hit);
    reportLanes(b, i + 16, hit);
    reportLanes(c, i + 32, hit);
    reportLanes(d, i + 48, hit);
  }
  for (; end - i >= 16; i += 16) {
    const Bytes16 fits = filter.endingAt(bytes + i);
    if (anyLane(fits)) reportLanes(fits, i, hit);
  }
  return i - 2;
}
#else
bool vectorFilterAvailable() { return false; }
#endif

}  // namespace

MultiReplacer::MultiReplacer(std::vector<BytePair> pairs, Scan scan) : pairs_(std::move(pairs)) {
  usable_.resize(pairs_.size());
  for (std::size_t i = 0; i < pairs_.size(); ++i) {
    usable_[i] =
        !pairs_[i].search.empty() && pairs_[i].search.size() == pairs_[i].replacement.size();
    if (usable_[i]) lastUsablePair_ = i;
  }
  std::map<std::string, std::uint32_t> idOf;
  for (std::size_t i = 0; i < pairs_.size(); ++i) {
    if (!usable_[i]) continue;
    const auto [it, added] =
        idOf.emplace(pairs_[i].search, static_cast<std::uint32_t>(patterns_.size()));
    if (added) {
      patterns_.push_back(pairs_[i].search);
      pairsOfPattern_.emplace_back();
    }
    pairsOfPattern_[it->second].push_back(static_cast<std::uint32_t>(i));
  }
  for (const std::string& p : patterns_) longestPattern_ = std::max(longestPattern_, p.size());
  if (scan == Scan::kBest && patterns_.size() <= kFewPatterns) {
    for (const std::string& p : patterns_) finders_.emplace_back(p);
  } else {
    buildTrie(scan != Scan::kTrieNoVectors);
  }
}

void MultiReplacer::buildTrie(bool vectors) {
  startPairs_.assign(std::size_t{1} << 16, 0);
  std::size_t shortest = patterns_.empty() ? 1 : patterns_.front().size();
  for (const std::string& p : patterns_) shortest = std::min(shortest, p.size());
  stride_ = shortest >= 3 ? std::min<std::size_t>(4, shortest - 1) : 1;
  // Each state's children kept sorted by byte while the trie grows.
  std::vector<std::vector<std::pair<unsigned char, std::uint32_t>>> children(1);
  ownPattern_.assign(1, -1);
  for (std::size_t id = 0; id < patterns_.size(); ++id) {
    const std::string& pattern = patterns_[id];
    std::uint32_t state = 0;
    for (const char ch : pattern) {
      const auto b = static_cast<unsigned char>(ch);
      auto& kids = children[state];
      auto it = std::lower_bound(kids.begin(), kids.end(), std::make_pair(b, std::uint32_t{0}));
      if (it == kids.end() || it->first != b) {
        const auto added = static_cast<std::uint32_t>(children.size());
        it = kids.insert(it, {b, added});
        children.emplace_back();  // invalidates `kids`, not `added`
        ownPattern_.push_back(-1);
        state = added;
      } else {
        state = it->second;
      }
    }
    ownPattern_[state] = static_cast<std::int32_t>(id);

    const auto first = static_cast<unsigned char>(pattern[0]);
    if (pattern.size() == 1) {
      oneBytePattern_[first] = true;
      for (unsigned second = 0; second < 256; ++second) {
        const unsigned char both[2] = {first, static_cast<unsigned char>(second)};
        startPairs_[pairAt(both)] |= kFirstPair;
      }
    } else {
      startPairs_[pairAt(reinterpret_cast<const unsigned char*>(pattern.data()))] |= kFirstPair;
    }
    for (std::size_t k = 1; k < stride_; ++k) {
      startPairs_[pairAt(reinterpret_cast<const unsigned char*>(pattern.data()) + k)] |=
          static_cast<unsigned char>(1u << k);
    }
  }
  if (vectors && patterns_.size() <= kVectorFilterPatterns && vectorFilterAvailable()) {
    buildVectorFilter();
  }
  edgeBegin_.reserve(children.size() + 1);
  for (const auto& kids : children) {
    edgeBegin_.push_back(static_cast<std::uint32_t>(edgeByte_.size()));
    for (const auto& [b, target] : kids) {
      edgeByte_.push_back(b);
      edgeTarget_.push_back(target);
    }
  }
  edgeBegin_.push_back(static_cast<std::uint32_t>(edgeByte_.size()));
  for (std::uint32_t e = edgeBegin_[0]; e < edgeBegin_[1]; ++e)
    rootNext_[edgeByte_[e]] = edgeTarget_[e];
  pairState_.assign(std::size_t{1} << 16, 0);
  for (unsigned first = 0; first < 256; ++first) {
    const std::uint32_t state = rootNext_[first];
    if (state == 0) continue;
    for (std::uint32_t e = edgeBegin_[state]; e < edgeBegin_[state + 1]; ++e) {
      const unsigned char both[2] = {static_cast<unsigned char>(first), edgeByte_[e]};
      pairState_[pairAt(both)] = edgeTarget_[e];
    }
  }
}

void MultiReplacer::buildVectorFilter() {
  // Patterns in byte order share buckets with their neighbours, which often
  // share their first bytes too, so the buckets stay selective.
  std::vector<std::uint32_t> order(patterns_.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(),
            [&](std::uint32_t a, std::uint32_t b) { return patterns_[a] < patterns_[b]; });
  for (std::size_t k = 0; k < order.size(); ++k) {
    const std::string& pattern = patterns_[order[k]];
    const auto bucket = static_cast<unsigned char>(1u << (k * 8 / order.size()));
    for (std::size_t j = 0; j < 3; ++j) {
      if (j < pattern.size()) {
        const auto b = static_cast<unsigned char>(pattern[j]);
        nibbleLow_[j][b & 15] |= bucket;
        nibbleHigh_[j][b >> 4] |= bucket;
      } else {  // past a short pattern's end any byte fits
        for (int n = 0; n < 16; ++n) {
          nibbleLow_[j][n] |= bucket;
          nibbleHigh_[j][n] |= bucket;
        }
      }
    }
  }
  vectorFilter_ = true;
}

std::uint32_t MultiReplacer::child(std::uint32_t state, unsigned char byte) const {
  const auto first = edgeByte_.begin() + edgeBegin_[state];
  const auto last = edgeByte_.begin() + edgeBegin_[state + 1];
  const auto it = std::lower_bound(first, last, byte);
  if (it == last || *it != byte) return 0;
  return edgeTarget_[static_cast<std::size_t>(it - edgeByte_.begin())];
}

template <typename Found>
void MultiReplacer::patternsAt(const char* data, std::size_t start, std::size_t end,
                               Found&& found) const {
  const auto* const bytes = reinterpret_cast<const unsigned char*>(data);
  if (oneBytePattern_[bytes[start]]) {
    found(static_cast<std::uint32_t>(ownPattern_[rootNext_[bytes[start]]]), start);
  }
  if (end - start < 2) return;
  std::uint32_t state = pairState_[pairAt(bytes + start)];
  for (std::size_t i = start + 2; state != 0; ++i) {
    if (ownPattern_[state] >= 0) found(static_cast<std::uint32_t>(ownPattern_[state]), start);
    if (i == end) return;
    state = child(state, bytes[i]);
  }
}

// Every occurrence covers a tested position q with its bytes k and k + 1 for
// one k below Stride, and the table has bit k for that pair; a passed q may
// thus start an occurrence at q - k for each such bit, tried from the
// farthest back so that starts are found in ascending order. Eight tested
// positions to a branch: most blocks pass none. Positions up to the one
// before `end`; the last byte is the caller's.
template <std::size_t Stride, typename Found>
void MultiReplacer::scanStrided(const char* data, std::size_t begin, std::size_t end,
                                Found&& found) const {
  const auto* const bytes = reinterpret_cast<const unsigned char*>(data);
  const unsigned char* const pairs = startPairs_.data();
  const auto startsAround = [&](std::size_t q, unsigned entry) {
    for (std::size_t k = Stride - 1; k > 0; --k) {
      if ((entry & (1u << k)) != 0 && q - begin >= k &&
          (pairs[pairAt(bytes + q - k)] & kFirstPair) != 0) {
        patternsAt(data, q - k, end, found);
      }
    }
    if ((entry & kFirstPair) != 0) patternsAt(data, q, end, found);
  };
  std::size_t i = begin;
  for (; end - i > 8 * Stride; i += 8 * Stride) {
    unsigned any = 0;
    for (std::size_t k = 0; k < 8 * Stride; k += Stride) any |= pairs[pairAt(bytes + i + k)];
    if (any == 0) continue;
    for (std::size_t k = 0; k < 8 * Stride; k += Stride) {
      const unsigned entry = pairs[pairAt(bytes + i + k)];
      if (entry != 0) startsAround(i + k, entry);
    }
  }
  for (; i + 1 < end; i += Stride) {
    const unsigned entry = pairs[pairAt(bytes + i)];
    if (entry != 0) startsAround(i, entry);
  }
}

template <typename Found>
void MultiReplacer::scan(const char* data, std::size_t begin, std::size_t end,
                         Found&& found) const {
  if (!finders_.empty()) {
    for (std::uint32_t id = 0; id < finders_.size(); ++id) {
      std::size_t at = begin;
      while ((at = finders_[id].find(data, end, at)) != ByteFinder::kNotFound) found(id, at++);
    }
    return;
  }
  if (begin >= end) return;
  const auto* const bytes = reinterpret_cast<const unsigned char*>(data);
  std::size_t i = begin;
#if defined(__x86_64__) || defined(__aarch64__)
  if (vectorFilter_) {
    i = vectorFilter(nibbleLow_, nibbleHigh_, bytes, begin, end,
                     [&](std::size_t at) { patternsAt(data, at, end, found); });
  }
#endif
  switch (stride_) {
    case 2:
      scanStrided<2>(data, i, end, found);
      break;
    case 3:
      scanStrided<3>(data, i, end, found);
      break;
    case 4:
      scanStrided<4>(data, i, end, found);
      break;
    default:
      scanStrided<1>(data, i, end, found);
  }
  // The last byte can only start a pattern of one byte (none with a stride).
  if (oneBytePattern_[bytes[end - 1]]) patternsAt(data, end - 1, end, found);
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
    UTF8Utils::replaceInBytes(buffer, pair.search, pair.replacement,
                              [&](std::size_t at) { writes.push_back({at, at + m}); });
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
    scan(buffer.data(), begin, end, [&](std::uint32_t id, std::size_t start) {
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

bool MultiReplacer::apply(std::span<char> buffer, const BeforeWrites& beforeWrites) {
  if (patterns_.empty() || buffer.empty()) return false;
  // Every pair's candidates are used up by its turn, so the lists are empty
  // here unless an exception (memory) ended the last call half way.
  candidates_.resize(pairs_.size());
  for (auto& list : candidates_) list.clear();
  unsorted_.assign(pairs_.size(), false);
  plainScan_.assign(pairs_.size(), false);
  candidateCount_ = 0;

  scan(buffer.data(), 0, buffer.size(), [&](std::uint32_t id, std::size_t start) {
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
    if (!usable_[i]) continue;
    writes.clear();
    applyPair(i, buffer, writes);
    if (writes.empty()) continue;
    replaced = true;
    if (i < lastUsablePair_) rescanAround(i, writes, buffer);
  }
  return replaced;
}
