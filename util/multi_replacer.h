#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "util/byte_finder.h"
#include "util/pattern_search.h"

// One same-length byte replacement, as views of texts kept elsewhere: the
// engine copies no rule text, whatever its length.
struct BytePair {
  std::string_view search;
  std::string_view replacement;
};

// Applies a list of same-length replacements to bytes with the meaning of
// running UTF8Utils::replaceInBytes once per pair over the whole content, in
// list order: each pair replaces left to right without overlap, on the
// result of the pairs before it. The cost is one scan of the bytes, not one
// per pair, and the content may come window by window, so that a file of any
// size is rewritten in bounded memory.
//
// How: one scan (PatternSearch) finds every occurrence of every search text
// and keeps each as a candidate of the first pair that searches for that
// text (later pairs of the same text are handed what may still be one in
// their turn). Pair i then takes its candidates in order, confirming each
// against the current bytes. Occurrences that earlier pairs created or
// destroyed can only overlap bytes that those pairs wrote, so after each
// pair just the starts that reach into its writes are scanned again, for
// the candidates of the later pairs. A pair whose candidates would pass
// PatternSearch::kCandidateBudget is instead applied by a ByteFinder search
// of its own in its turn.
//
// Window by window: pair i can decide whether an occurrence starts at p only
// once the bytes p to p + length - 1 are final for it, that is, once the
// pairs before it have decided every start up to there. Each pair thus
// decides up to its own frontier, length - 1 bytes behind the frontier of the
// pair before it; the bytes behind the last pair's frontier are final, and
// those after it are handed in again with the next window. A window begins
// with a scan of the bytes it added, and of the longest text's length less
// one before them, in their current state: an occurrence that crosses into
// the new bytes is seen whole there, whatever the earlier pairs wrote into
// its first bytes before they came.
class MultiReplacer {
 public:
  // Pairs whose texts differ in length, or whose search text is empty, never
  // replace anything (as replaceInBytes would refuse them). The texts must
  // outlive the engine. The first form lets PatternSearch choose how to
  // scan; the second fixes the strategy, so that tests and the fuzzer run
  // every strategy on every kind of list.
  explicit MultiReplacer(std::vector<BytePair> pairs);
  MultiReplacer(std::vector<BytePair> pairs, PatternSearch::Strategy strategy);

  // An engine for other content, on another thread if need be, that shares
  // this one's compiled rules (which are never changed once made) instead
  // of building them again: only the state of the content it is fed is its
  // own. The rules' texts must outlive both.
  MultiReplacer sharingRules() const;

  // Told, after the scan and before the first write, how many writes to
  // expect, for a caller whose buffer can be made ready for many writes at
  // once: the occurrences the scan found (an estimate: the writes of earlier
  // pairs can make and unmake later occurrences), or the buffer's size when
  // a pair is to be applied by a search of its own. Returns the bytes to
  // write into from then on: the buffer, or a copy of it of the same size.
  using BeforeWrites = std::function<std::span<char>(std::size_t writes)>;

  // Applies all pairs to `buffer` in place; its length never changes. True
  // when at least one occurrence was overwritten, even with identical bytes.
  // The buffer is fed kApplyWindow bytes at a time, as a file is rewritten,
  // so that the candidates held stay those of one such window.
  bool apply(std::span<char> buffer);
  static constexpr std::size_t kApplyWindow = std::size_t{1} << 20;

  // Starts content that comes window by window.
  void start();
  // Applies the pairs to the next window of the content started last:
  // `window` holds the bytes the last call left undecided (none at first),
  // unchanged, followed by bytes not handed in before; `last` tells that the
  // content ends with it. Returns how many bytes at the window's start are
  // final: they are never changed again, and the next window starts after
  // them. Fewer than undecidedAtMost() bytes are ever left undecided, so a
  // window of that many bytes more than it hands in always decides some.
  // A window longer than kMaxWindow is decided in pieces, in place, with no
  // call of `beforeWrites`.
  std::size_t feed(std::span<char> window, bool last);
  // The same, writing into the bytes `beforeWrites` gives for this window; it
  // is called at most once, and only when the window has something to write.
  std::size_t feed(std::span<char> window, bool last, const BeforeWrites& beforeWrites);
  // Whether an occurrence was overwritten since start().
  bool replaced() const { return replaced_; }
  // The sum over the pairs of each search text's length less one.
  std::size_t undecidedAtMost() const { return rules_->undecidedAtMost; }
  // The longest window decided at once: candidates are kept as 32-bit
  // offsets into it.
  static constexpr std::size_t kMaxWindow = std::numeric_limits<std::uint32_t>::max();

  // An occurrence of search text `pattern` at byte `start` of a content, the
  // texts numbered as searchTexts() lists them.
  struct Occurrence {
    std::uint32_t start;
    std::uint32_t pattern;
    auto operator<=>(const Occurrence&) const = default;
  };
  // The distinct search texts of the pairs that can replace, in the order of
  // their first pair.
  static std::vector<std::string_view> searchTexts(const std::vector<BytePair>& pairs);
  std::size_t searchTextCount() const { return rules_->patternLength.size(); }

  // Occurrences given a piece at a time, sorted by start across the pieces.
  class KnownSource {
   public:
    virtual ~KnownSource() = default;
    // The next piece; none at the end.
    virtual std::span<const Occurrence> next() = 0;
    // Gives them again from the first.
    virtual void rewind() = 0;
  };
  // The search texts that known occurrences leave out: a search for them
  // alone, and by its pattern ids, their ids here.
  struct Unknown {
    const PatternSearch* search = nullptr;
    std::span<const std::uint32_t> ids;
  };
  // From the next start() on, until told otherwise: `known` gives, sorted by
  // start, every occurrence of every search text but those of `unknown` in
  // the content as it is before any pair applies (and it may give starts
  // where none is: each is confirmed as any candidate). The engine takes
  // them instead of searching the bytes each window adds for those texts;
  // it still searches the bytes that the window before left undecided, in
  // their state then, and around every write. Both must outlive the content.
  void takeKnown(KnownSource& known, Unknown unknown);
  void takeKnown(KnownSource& known);
  // The same with the occurrences in one piece.
  void takeKnown(std::span<const Occurrence> known, Unknown unknown);
  void takeKnown(std::span<const Occurrence> known);
  // From the next start() on, until told otherwise (and after takeKnown):
  // `into` is emptied, and every occurrence of a search text that is
  // searched for (every text; with takeKnown, those it leaves out) in the
  // content as it is before any pair applies is added to it, unsorted and
  // possibly twice, with, for a text longer than PatternTrie::kIndexedPrefix,
  // every place where those first bytes occur. Past `most` of them, a start
  // that 32 bits cannot hold, rule texts longer than kMostRecordedText, or
  // no memory, `into` is emptied and recordedAll() is false until the next
  // start().
  void recordInto(std::vector<Occurrence>& into, std::size_t most);
  static constexpr std::size_t kMostRecordedText = 4096;
  // Neither: every window's bytes are searched, and nothing is recorded.
  void forgetOccurrences();
  // Whether `into` holds every occurrence of the content fed since start().
  bool recordedAll() const { return recordedAll_; }

  // Overrides PatternSearch::kCandidateBudget, so tests can force pairs onto
  // searches of their own.
  void setCandidateBudget(std::size_t budget) { candidateBudget_ = budget; }
  // Overrides kApplyWindow, so tests can run apply() over many windows.
  void setApplyWindow(std::size_t bytes) { applyWindow_ = bytes; }
  // The candidates held against the budget: none once the last window is
  // fed. Tests watch it, since nothing else shows a count that creeps up
  // until pairs are searched alone long before the budget is really spent.
  std::size_t candidatesHeld() const { return candidateCount_; }

 private:
  struct Write {
    std::size_t begin;
    std::size_t end;
  };
  // A window: bytes at content offsets [base, base + bytes.size()).
  struct Window {
    std::span<char> bytes;
    std::size_t base;
    std::size_t end() const { return base + bytes.size(); }
  };

  // What the rules compile to: the same for any content, and shared by the
  // engines sharingRules() makes.
  struct Rules {
    std::vector<BytePair> pairs;  // those that can replace, in list order
    // The pairs that search for the distinct search text with id k in search,
    // in ascending order: owners[ownersBegin[k]] to owners[ownersBegin[k + 1]].
    std::vector<std::uint32_t> ownersBegin;
    std::vector<std::uint32_t> owners;
    std::vector<std::uint32_t> patternLength;  // by id
    // Per pair, the next pair that searches for the same text, or kNoPair. A
    // scan gives an occurrence to the first of them that has not decided it;
    // each hands it on in its turn where the next may still find it there.
    std::vector<std::uint32_t> nextOwner;
    std::size_t longestPattern = 0;
    std::size_t undecidedAtMost = 0;
    // Per pair, how far before one of its writes a later pair's text can
    // start and still overlap it (see reachBeforeWrites()).
    std::vector<std::uint32_t> reachBefore;
    // Per pair whose reachBefore is 0, the first byte of its replacement at
    // which a later pair's text can start and hold the bytes from there (the
    // replacement's length where none can); 0 for the others.
    std::vector<std::uint32_t> startInWrite;
    std::optional<PatternSearch> search;  // none when no pair can replace
  };
  struct SharedRules {};  // picks the constructor below
  MultiReplacer(SharedRules, std::shared_ptr<const Rules> rules);

  MultiReplacer(std::vector<BytePair> pairs, std::optional<PatternSearch::Strategy> strategy);
  // Rules::reachBefore for `rules`, whose search texts by id are `patterns`.
  static std::vector<std::uint32_t> reachBeforeWrites(
      const Rules& rules, const std::vector<std::string_view>& patterns);
  // Rules::startInWrite for `rules`, whose reachBefore is set.
  static std::vector<std::uint32_t> startsInWrites(const Rules& rules,
                                                   const std::vector<std::string_view>& patterns);
  std::size_t feedInPieces(std::span<char> bytes, bool last, std::size_t piece);
  std::size_t feedWindow(std::span<char> bytes, bool last, const BeforeWrites& beforeWrites);
  void scanFor(std::size_t firstPair, Window window, std::size_t begin, std::size_t end,
               Write touched);
  // Gives the occurrence of text `id` at `start` to the first of its pairs
  // from `firstPair` on that has not decided it.
  void offer(std::uint32_t id, std::size_t start, std::size_t firstPair, bool rescan);
  void offerKnown(Window window);
  // Searches the bytes `window` added, as they were, for `search`'s texts
  // (`ids` by its ids, or the texts themselves where empty): what it finds
  // is given to the pairs and recorded, with what recordCrossing() finds.
  void searchAdded(Window window, const PatternSearch& search, std::span<const std::uint32_t> ids);
  // Records the occurrences of `search`'s texts (numbered likewise) that
  // start before the bytes `window` added and end in them, as those bytes
  // were.
  void recordCrossing(Window window, const PatternSearch& search,
                      std::span<const std::uint32_t> ids);
  void record(std::uint32_t id, std::size_t start);
  void stopRecording();
  void addCandidate(std::size_t pairIndex, std::size_t start, bool rescan);
  void applyPair(std::size_t pairIndex, Window window, std::size_t limit,
                 std::vector<Write>& writes);
  void rescanAround(std::size_t pairIndex, const std::vector<Write>& writes, Window window);
  void rebase(std::size_t base);
  void releaseIfLarge(std::vector<std::uint32_t>& list);

  static constexpr std::uint32_t kNoPair = std::numeric_limits<std::uint32_t>::max();
  std::shared_ptr<const Rules> rules_;
  std::size_t candidateBudget_ = PatternSearch::kCandidateBudget;
  std::size_t applyWindow_ = kApplyWindow;

  // The content's state, from start() on. Offsets count from its first
  // byte; candidates, from base_, which is where the current window starts.
  // Each pair's candidates from decided_ on: those the window's first scan
  // found in ascending order, and apart, in no order, those found after a
  // write (or out of order): a write finds few, so sorting them costs
  // little, where sorting them into the others cost a sort of all of them.
  std::vector<std::vector<std::uint32_t>> candidates_;
  std::vector<std::vector<std::uint32_t>> found_;
  std::size_t base_ = 0;
  std::vector<unsigned char> ownSearch_;  // pairs past the budget: searched alone in their turn
  std::vector<std::optional<ByteFinder>> finders_;  // their searches, made once
  std::vector<std::size_t> decided_;                // per pair: every start before it is decided
  std::vector<std::size_t> next_;                   // per pair: where its last replacement ended
  std::size_t candidateCount_ = 0;
  // The room of emptied lists kept for their next candidates, in entries,
  // counted since start(); see releaseIfLarge().
  std::size_t keptRoom_ = 0;
  // Occurrences known before the content came (takeKnown): their source,
  // the piece in hand and the next one in it not yet given to a pair.
  class OnePiece : public KnownSource {
   public:
    std::span<const Occurrence> next() override { return std::exchange(left_, {}); }
    void rewind() override { left_ = all_; }
    void set(std::span<const Occurrence> all) { all_ = left_ = all; }

   private:
    std::span<const Occurrence> all_;
    std::span<const Occurrence> left_;
  };
  OnePiece onePiece_;
  KnownSource* knownSource_ = nullptr;
  Unknown unknown_;
  std::span<const Occurrence> known_;
  std::size_t knownNext_ = 0;
  bool knownEnded_ = false;
  // Where occurrences are recorded (recordInto). originalTail_ holds
  // the bytes before handedIn_ as they were, up to the longest text's length
  // less one, for the occurrences that cross into the next window.
  std::vector<Occurrence>* record_ = nullptr;
  std::size_t recordMost_ = 0;
  bool recording_ = false;
  bool recordedAll_ = false;
  std::vector<char> originalTail_;
  std::vector<char> crossing_;  // the tail and the bytes after it, to scan
  std::size_t handedIn_ = 0;  // the end of the last window
  std::size_t final_ = 0;     // every byte before it is final
  bool replaced_ = false;
};
