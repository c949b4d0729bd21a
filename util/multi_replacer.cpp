#include "util/multi_replacer.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>
#include <map>
#include <new>
#include <unordered_set>
#include <utility>

namespace {

bool canReplace(const BytePair& pair) {
  return !pair.search.empty() && pair.search.size() == pair.replacement.size();
}

}  // namespace

MultiReplacer::MultiReplacer(std::vector<BytePair> pairs)
    : MultiReplacer(std::move(pairs), std::nullopt) {}

MultiReplacer::MultiReplacer(std::vector<BytePair> pairs, PatternSearch::Strategy strategy)
    : MultiReplacer(std::move(pairs), std::optional(strategy)) {}

MultiReplacer::MultiReplacer(std::vector<BytePair> pairs,
                             std::optional<PatternSearch::Strategy> strategy) {
  auto rules = std::make_shared<Rules>();
  // Pairs that can never replace anything are left out: they would change
  // nothing in their turn.
  std::copy_if(pairs.begin(), pairs.end(), std::back_inserter(rules->pairs), canReplace);
  const std::vector<std::string_view> patterns = searchTexts(rules->pairs);
  std::vector<std::vector<std::uint32_t>> pairsOf(patterns.size());
  std::map<std::string_view, std::uint32_t> idOf;
  for (std::size_t id = 0; id < patterns.size(); ++id) {
    idOf.emplace(patterns[id], static_cast<std::uint32_t>(id));
  }
  for (std::size_t i = 0; i < rules->pairs.size(); ++i) {
    pairsOf[idOf.at(rules->pairs[i].search)].push_back(static_cast<std::uint32_t>(i));
    rules->longestPattern = std::max(rules->longestPattern, rules->pairs[i].search.size());
    rules->undecidedAtMost += rules->pairs[i].search.size() - 1;
  }
  rules->ownersBegin.reserve(patterns.size() + 1);
  rules->owners.reserve(rules->pairs.size());
  for (std::size_t id = 0; id < patterns.size(); ++id) {
    rules->ownersBegin.push_back(static_cast<std::uint32_t>(rules->owners.size()));
    rules->owners.insert(rules->owners.end(), pairsOf[id].begin(), pairsOf[id].end());
    rules->patternLength.push_back(static_cast<std::uint32_t>(
        std::min<std::size_t>(patterns[id].size(), std::numeric_limits<std::uint32_t>::max())));
  }
  rules->ownersBegin.push_back(static_cast<std::uint32_t>(rules->owners.size()));
  rules->nextOwner.assign(rules->pairs.size(), kNoPair);
  for (const std::vector<std::uint32_t>& owners : pairsOf) {
    for (std::size_t k = 1; k < owners.size(); ++k) rules->nextOwner[owners[k - 1]] = owners[k];
  }
  rules->reachBefore = reachBeforeWrites(*rules, patterns);
  rules->startInWrite = startsInWrites(*rules, patterns);
  if (!patterns.empty()) {
    rules->search.emplace(patterns, strategy ? PatternSearch::choose(patterns, *strategy)
                                             : PatternSearch::choose(patterns));
  }
  rules_ = std::move(rules);
  finders_.resize(rules_->pairs.size());
}

std::vector<std::string_view> MultiReplacer::searchTexts(const std::vector<BytePair>& pairs) {
  std::vector<std::string_view> texts;
  std::unordered_set<std::string_view> seen;
  for (const BytePair& pair : pairs) {
    if (canReplace(pair) && seen.insert(pair.search).second) texts.push_back(pair.search);
  }
  return texts;
}

namespace {

// The comparisons that working out the rescans' bounds may take, for each of
// reachBeforeWrites() and startsInWrites(), before it gives the bounds that
// hold for any texts instead: texts that repeat the same bytes (runs of
// spaces, of padding) match each other at many offsets, and a thousand
// such texts of 256 bytes took seconds. Some tens of milliseconds.
constexpr std::size_t kBoundSteps = std::size_t{1} << 22;

// By search text id, the last pair that searches for it: the pairs of text
// k are owners[ownersBegin[k]] to owners[ownersBegin[k + 1] - 1], in order.
std::vector<std::uint32_t> lastOwners(const std::vector<std::uint32_t>& ownersBegin,
                                      const std::vector<std::uint32_t>& owners) {
  std::vector<std::uint32_t> last(ownersBegin.size() - 1);
  for (std::size_t id = 0; id < last.size(); ++id) last[id] = owners[ownersBegin[id + 1] - 1];
  return last;
}

}  // namespace

std::vector<std::uint32_t> MultiReplacer::reachBeforeWrites(
    const Rules& rules, const std::vector<std::string_view>& patterns) {
  // An occurrence that starts t bytes before a write and overlaps it holds,
  // from its byte t on, the first bytes of what was written: the
  // replacement's. So a rescan needs to reach back only as far as the
  // largest t at which some later pair's text holds the replacement's first
  // bytes (all of them, or up to the text's end). Translation lists rewrite
  // text with text, and that t is mostly far below the longest text's
  // length. Where no later text holds them, startsInWrites() says where
  // within the write a rescan starts.
  const std::size_t n = rules.pairs.size();
  std::vector<std::uint32_t> reach(n, 0);
  if (n == 0) return reach;
  // Texts past kIndexed bytes are not looked into, so that long texts cost
  // their number, not their length: they count as reaching back their whole
  // length. The longest text any pair after i searches for, and the longest
  // of those not listed.
  constexpr std::size_t kIndexed = 256;
  std::vector<std::size_t> longestAfter(n, 0);
  std::vector<std::size_t> unlistedAfter(n, 0);
  for (std::size_t i = n - 1; i > 0; --i) {
    const std::size_t size = rules.pairs[i].search.size();
    longestAfter[i - 1] = std::max(longestAfter[i], size);
    unlistedAfter[i - 1] = std::max(unlistedAfter[i], size > kIndexed ? size : 0);
  }
  const std::vector<std::uint32_t> lastOwner = lastOwners(rules.ownersBegin, rules.owners);
  // Each pair starts at the longest later text not looked into, and every
  // other text's offset t that holds a pair's replacement from its first byte
  // raises that pair's reach to t where the text is searched for after it.
  // The pairs are sorted by their replacement's first two bytes, and a bit
  // table of those pairs of bytes turns most offsets away at once.
  for (std::size_t i = 0; i + 1 < n; ++i) {
    reach[i] = static_cast<std::uint32_t>(unlistedAfter[i] > 0 ? unlistedAfter[i] - 1 : 0);
  }
  std::vector<std::uint64_t> byKey;                          // first two bytes << 32 | pair
  std::vector<std::uint64_t> seen(std::size_t{1} << 10, 0);  // a bit for each first two bytes
  for (std::size_t i = 0; i + 1 < n; ++i) {
    const std::string_view r = rules.pairs[i].replacement;
    if (r.size() < 2) {
      // Held wholly in a text or not at all: the longest later text may.
      reach[i] = static_cast<std::uint32_t>(longestAfter[i] > 0 ? longestAfter[i] - 1 : 0);
      continue;
    }
    const std::uint32_t key =
        std::uint32_t{static_cast<unsigned char>(r[0])} << 8 | static_cast<unsigned char>(r[1]);
    byKey.push_back(std::uint64_t{key} << 32 | i);
    seen[key >> 6] |= std::uint64_t{1} << (key & 63);
  }
  std::sort(byKey.begin(), byKey.end());
  std::size_t steps = 0;
  const auto raise = [&](std::uint32_t low, std::uint32_t high, std::string_view p, std::size_t t,
                         std::uint32_t owner) {
    auto it = std::lower_bound(byKey.begin(), byKey.end(), std::uint64_t{low} << 32);
    // Within a key the pairs come in list order: those from `owner` on
    // search for nothing after the text's last pair.
    for (; it != byKey.end() && (*it >> 32) <= high && steps <= kBoundSteps; ++it) {
      ++steps;
      const std::size_t i = *it & 0xFFFFFFFF;
      if (i >= owner) {
        if (low == high) break;
        continue;
      }
      if (reach[i] >= t) continue;
      const std::string_view r = rules.pairs[i].replacement;
      const std::size_t k = std::min(p.size() - t, r.size());
      // The key matched the first two bytes; most others differ at the third.
      if (k > 2 && p[t + 2] != r[2]) continue;
      steps += k / 16;
      if (std::memcmp(p.data() + t, r.data(), k) == 0) reach[i] = static_cast<std::uint32_t>(t);
    }
  };
  for (std::size_t id = 0; id < patterns.size() && steps <= kBoundSteps; ++id) {
    const std::string_view p = patterns[id];
    if (p.size() < 2 || p.size() > kIndexed) continue;
    for (std::size_t t = 1; t + 1 < p.size(); ++t) {
      const std::uint32_t key = std::uint32_t{static_cast<unsigned char>(p[t])} << 8 |
                                static_cast<unsigned char>(p[t + 1]);
      if ((seen[key >> 6] >> (key & 63) & 1) != 0) raise(key, key, p, t, lastOwner[id]);
    }
    // Its last byte alone: every replacement that starts with it.
    const std::uint32_t last = static_cast<unsigned char>(p.back());
    raise(last << 8, last << 8 | 0xFF, p, p.size() - 1, lastOwner[id]);
  }
  // Past the budget, every pair reaches back as far as its longest later
  // text could: the bound before any text is looked into.
  const bool spent = steps > kBoundSteps;
  for (std::size_t i = 0; i + 1 < n; ++i) {
    const std::size_t longest = longestAfter[i] > 0 ? longestAfter[i] - 1 : 0;
    reach[i] = static_cast<std::uint32_t>(spent ? longest : std::min<std::size_t>(reach[i], longest));
  }
  return reach;
}

std::vector<std::uint32_t> MultiReplacer::startsInWrites(
    const Rules& rules, const std::vector<std::string_view>& patterns) {
  // Where no later text reaches back into a write, an occurrence that
  // overlaps it starts within it, at a byte u of the replacement, and holds
  // the replacement's bytes from u on (all of them, or up to the text's
  // end): a text whose first two bytes are the replacement's at u, or whose
  // first byte is its last. The texts are sorted by their first two bytes,
  // and a bit table of those turns most bytes away at once.
  const std::size_t n = rules.pairs.size();
  std::vector<std::uint32_t> start(n, 0);
  std::vector<std::uint64_t> byKey;  // first two bytes << 32 | text id
  std::vector<std::uint64_t> seen(std::size_t{1} << 10, 0);
  const std::vector<std::uint32_t> lastOwner = lastOwners(rules.ownersBegin, rules.owners);
  for (std::size_t id = 0; id < patterns.size(); ++id) {
    const std::string_view p = patterns[id];
    // A text of one byte is held by any write of that byte.
    const std::uint32_t key = std::uint32_t{static_cast<unsigned char>(p[0])} << 8 |
                              (p.size() > 1 ? static_cast<unsigned char>(p[1]) : 0u);
    byKey.push_back(std::uint64_t{key} << 32 | id);
    seen[key >> 6] |= std::uint64_t{1} << (key & 63);
  }
  std::sort(byKey.begin(), byKey.end());
  const bool oneByte = std::any_of(patterns.begin(), patterns.end(),
                                   [](std::string_view p) { return p.size() == 1; });
  // Past the budget a text is taken to start at any byte (a bound that holds
  // for any texts).
  std::size_t steps = 0;
  const auto holds = [&](std::size_t i, std::string_view r, std::size_t u, std::uint32_t low,
                         std::uint32_t high) {
    auto it = std::lower_bound(byKey.begin(), byKey.end(), std::uint64_t{low} << 32);
    for (; it != byKey.end() && (*it >> 32) <= high; ++it) {
      if (++steps > kBoundSteps) return true;
      const std::size_t id = *it & 0xFFFFFFFF;
      if (lastOwner[id] <= i) continue;
      const std::string_view p = patterns[id];
      const std::size_t k = std::min(p.size(), r.size() - u);
      if (k > 2 && p[2] != r[u + 2]) continue;
      steps += k / 16;
      if (std::memcmp(p.data(), r.data() + u, k) == 0) return true;
    }
    return false;
  };
  for (std::size_t i = 0; i + 1 < n; ++i) {
    if (rules.reachBefore[i] != 0) continue;
    const std::string_view r = rules.pairs[i].replacement;
    std::size_t u = 0;
    for (; u < r.size(); ++u) {
      const std::uint32_t first = static_cast<unsigned char>(r[u]);
      if (u + 1 < r.size()) {
        const std::uint32_t key = first << 8 | static_cast<unsigned char>(r[u + 1]);
        // Texts of one byte sort as if their second byte were 0.
        if ((seen[key >> 6] >> (key & 63) & 1) != 0 && holds(i, r, u, key, key)) break;
        if (oneByte && (seen[(first << 8) >> 6] & 1) != 0 &&
            holds(i, r, u, first << 8, first << 8)) {
          break;
        }
      } else if (holds(i, r, u, first << 8, first << 8 | 0xFF)) {
        break;
      }
    }
    start[i] = static_cast<std::uint32_t>(u);
  }
  if (steps > kBoundSteps) std::fill(start.begin(), start.end(), 0);
  return start;
}

MultiReplacer::MultiReplacer(SharedRules, std::shared_ptr<const Rules> rules)
    : rules_(std::move(rules)) {
  finders_.resize(rules_->pairs.size());
}

MultiReplacer MultiReplacer::sharingRules() const { return MultiReplacer(SharedRules(), rules_); }

void MultiReplacer::start() {
  const std::size_t n = rules_->pairs.size();
  candidates_.resize(n);
  found_.resize(n);
  keptRoom_ = 0;
  // Most pairs of a long list never held a candidate.
  for (std::size_t i = 0; i < n; ++i) {
    if (candidates_[i].capacity() != 0) {
      candidates_[i].clear();
      releaseIfLarge(candidates_[i]);
    }
    if (found_[i].capacity() != 0) {
      found_[i].clear();
      releaseIfLarge(found_[i]);
    }
  }
  base_ = 0;
  if (knownSource_ != nullptr) knownSource_->rewind();
  known_ = {};
  knownNext_ = 0;
  knownEnded_ = false;
  originalTail_.clear();
  recording_ = record_ != nullptr;
  recordedAll_ = recording_;
  if (record_ != nullptr) {
    record_->clear();
    if (rules_->longestPattern > kMostRecordedText) stopRecording();
  }
  ownSearch_.assign(n, 0);
  decided_.assign(n, 0);
  next_.assign(n, 0);
  candidateCount_ = 0;
  handedIn_ = 0;
  final_ = 0;
  replaced_ = false;
}

void MultiReplacer::takeKnown(KnownSource& known, Unknown unknown) {
  forgetOccurrences();
  knownSource_ = &known;
  unknown_ = unknown;
}

void MultiReplacer::takeKnown(KnownSource& known) { takeKnown(known, Unknown()); }

void MultiReplacer::takeKnown(std::span<const Occurrence> known, Unknown unknown) {
  onePiece_.set(known);
  takeKnown(onePiece_, unknown);
}

void MultiReplacer::takeKnown(std::span<const Occurrence> known) { takeKnown(known, Unknown()); }

void MultiReplacer::recordInto(std::vector<Occurrence>& into, std::size_t most) {
  record_ = &into;
  recordMost_ = most;
}

void MultiReplacer::forgetOccurrences() {
  knownSource_ = nullptr;
  unknown_ = {};
  known_ = {};
  record_ = nullptr;
  recording_ = false;
  recordedAll_ = false;
  std::vector<char>().swap(originalTail_);
  std::vector<char>().swap(crossing_);
}

bool MultiReplacer::apply(std::span<char> buffer) {
  start();
  feedInPieces(buffer, true, applyWindow_);
  return replaced_;
}

std::size_t MultiReplacer::feed(std::span<char> window, bool last) {
  return feed(window, last, BeforeWrites());
}

std::size_t MultiReplacer::feed(std::span<char> bytes, bool last,
                                const BeforeWrites& beforeWrites) {
  // A window a quarter of the longest each time, with what the last one left
  // undecided: that stays below kMaxWindow unless the rule texts add up to
  // gigabytes, which the engine's tables could never hold.
  if (bytes.size() > kMaxWindow) return feedInPieces(bytes, last, kMaxWindow / 4);
  return feedWindow(bytes, last, beforeWrites);
}

std::size_t MultiReplacer::feedInPieces(std::span<char> bytes, bool last, std::size_t piece) {
  // The bytes left undecided stay in place: each window starts at the first
  // byte not yet final, and ends `piece` bytes past the last one handed in.
  piece = std::max<std::size_t>(piece, 1);
  std::size_t done = 0;
  std::size_t handed = std::min(bytes.size(), handedIn_ - final_);
  do {
    handed = bytes.size() - handed > piece ? handed + piece : bytes.size();
    done += feedWindow(bytes.subspan(done, handed - done), last && handed == bytes.size(),
                       BeforeWrites());
  } while (handed < bytes.size());
  return done;
}

std::size_t MultiReplacer::feedWindow(std::span<char> bytes, bool last,
                                      const BeforeWrites& beforeWrites) {
  Window window{bytes, final_};
  const std::size_t end = window.end();
  if (!rules_->search) {
    final_ = handedIn_ = end;
    return bytes.size();
  }
  rebase(window.base);
  // Occurrences that end in the bytes added: those that start before them,
  // in the state the pairs left those bytes in, and those that start in
  // them, which no pair has written yet.
  const std::size_t reach = rules_->longestPattern - 1;
  const std::size_t from = std::max(window.base, handedIn_ > reach ? handedIn_ - reach : 0);
  // Those that start before them end within `reach` bytes of them: the
  // searches that do not stop at the last start asked for go no further.
  if (from < handedIn_) {
    scanFor(0, window, from, std::min(end, handedIn_ + reach), Write{0, handedIn_});
  }
  if (knownSource_ == nullptr) {
    searchAdded(window, *rules_->search, {});
  } else {
    offerKnown(window);
    if (unknown_.search != nullptr) searchAdded(window, *unknown_.search, unknown_.ids);
  }
  handedIn_ = end;

  if (beforeWrites) {
    const bool searchedAlone =
        std::find(ownSearch_.begin(), ownSearch_.end(), 1) != ownSearch_.end();
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
      // Most pairs hold no candidate in a window.
      if (ownSearch_[i] != 0 || !candidates_[i].empty() || !found_[i].empty()) {
        applyPair(i, window, limit, writes);
      }
      decided_[i] = limit;
    }
    if (writes.empty()) continue;
    replaced_ = true;
    if (i + 1 < rules_->pairs.size()) rescanAround(i, writes, window);
  }
  final_ = std::max(final_, limit);
  return final_ - window.base;
}

void MultiReplacer::rebase(std::size_t base) {
  // What is held lies from final_ on, in the bytes left undecided: a few.
  const auto shift = static_cast<std::uint32_t>(base - base_);
  base_ = base;
  if (shift == 0 || candidateCount_ == 0) return;
  for (std::size_t i = 0; i < rules_->pairs.size(); ++i) {
    for (std::uint32_t& at : candidates_[i]) at -= shift;
    for (std::uint32_t& at : found_[i]) at -= shift;
  }
}

// `touched` is the stretch a rescan is for: an occurrence that lies wholly
// outside it was there before the write, and is held already.
void MultiReplacer::scanFor(std::size_t firstPair, Window window, std::size_t begin,
                            std::size_t end, Write touched) {
  const bool rescan = firstPair > 0;
  // Starts at or past the touched stretch's end cannot overlap it.
  const std::size_t startsEnd = std::min(end, std::max(begin, touched.end)) - window.base;
  const Rules& rules = *rules_;
  rules.search->scan(window.bytes.data(), begin - window.base, end - window.base, startsEnd,
                     [&](std::uint32_t id, std::size_t at) {
                       const std::size_t start = window.base + at;
                       if (start >= touched.end || start + rules.patternLength[id] <= touched.begin)
                         return;
                       offer(id, start, firstPair, rescan);
                     });
}

void MultiReplacer::offer(std::uint32_t id, std::size_t start, std::size_t firstPair, bool rescan) {
  const auto first = rules_->owners.begin() + rules_->ownersBegin[id];
  const auto last = rules_->owners.begin() + rules_->ownersBegin[id + 1];
  for (auto it = rescan ? std::lower_bound(first, last, firstPair) : first; it != last; ++it) {
    if (start >= decided_[*it]) {
      addCandidate(*it, start, rescan);
      return;
    }
  }
}

void MultiReplacer::offerKnown(Window window) {
  // The known occurrences that start in the bytes added and end by the
  // window's end; one that runs past it starts in bytes the next window
  // leaves undecided, and its scan of them finds it.
  const std::size_t end = window.end();
  for (;; ++knownNext_) {
    if (knownNext_ == known_.size()) {
      if (knownEnded_) return;
      known_ = knownSource_->next();
      knownNext_ = 0;
      knownEnded_ = known_.empty();
      if (knownEnded_) return;
    }
    const Occurrence known = known_[knownNext_];
    if (known.start >= end) return;
    if (known.pattern >= rules_->patternLength.size() || known.start < handedIn_ ||
        known.start + std::size_t{rules_->patternLength[known.pattern]} > end) {
      continue;
    }
    offer(known.pattern, known.start, 0, false);
  }
}

void MultiReplacer::searchAdded(Window window, const PatternSearch& search,
                                std::span<const std::uint32_t> ids) {
  if (recording_) {
    try {
      recordCrossing(window, search, ids);
    } catch (const std::bad_alloc&) {
      stopRecording();
    }
  }
  // The bytes added, as they were: what is found there is recorded too.
  search.scan(window.bytes.data(), handedIn_ - window.base, window.bytes.size(),
              [&](std::uint32_t k, std::size_t at) {
                const std::uint32_t id = ids.empty() ? k : ids[k];
                const std::size_t start = window.base + at;
                record(id, start);
                offer(id, start, 0, false);
              });
}

void MultiReplacer::recordCrossing(Window window, const PatternSearch& search,
                                   std::span<const std::uint32_t> ids) {
  // The bytes added are as they were; those before them may have been
  // written. Occurrences that start before them and end in them are
  // searched for in originalTail_ followed by the first of them.
  const std::size_t reach = rules_->longestPattern - 1;
  const std::size_t end = window.end();
  const char* const added = window.bytes.data() + (handedIn_ - window.base);
  const std::size_t addedSize = end - handedIn_;
  const std::size_t tail = originalTail_.size();
  if (tail > 0 && addedSize > 0) {
    crossing_.assign(originalTail_.begin(), originalTail_.end());
    crossing_.insert(crossing_.end(), added, added + std::min(addedSize, reach));
    search.scan(crossing_.data(), 0, crossing_.size(), tail, [&](std::uint32_t k, std::size_t at) {
      const std::uint32_t id = ids.empty() ? k : ids[k];
      if (at + rules_->patternLength[id] > tail) record(id, handedIn_ - tail + at);
    });
  }
  // The tail for the next window: the last `reach` bytes as they were.
  if (addedSize >= reach) {
    originalTail_.assign(added + addedSize - reach, added + addedSize);
  } else {
    originalTail_.insert(originalTail_.end(), added, added + addedSize);
    if (originalTail_.size() > reach) {
      originalTail_.erase(
          originalTail_.begin(),
          originalTail_.begin() + static_cast<std::ptrdiff_t>(originalTail_.size() - reach));
    }
  }
}

void MultiReplacer::record(std::uint32_t id, std::size_t start) {
  if (!recording_) return;
  if (start > std::numeric_limits<std::uint32_t>::max() || record_->size() >= recordMost_) {
    stopRecording();
    return;
  }
  try {
    record_->push_back({static_cast<std::uint32_t>(start), id});
  } catch (const std::bad_alloc&) {
    // The rewrite goes on: only what would have been kept is lost.
    stopRecording();
  }
}

void MultiReplacer::stopRecording() {
  recording_ = false;
  recordedAll_ = false;
  std::vector<Occurrence>().swap(*record_);
  std::vector<char>().swap(originalTail_);
  std::vector<char>().swap(crossing_);
}

void MultiReplacer::addCandidate(std::size_t pairIndex, std::size_t start, bool rescan) {
  if (ownSearch_[pairIndex] != 0) return;
  std::vector<std::uint32_t>& list = candidates_[pairIndex];
  if (candidateCount_ >= candidateBudget_) {
    // The later pairs of the same text go with it: nothing would hand them
    // their candidates.
    for (std::size_t p = pairIndex; p != kNoPair && ownSearch_[p] == 0; p = rules_->nextOwner[p]) {
      ownSearch_[p] = 1;
      candidateCount_ -= candidates_[p].size() + found_[p].size();
      std::vector<std::uint32_t>().swap(candidates_[p]);
      std::vector<std::uint32_t>().swap(found_[p]);
    }
    return;
  }
  const auto at = static_cast<std::uint32_t>(start - base_);
  // A window's first scan finds each text's occurrences in ascending order;
  // those it finds again in the bytes the last window left undecided, and
  // those a write makes, go apart.
  if (!rescan && (list.empty() || at > list.back())) {
    list.push_back(at);
  } else {
    found_[pairIndex].push_back(at);
  }
  ++candidateCount_;
}

void MultiReplacer::applyPair(std::size_t pairIndex, Window window, std::size_t limit,
                              std::vector<Write>& writes) {
  const BytePair& pair = rules_->pairs[pairIndex];
  const std::size_t m = pair.search.size();
  char* const data = window.bytes.data();
  std::size_t& next = next_[pairIndex];
  // Writes whose rescans would overlap are kept as one: a dense file then
  // holds few, and is rescanned over the same bytes. Merging across more
  // than the rescan's reach cost more in starts scanned twice than it saved
  // in scans begun (translation lists, counted on aarch64).
  const std::size_t gap = rules_->reachBefore[pairIndex];
  const auto write = [&](std::size_t start) {
    std::memcpy(data + (start - window.base), pair.replacement.data(), m);
    if (!writes.empty() && start <= writes.back().end + gap) {
      writes.back().end = start + m;
    } else {
      writes.push_back({start, start + m});
    }
    next = start + m;
  };

  if (ownSearch_[pairIndex] != 0) {
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

  std::vector<std::uint32_t>& list = candidates_[pairIndex];
  std::vector<std::uint32_t>& found = found_[pairIndex];
  if (found.size() > 1) std::sort(found.begin(), found.end());
  // The next pair of the same text is handed what may still be an
  // occurrence in its turn: what this pair's own write overlapped, which a
  // window's scan gave this pair since it reaches past the window the write
  // was in (the rescan after a write sees only its own window). Anything
  // else is not one, or is there again only because a later write made it,
  // and the rescan after that write finds it; so too what this pair wrote
  // as it was.
  const std::uint32_t heir = rules_->nextOwner[pairIndex];
  const bool handOn = heir != kNoPair && ownSearch_[heir] == 0;
  // The two lists in one ascending walk, each start once.
  const auto below = static_cast<std::uint32_t>(limit - window.base);
  auto it = list.begin();
  auto other = found.begin();
  std::uint32_t previous = 0;
  bool any = false;
  for (;;) {
    const bool fromList = it != list.end() && *it < below;
    const bool fromFound = other != found.end() && *other < below;
    if (!fromList && !fromFound) break;
    std::uint32_t at;
    if (fromList && (!fromFound || *it <= *other)) {
      at = *it++;
    } else {
      at = *other++;
    }
    if (any && at == previous) continue;
    any = true;
    previous = at;
    const std::size_t start = window.base + at;
    // Earlier pairs may have changed these bytes since the candidate was
    // seen; a long text was seen by its first bytes only.
    if (start < next) {
      if (handOn) addCandidate(heir, start, false);
      continue;
    }
    if (start + m > window.end() || std::memcmp(data + at, pair.search.data(), m) != 0) {
      continue;
    }
    write(start);
  }
  candidateCount_ -= static_cast<std::size_t>(it - list.begin()) +
                     static_cast<std::size_t>(other - found.begin());
  list.erase(list.begin(), it);
  found.erase(found.begin(), other);
  releaseIfLarge(list);
  releaseIfLarge(found);
}

void MultiReplacer::releaseIfLarge(std::vector<std::uint32_t>& list) {
  // A list that grew in a window dense with its text keeps its room only
  // while it holds most of it: one pair at a time may take the budget's
  // room, not every pair in turn. What a pair has not decided yet (the end
  // of a window) is a few, and moves to a list of its size.
  constexpr std::size_t kKept = 1024;
  if (list.capacity() > kKept && list.size() < list.capacity() / 8) {
    std::vector<std::uint32_t>(list.begin(), list.end()).swap(list);
  }
  // An emptied list keeps its room for the pair's next window, but all of
  // them together only up to kKeptRoom entries: thousands of pairs each
  // dense in some stretch would otherwise keep a few KiB each, in every
  // thread's engine. A list that was kept and emptied again counts again,
  // so this releases more than it must, never less.
  constexpr std::size_t kKeptRoom = std::size_t{1} << 18;  // 1 MiB
  if (!list.empty() || list.capacity() == 0) return;
  if (keptRoom_ + list.capacity() > kKeptRoom) {
    std::vector<std::uint32_t>().swap(list);
  } else {
    keptRoom_ += list.capacity();
  }
}

void MultiReplacer::rescanAround(std::size_t pairIndex, const std::vector<Write>& writes,
                                 Window window) {
  // An occurrence of length up to L that overlaps a write starts at most
  // reachBefore bytes before it (L - 1 at most) and ends within L - 1 bytes
  // after it. Writes whose starts to scan would overlap are scanned as one.
  const std::size_t reach = rules_->longestPattern - 1;
  const std::size_t back = rules_->reachBefore[pairIndex];
  const std::size_t into = rules_->startInWrite[pairIndex];
  std::size_t scanBegin = 0;
  std::size_t scanEnd = 0;  // none yet
  Write touched{0, 0};
  for (const Write& w : writes) {
    const std::size_t begin = std::max(window.base, w.begin > back ? w.begin - back + into : into);
    const std::size_t end = std::min(window.end(), w.end + reach);
    if (scanEnd != 0 && begin <= touched.end) {
      scanEnd = end;
      touched.end = w.end;
      continue;
    }
    if (scanEnd != 0 && scanBegin < touched.end) {
      scanFor(pairIndex + 1, window, scanBegin, scanEnd, touched);
    }
    scanBegin = begin;
    scanEnd = end;
    touched = w;
  }
  if (scanEnd != 0 && scanBegin < touched.end) {
    scanFor(pairIndex + 1, window, scanBegin, scanEnd, touched);
  }
}
