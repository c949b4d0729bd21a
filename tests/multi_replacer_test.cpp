#include "util/multi_replacer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "tests/allocation_count.h"
#include "tests/reference_algorithms.h"
#include "tests/test_support.h"
#include "util/string_utils.h"

namespace {

using Rules = std::vector<std::pair<std::string, std::string>>;
using testsupport::bytesOf;
using testsupport::textOf;

std::vector<BytePair> toPairs(const Rules& rules) {
  std::vector<BytePair> pairs;
  for (const auto& [s, r] : rules) pairs.push_back({s, r});
  return pairs;
}

std::string describe(const Rules& rules, const std::string& buffer) {
  std::string out = "buffer '" + buffer + "' rules";
  for (const auto& [s, r] : rules) out += " [" + s + "->" + r + "]";
  return out;
}

// The strategies: none forced (the one PatternSearch chooses), then each one.
using Forced = std::optional<PatternSearch::Strategy>;
const std::vector<Forced> kStrategies = [] {
  std::vector<Forced> all = {std::nullopt};
  all.insert(all.end(), PatternSearch::kStrategies.begin(), PatternSearch::kStrategies.end());
  return all;
}();

MultiReplacer engineFor(const Rules& rules, Forced strategy) {
  return strategy ? MultiReplacer(toPairs(rules), *strategy) : MultiReplacer(toPairs(rules));
}

// Hands `input` to the engine window by window, `chunk(i)` new bytes in the
// i-th, as a file read piece by piece would be, and returns the bytes it
// declared final, in order. Checks that it never leaves more bytes undecided
// than it promised and that every byte ends final.
std::string feedInWindows(MultiReplacer& engine, const std::string& input,
                          const std::function<std::size_t(std::size_t)>& chunk) {
  engine.start();
  std::string out;
  std::string window;  // undecided bytes, then the new ones
  std::size_t pos = 0;
  for (std::size_t i = 0;; ++i) {
    const std::size_t take = std::min(chunk(i), input.size() - pos);
    window.append(input, pos, take);
    pos += take;
    const bool last = pos == input.size();
    const std::size_t final = engine.feed(window, last);
    EXPECT_LE(final, window.size());
    out.append(window, 0, final);
    window.erase(0, final);
    if (last) break;
    EXPECT_LE(window.size(), engine.undecidedAtMost());
  }
  EXPECT_EQ("", window);
  return out;
}

// Records the occurrences of one pass in random windows, checks that they
// hold every occurrence of every search text in `input` (and nothing that
// does not start with a text's indexed bytes), and gives them, sorted, to a
// pass in other windows and to apply(): each must give `expected`.
void expectKnownOccurrencesGiveTheSame(MultiReplacer& engine, const Rules& rules,
                                       const std::string& input, const std::string& expected,
                                       std::mt19937& rng) {
  std::vector<MultiReplacer::Occurrence> recorded = {{7, 7}};  // emptied by start()
  struct Forget {
    MultiReplacer& engine;
    ~Forget() { engine.forgetOccurrences(); }  // however the checks end
  } forget{engine};
  engine.recordInto(recorded, std::numeric_limits<std::size_t>::max());
  const std::size_t largest = 1 + rng() % std::max<std::size_t>(40, input.size() / 8);
  const auto randomChunk = [&](std::size_t) {
    return static_cast<std::size_t>(rng() % (largest + 1));
  };
  ASSERT_EQ(expected, feedInWindows(engine, input, randomChunk)) << describe(rules, input);
  ASSERT_TRUE(engine.recordedAll());
  const std::vector<BytePair> pairs = toPairs(rules);
  const std::vector<std::string_view> texts = MultiReplacer::searchTexts(pairs);
  // Sorts `found`, and checks that it holds every occurrence of the texts
  // `searched` holds, and nothing that does not start with one's indexed
  // bytes.
  const auto expectRecorded = [&](std::vector<MultiReplacer::Occurrence>& found,
                                  const std::vector<std::uint32_t>& searched) {
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    for (const MultiReplacer::Occurrence& one : found) {
      ASSERT_TRUE(std::binary_search(searched.begin(), searched.end(), one.pattern));
      const std::string_view indexed = texts[one.pattern].substr(0, PatternTrie::kIndexedPrefix);
      ASSERT_EQ(indexed, std::string_view(input).substr(one.start, indexed.size()))
          << describe(rules, input) << " at " << one.start;
    }
    if (input.size() * texts.size() > 1'000'000) return;
    for (const std::uint32_t id : searched) {
      for (std::size_t at = input.find(texts[id]); at != std::string::npos;
           at = input.find(texts[id], at + 1)) {
        const MultiReplacer::Occurrence occurrence{static_cast<std::uint32_t>(at), id};
        ASSERT_TRUE(std::binary_search(found.begin(), found.end(), occurrence))
            << describe(rules, input) << " text " << id << " at " << at << " not recorded";
      }
    }
  };
  std::vector<std::uint32_t> all(texts.size());
  for (std::uint32_t id = 0; id < texts.size(); ++id) all[id] = id;
  expectRecorded(recorded, all);
  if (::testing::Test::HasFatalFailure()) return;
  // A piece of one to four at a time.
  class Pieces : public MultiReplacer::KnownSource {
   public:
    Pieces(const std::vector<MultiReplacer::Occurrence>& all, std::mt19937& rng)
        : all_(all), rng_(rng) {}
    std::span<const MultiReplacer::Occurrence> next() override {
      const std::size_t size = std::min<std::size_t>(1 + rng_() % 4, all_.size() - at_);
      at_ += size;
      return std::span(all_).subspan(at_ - size, size);
    }
    void rewind() override { at_ = 0; }

   private:
    const std::vector<MultiReplacer::Occurrence>& all_;
    std::mt19937& rng_;
    std::size_t at_ = 0;
  } pieces(recorded, rng);
  engine.takeKnown(pieces);
  ASSERT_EQ(expected, feedInWindows(engine, input, randomChunk))
      << describe(rules, input) << " (known occurrences, in windows)";
  engine.takeKnown(recorded);
  auto whole = bytesOf(input);
  engine.apply(whole);
  ASSERT_EQ(expected, textOf(whole)) << describe(rules, input) << " (known occurrences)";

  // A third of the texts left out of those known and searched for instead,
  // as after new rules were added: the same bytes, and every occurrence of
  // those texts recorded.
  std::vector<std::uint32_t> unknownIds;
  std::vector<std::string_view> unknownTexts;
  for (std::uint32_t id = 0; id < texts.size(); ++id) {
    if (rng() % 3 != 0) continue;
    unknownIds.push_back(id);
    unknownTexts.push_back(texts[id]);
  }
  if (unknownIds.empty()) return;
  const PatternSearch search(unknownTexts, PatternSearch::choose(unknownTexts));
  std::vector<MultiReplacer::Occurrence> partial;
  std::copy_if(recorded.begin(), recorded.end(), std::back_inserter(partial), [&](const auto& one) {
    return !std::binary_search(unknownIds.begin(), unknownIds.end(), one.pattern);
  });
  std::vector<MultiReplacer::Occurrence> recordedAgain = {{7, 7}};
  engine.takeKnown(partial, {&search, unknownIds});
  engine.recordInto(recordedAgain, std::numeric_limits<std::size_t>::max());
  ASSERT_EQ(expected, feedInWindows(engine, input, randomChunk))
      << describe(rules, input) << " (some texts known, in windows)";
  ASSERT_TRUE(engine.recordedAll());
  expectRecorded(recordedAgain, unknownIds);
}

// Runs both the engine and the sequential reference and compares results:
// the whole buffer at once, then in windows of one byte and of random sizes.
void expectSameAsSequential(const Rules& rules, const std::string& input, std::size_t budget,
                            Forced strategy = std::nullopt) {
  auto expected = bytesOf(input);
  const bool expectedReplaced = reference::replaceAll(expected, rules);
  MultiReplacer engine = engineFor(rules, strategy);
  engine.setCandidateBudget(budget);
  auto actual = bytesOf(input);
  const bool replaced = engine.apply(actual);
  ASSERT_EQ(textOf(expected), textOf(actual)) << describe(rules, input) << " budget " << budget;
  ASSERT_EQ(expectedReplaced, replaced) << describe(rules, input);
  // A second buffer through the same engine must not see the first one's state.
  auto again = bytesOf(input);
  engine.apply(again);
  ASSERT_EQ(textOf(expected), textOf(again)) << describe(rules, input) << " (reused engine)";
  // apply() takes a large buffer a window at a time: here windows of a few
  // bytes, or a fifth of the input.
  engine.setApplyWindow(std::max<std::size_t>(1 + input.size() % 13, input.size() / 5));
  auto inWindows = bytesOf(input);
  ASSERT_EQ(expectedReplaced, engine.apply(inWindows)) << describe(rules, input);
  ASSERT_EQ(textOf(expected), textOf(inWindows)) << describe(rules, input) << " (apply's windows)";
  engine.setApplyWindow(MultiReplacer::kApplyWindow);

  // Windows of one byte each for short inputs; random sizes, none at times,
  // for all.
  std::mt19937 rng(static_cast<unsigned>(input.size() * 31 + rules.size()));
  const std::size_t largest = 1 + rng() % std::max<std::size_t>(40, input.size() / 16);
  std::vector<std::function<std::size_t(std::size_t)>> chunks = {
      [&](std::size_t) { return static_cast<std::size_t>(rng() % (largest + 1)); }};
  if (input.size() <= 1000) chunks.push_back([](std::size_t) { return std::size_t{1}; });
  for (const auto& chunk : chunks) {
    ASSERT_EQ(textOf(expected), feedInWindows(engine, input, chunk))
        << describe(rules, input) << " budget " << budget << " (in windows)";
    ASSERT_EQ(expectedReplaced, engine.replaced()) << describe(rules, input) << " (in windows)";
  }

  expectKnownOccurrencesGiveTheSame(engine, rules, input, textOf(expected), rng);
  if (::testing::Test::HasFatalFailure()) return;

  // An engine sharing the rules, fed other content window by window in turns
  // with this one, as threads do: each keeps its own content's state.
  if (input.size() > 1000) return;
  std::string other = input;
  std::reverse(other.begin(), other.end());
  auto otherExpected = bytesOf(other);
  reference::replaceAll(otherExpected, rules);
  MultiReplacer sibling = engine.sharingRules();
  sibling.setCandidateBudget(budget);
  struct Fed {
    MultiReplacer& engine;
    const std::string& input;
    std::size_t pos = 0;
    std::string window;
    std::string out;
  };
  Fed both[] = {{engine, input, 0, "", ""}, {sibling, other, 0, "", ""}};
  for (Fed& fed : both) fed.engine.start();
  for (std::size_t turn = 0; both[0].pos < input.size() + 1 || both[1].pos < other.size() + 1;
       ++turn) {
    Fed& fed = both[turn % 2];
    if (fed.pos > fed.input.size()) continue;  // done
    const std::size_t take = std::min<std::size_t>(1 + rng() % 7, fed.input.size() - fed.pos);
    fed.window.append(fed.input, fed.pos, take);
    fed.pos += take;
    const bool last = fed.pos == fed.input.size();
    const std::size_t final = fed.engine.feed(fed.window, last);
    fed.out.append(fed.window, 0, final);
    fed.window.erase(0, final);
    if (last) fed.pos = fed.input.size() + 1;
  }
  ASSERT_EQ(textOf(expected), both[0].out) << describe(rules, input) << " (beside another)";
  ASSERT_EQ(textOf(otherExpected), both[1].out) << describe(rules, other) << " (sharing rules)";
}

TEST(MultiReplacer, KeepsTheMeaningOfRulesAppliedOneAfterAnother) {
  const std::pair<Rules, std::string> cases[] = {
      {{{"X", "Y"}, {"Y", "Z"}}, "aXbYc"},    // chained: X ends as Z
      {{{"Y", "Z"}, {"X", "Y"}}, "aXbYc"},    // order matters
      {{{"aa", "bb"}}, "aaa"},                // no overlap
      {{{"AB", "BA"}}, "AAB"},                // self-created occurrence not revisited
      {{{"AB", "BA"}, {"AB", "XY"}}, "AAB"},  // but a later rule sees it
      {{{"ab", "cd"}, {"bc", "zz"}, {"dc", "qq"}}, "abcab"},  // occurrences across rule writes
      {{{"abc", "abc"}}, "xabcx"},                            // identical replacement counts
      {{{"ab", "abc"}, {"b", "c"}}, "abab"},                  // unusable rule is skipped
      {{{"", ""}, {"a", "b"}}, "aaa"},
      {{{"a", "b"}, {"a", "c"}, {"b", "a"}, {"a", "d"}}, "aXa"},
      {{{"ab", "ab"}, {"x", "y"}, {"ab", "cd"}}, "abab"},  // the same text, left as it was
      {{{"aa", "aa"}, {"aa", "bb"}}, "aaab"},              // and one its own write overlapped
      {{{"q", "r"}}, ""},
  };
  for (const auto& [rules, input] : cases) {
    for (const Forced strategy : kStrategies)
      expectSameAsSequential(rules, input, 1 << 20, strategy);
    expectSameAsSequential(rules, input, 0);  // every rule on the plain path
    expectSameAsSequential(rules, input, 2);  // some rules switch part way
  }
}

// A rescan after a pair's writes reaches back as far as a later text can
// start and still hold the written bytes (or starts within the write where
// none can start before it): by its last byte, around the whole
// replacement, or (a text too long to be listed by its bytes) its whole
// length. Each occurrence of the later text exists only once the write made it.
TEST(MultiReplacer, RescansReachBackAsFarAsALaterTextCanHoldTheWrite) {
  const std::string longText = std::string(298, 'q') + "XY";
  // Texts that repeat one byte match each other's replacements at almost
  // every offset: working out the bounds spends its budget, and the bounds
  // that hold for any texts must then hold for the chain around them.
  Rules repeating = {{"zzB", "zzC"}};
  for (int i = 0; i < 1000; ++i) {
    repeating.emplace_back(std::string(32, 'a') + std::to_string(10000000 + i),
                           std::string(39, 'a') + "b");
  }
  repeating.emplace_back("yzzC", "wwww");
  // No later text holds a write's first bytes further in, so each rescan
  // starts within the write; but thousands of texts begin with the bytes
  // every replacement repeats, and working out where spends that budget too.
  // Pair 3000's write then makes pair 3500's text, from its fifth byte.
  Rules startingInside;
  for (int i = 0; i < 4000; ++i) {
    startingInside.emplace_back("yy" + std::to_string(1000 + i), "yyyyyy");
  }
  const std::pair<Rules, std::string> cases[] = {
      {repeating, "qyzzBq" + std::string(40, 'a')},
      {startingInside, "qyy40004500q"},
      {{{"ab", "XY"}, {"Yq", "12"}}, "abq"},                           // from within it
      {{{"ab", "XY"}, {"qqqX", "1234"}}, "qqqabq"},                    // by its last byte
      {{{"ab", "XY"}, {"qXYq", "1234"}, {"qqqX", "5678"}}, "qqabqq"},  // around it
      {{{"ab", "XY"}, {longText, std::string(300, '#')}}, std::string(298, 'q') + "abq"},
      {{{"ab", "XY"}, {"qX", "12"}, {longText, std::string(300, '#')}},
       std::string(297, 'q') + "qab"},
  };
  for (const auto& [rules, input] : cases) {
    for (const Forced strategy : kStrategies)
      expectSameAsSequential(rules, input, 1 << 20, strategy);
  }
}

// Random rule lists over a tiny alphabet produce overlapping, chained and
// self-creating patterns far more often than real text would; UTF-16LE forms
// of the same rules add zero bytes to the mix.
TEST(MultiReplacer, AgreesWithSequentialReferenceOnRandomBuffers) {
  std::mt19937 rng(12345);
  const std::string alphabet = std::string("ab\0c", 4);
  const auto randomText = [&](std::size_t length) {
    std::string s(length, 'a');
    for (char& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
  };
  for (int round = 0; round < 4000; ++round) {
    Rules rules;
    const std::size_t count = 1 + rng() % 14;
    for (std::size_t i = 0; i < count; ++i) {
      // Every fourth round has no text shorter than three, four or five bytes.
      const std::size_t length = (round % 4 == 3 ? 3 + round / 12 % 3 : 1) + rng() % 4;
      std::string search = randomText(length);
      std::string replacement = randomText(length);
      if (rng() % 4 == 0) {
        search = UTF8Utils::utf8ToUtf16LE(search);
        replacement = UTF8Utils::utf8ToUtf16LE(replacement);
      }
      if (!rules.empty() && rng() % 5 == 0)
        search = rules[rng() % rules.size()].second.substr(0, length);
      if (rng() % 10 == 0) {
        rules.emplace_back(search, search + "x");  // never applicable
      } else {
        rules.emplace_back(search, replacement.substr(0, search.size()));
      }
    }
    const std::string input = randomText(rng() % 120);
    // Rounds take each strategy in turn, whatever the list's length.
    expectSameAsSequential(rules, input, round % 5 == 0 ? 3 : 1 << 20, kStrategies[round % 4]);
  }
}

TEST(MultiReplacer, ManyRulesOnALargeBuffer) {
  std::mt19937 rng(99);
  Rules rules;
  for (int i = 0; i < 300; ++i) {
    const std::string search = "w" + std::to_string(i) + "_";
    std::string replacement = "W" + std::to_string((i * 7) % 300) + "_";
    replacement.resize(search.size(), '#');
    rules.emplace_back(search, replacement);
  }
  std::string input;
  while (input.size() < 200000) {
    input += rng() % 3 == 0 ? "w" + std::to_string(rng() % 320) + "_"
                            : std::string(1, static_cast<char>(rng()));
  }
  for (const Forced strategy : kStrategies) expectSameAsSequential(rules, input, 1 << 20, strategy);
  expectSameAsSequential(rules, input, 1000);  // some rules switch to plain scans part way
}

// Recording holds at most what it was given room for, and nothing for rule
// texts too long to keep: past that it gives up, lets its room go, and says
// so, while the rewrite goes on as without it.
TEST(MultiReplacer, RecordingStopsAtItsBounds) {
  const std::string longText(MultiReplacer::kMostRecordedText + 1, 'q');
  const struct {
    Rules rules;
    std::size_t most;
    bool recordedAll;
  } cases[] = {
      {{{"ab", "cd"}}, 4, true},   // "ab" four times
      {{{"ab", "cd"}}, 3, false},  // the fourth finds no room
      {{{"ab", "cd"}, {longText, longText}}, 100, false},
  };
  for (const auto& [rules, most, recordedAll] : cases) {
    MultiReplacer engine(toPairs(rules));
    std::vector<MultiReplacer::Occurrence> recorded;
    engine.recordInto(recorded, most);
    engine.setApplyWindow(3);
    auto buffer = bytesOf("xabababyab");
    ASSERT_TRUE(engine.apply(buffer));
    EXPECT_EQ("xcdcdcdycd", textOf(buffer));
    EXPECT_EQ(recordedAll, engine.recordedAll()) << most;
    EXPECT_EQ(recordedAll ? 4u : 0u, recorded.size()) << most;
    if (!recordedAll) {
      EXPECT_EQ(0u, recorded.capacity()) << most;
    }
  }
}

// Each pair's candidates are used up in its turn, the duplicates that the
// rescans after earlier pairs' writes add among them: otherwise the count
// kept against the budget creeps up with every rule, and pairs switch to
// plain scans of the whole buffer long before the budget is reached.
TEST(MultiReplacer, CandidatesAreAllUsedUpByTheEnd) {
  // The write of "ab" rescans around itself and finds "x" again.
  for (const Forced strategy : kStrategies) {
    const Rules rules = {{"ab", "cd"}, {"x", "y"}};  // the engine keeps views of them
    MultiReplacer engine = engineFor(rules, strategy);
    auto buffer = bytesOf("abxabx");
    ASSERT_TRUE(engine.apply(buffer));
    EXPECT_EQ("cdycdy", textOf(buffer));
    EXPECT_EQ(0u, engine.candidatesHeld());
  }
}

// Texts longer than the trie indexes, several sharing those first bytes
// and differing after them, chained and overlapping, in every strategy and
// in windows shorter than the texts.
TEST(MultiReplacer, LongTextsKeepTheirMeaning) {
  std::mt19937 rng(777);
  const std::string head(PatternTrie::kIndexedPrefix, 'h');
  for (int round = 0; round < 300; ++round) {
    Rules rules;
    const std::size_t count = 1 + rng() % 6;
    for (std::size_t i = 0; i < count; ++i) {
      std::string tail(1 + rng() % 40, 'a');
      for (char& c : tail) c = "ab"[rng() % 2];
      const std::string search = (rng() % 3 == 0 ? std::string("x") : head) + tail;
      std::string replacement = search;
      replacement[replacement.size() - 1 - rng() % tail.size()] = 'h';
      rules.emplace_back(search,
                         rng() % 4 == 0 ? head + "b" : replacement.substr(0, search.size()));
    }
    std::string input;
    while (input.size() < 600) {
      input +=
          rng() % 2 == 0 ? rules[rng() % rules.size()].first : std::string(1, "abhx"[rng() % 4]);
    }
    expectSameAsSequential(rules, input, round % 7 == 0 ? 2 : 1 << 20,
                           kStrategies[static_cast<std::size_t>(round) % kStrategies.size()]);
  }
}

// The engine holds views of the rule texts and indexes a bounded prefix of
// each: what it allocates grows with the number of rules, not with the
// length of their texts (a trie of every byte cost about 90 times a text's
// length).
TEST(MultiReplacer, LongTextsCostTheirNumberNotTheirLength) {
  const auto heldBy = [](const Rules& rules, Forced strategy) {
    const std::vector<BytePair> pairs = toPairs(rules);
    std::vector<char> buffer(rules.front().first.begin(), rules.front().first.end());
    return allocations::peakDuring([&] {
      MultiReplacer engine = strategy ? MultiReplacer(pairs, *strategy) : MultiReplacer(pairs);
      EXPECT_TRUE(engine.apply(buffer));
    });
  };
  Rules oneLong = {{"a", "b"}, {"c", "d"}, {"e", "f"}};
  std::string text(8 << 20, 'x');
  text[0] = 'S';
  std::string replacement = text;
  replacement[0] = 'R';
  oneLong.emplace(oneLong.begin(), text, replacement);
  Rules thousand;
  for (int i = 0; i < 1000; ++i) {
    std::string search(8 << 10, static_cast<char>('a' + i % 26));
    search.replace(0, 4, std::to_string(1000 + i));
    thousand.emplace_back(search, std::string(search.size(), '#'));
  }
  for (const Forced strategy : kStrategies) {
    // The trie's tables are fixed in size (under 1 MiB); everything else is
    // a few KiB per rule at most, whatever the texts' length.
    EXPECT_LT(heldBy(oneLong, strategy), std::size_t{2} << 20);
    EXPECT_LT(heldBy(thousand, strategy), (std::size_t{1} << 20) + thousand.size() * (4 << 10));
  }
}

// A window dense with one rule's text fills that rule's candidates; once
// they are used, their room goes, so rules dense one after another never
// hold it all at once (a list keeping its room grew the engine by the
// budget's worth for every such rule).
TEST(MultiReplacer, RulesDenseInTurnDoNotEachKeepTheirRoom) {
  Rules rules;
  for (char c = 'a'; c < 'q'; ++c) rules.emplace_back(std::string("q") + c, std::string("Q") + c);
  constexpr std::size_t kWindow = std::size_t{32} << 10;
  std::string input;
  for (const auto& [search, replacement] : rules) {
    for (std::size_t i = 0; i < kWindow / search.size(); ++i) input += search;
  }
  MultiReplacer engine(toPairs(rules));
  std::string window;
  window.reserve(2 * kWindow);
  const std::size_t peak = allocations::peakDuring([&] {
    engine.start();
    for (std::size_t at = 0; at < input.size(); at += kWindow) {
      window.append(input, at, kWindow);
      const std::size_t final = engine.feed(window, at + kWindow >= input.size());
      window.erase(0, final);
    }
  });
  EXPECT_TRUE(engine.replaced());
  EXPECT_LT(peak, std::size_t{1} << 20) << peak / 1024 << " KiB";
}

// What the engine holds grows with a window's candidates, not with the
// content: apply() takes a large buffer a window at a time, and a text that
// several pairs search for is held once, by the first of them. Buffers of
// 4 MiB where every fourth byte starts an occurrence held 8 MiB of
// positions, and ten pairs of one text ten times that, up to the budget.
TEST(MultiReplacer, HoldsOneWindowOfCandidatesOnce) {
  const std::pair<const char*, Rules> cases[] = {
      {"many texts", [] {
         Rules rules;
         for (int i = 0; i < 1000; ++i) {
           const std::string search = "t" + std::to_string(100 + i);
           rules.emplace_back(search, "T" + search.substr(1));
         }
         return rules;
       }()},
      {"one text, ten pairs", Rules(10, {"t100", "t100"})},
  };
  for (const auto& [name, rules] : cases) {
    std::string input;
    for (std::size_t i = 0; input.size() < (std::size_t{4} << 20); ++i) {
      input += rules[i % rules.size()].first;
    }
    auto expected = bytesOf(input);
    reference::replaceAll(expected, rules);
    auto actual = bytesOf(input);
    MultiReplacer engine(toPairs(rules));
    const std::size_t peak = allocations::peakDuring([&] { EXPECT_TRUE(engine.apply(actual)); });
    EXPECT_EQ(textOf(expected), textOf(actual)) << name;
    EXPECT_LT(peak, std::size_t{4} << 20) << name << ": " << peak / 1024 << " KiB";
  }
}

// Thousands of pairs, each dense in a stretch of its own: an engine keeps no
// more than a bounded room for its emptied lists, whatever the pair count
// (each thread of a run has an engine, so this is per thread).
TEST(MultiReplacer, KeepsABoundedRoomForListsThatEmptied) {
  Rules rules;
  std::string input;
  for (int i = 0; i < 4000; ++i) {
    char search[8];
    std::snprintf(search, sizeof search, "q%04d", i);
    rules.emplace_back(search, "Q" + std::string(search + 1));
    for (int k = 0; k < 600; ++k) input += search;
  }
  std::string expected = input;
  std::replace(expected.begin(), expected.end(), 'q', 'Q');
  MultiReplacer engine(toPairs(rules));
  auto actual = bytesOf(input);
  const std::size_t peak = allocations::peakDuring([&] { EXPECT_TRUE(engine.apply(actual)); });
  EXPECT_EQ(expected, textOf(actual));
  EXPECT_LT(peak, std::size_t{4} << 20) << peak / 1024 << " KiB";
}

// Rule lists shaped like a translator's, of a given length: Chinese and
// English texts of 1 to 12 characters in UTF-8 or UTF-16LE (so they share
// their first bytes), texts that are prefixes of others, long texts past the
// bytes any strategy indexes that differ only after them, and chains (a
// rule's text is an earlier rule's replacement). The buffer holds the
// texts, their neighbours and noise.
std::pair<Rules, std::string> translatorCase(std::size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  static const char* const kHan[] = {"武", "器", "弹", "药", "背", "包", "地", "图"};
  static const char* const kWords[] = {"Map", "Ammo", "Sword", "Exit", "Kill"};
  const std::string head(PatternTrie::kIndexedPrefix + 8, 'h');
  const auto text = [&] {
    std::string t;
    const std::size_t characters = 1 + rng() % 12;
    for (std::size_t k = 0; k < characters; ++k) {
      t += rng() % 3 == 0 ? std::string(kWords[rng() % 5]).substr(0, 1 + rng() % 3)
                          : std::string(kHan[rng() % 8]);
    }
    if (rng() % 4 == 0) t = UTF8Utils::utf8ToUtf16LE(t);
    if (rng() % 40 == 0) t = head + t;  // long, sharing the head
    return t;
  };
  Rules rules;
  for (std::size_t i = 0; i < count; ++i) {
    std::string search = text();
    if (!rules.empty() && rng() % 8 == 0) {
      search = rules[rng() % rules.size()].second;  // a chain
    } else if (!rules.empty() && rng() % 8 == 0) {
      const std::string& other = rules[rng() % rules.size()].first;
      search = other.substr(0, 1 + rng() % other.size());  // a prefix of another
    }
    std::string replacement = text();
    replacement.resize(search.size(), '#');
    rules.emplace_back(search, replacement);
  }
  std::string buffer;
  while (buffer.size() < 30000) {
    const unsigned pick = rng() % 4;
    if (pick == 0) {
      buffer += rules[rng() % rules.size()].first;
    } else if (pick == 1) {
      std::string near = rules[rng() % rules.size()].first;
      near[rng() % near.size()] ^= 1;
      buffer += near;
    } else if (pick == 2) {
      buffer += text();
    } else {
      for (std::size_t n = rng() % 16; n > 0; --n) buffer.push_back(static_cast<char>(rng()));
    }
  }
  return {rules, buffer};
}

// Every strategy at every size of list that changes how it is built: one
// rule, the vector filter's last and the pair table's first list lengths,
// a translator's file and five times that.
TEST(MultiReplacer, TranslatorListsOfEverySizeInEveryStrategy) {
  for (const std::size_t count : {1, 64, 65, 1000, 5000}) {
    const auto [rules, buffer] = translatorCase(count, static_cast<unsigned>(count));
    for (const Forced strategy : kStrategies) {
      SCOPED_TRACE(::testing::Message() << count << " rules, strategy "
                                        << (strategy ? static_cast<int>(*strategy) : -1));
      expectSameAsSequential(rules, buffer, 1 << 20, strategy);
    }
  }
}

// Engines sharing one engine's rules, each on a thread of its own with its
// own content, as the copy stage runs them: every strategy's compiled rules
// are only read while they scan (ThreadSanitizer runs this in CI).
TEST(MultiReplacer, EnginesSharingRulesRunAtOnceOnThreads) {
  const std::pair<Rules, std::string> inputs = translatorCase(1000, 1000);
  const Rules& rules = inputs.first;
  const std::string& buffer = inputs.second;
  auto expected = bytesOf(buffer);
  reference::replaceAll(expected, rules);
  for (const Forced strategy : kStrategies) {
    const MultiReplacer compiled = engineFor(rules, strategy);
    std::vector<std::string> results(3);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < results.size(); ++t) {
      threads.emplace_back([&, t] {
        MultiReplacer engine = compiled.sharingRules();
        results[t] = feedInWindows(engine, buffer, [t](std::size_t) { return 4096 * (t + 1); });
      });
    }
    for (std::thread& thread : threads) thread.join();
    for (const std::string& result : results) EXPECT_EQ(textOf(expected), result);
  }
}

// The trie's descent compares a chain of states of one edge each as one
// run, eight bytes at a time: patterns that end where such a run starts,
// ends or branches, runs that the bytes leave at their first, an eighth,
// a ninth or their last byte, and runs cut short by the scan's end, for
// patterns longer than the indexed bytes too; and the hash of a start's
// first six bytes, read with fewer than eight left. Every start reported is
// where a pattern's indexed bytes occur wholly inside the scanned stretch,
// and every such place is reported.
TEST(PatternTrie, ReportsWhatRunsOfOneEdgeEachHold) {
  const std::string run = "abcdefghijklmnopqrstuvwxyz0123456789";  // 36 bytes
  std::string indexed;  // kIndexedPrefix bytes, then two long patterns go on
  while (indexed.size() < PatternTrie::kIndexedPrefix) indexed += run;
  indexed.resize(PatternTrie::kIndexedPrefix);
  const std::string cjk = "\xe5\x89\x91\xe7\x9b\xbe\xe5\xbc\x93\xe7\xae\xad";
  const std::string utf16("\x91\x00\x7e\x76\x13\x5f", 6);
  struct Case {
    std::vector<std::string> patterns;
    std::string text;
  };
  const std::vector<Case> cases = {
      {{"ab", run, run.substr(0, 9), run.substr(0, 17) + "!", run.substr(0, 35) + "!", "xy"},
       "zab" + run + "|" + run.substr(0, 8) + "X|" + run.substr(0, 16) + "!" + run.substr(0, 17) +
           "!" + run.substr(0, 35) + "|" + run.substr(0, 18) + "X" + run.substr(19) + "|ab" +
           run.substr(0, 34)},
      {{"ab", "abcdef", "abcdefg", "abcdefgh12"}, "abcdefgh1X abcdefgh12 abcdef abcdeX abcdefg"},
      {{indexed + "1", indexed + "22", indexed.substr(0, 40), "ab"},
       indexed + "1 " + indexed + "2 " + indexed.substr(0, 63) + "X" + indexed},
      {{cjk, cjk.substr(0, 6), utf16, cjk + cjk},
       cjk + cjk.substr(0, 11) + utf16 + cjk + cjk + cjk.substr(0, 9)},
  };
  for (const Case& c : cases) {
    const std::vector<std::string_view> patterns(c.patterns.begin(), c.patterns.end());
    std::vector<std::string_view> prefixes;
    for (const std::string_view p : patterns) {
      prefixes.push_back(p.substr(0, PatternTrie::kIndexedPrefix));
    }
    const std::vector<char> buffer(c.text.begin(), c.text.end());
    for (const std::size_t stride : {std::size_t{1}, PatternSearch::choose(patterns).stride}) {
      const PatternTrie trie(patterns, stride);
      // Every end with the first byte, every begin with the last.
      for (std::size_t k = 0; k < 2 * buffer.size(); ++k) {
        const std::size_t begin = k < buffer.size() ? 0 : k - buffer.size();
        const std::size_t end = k < buffer.size() ? k + 1 : buffer.size();
        std::vector<std::pair<std::size_t, std::size_t>> found;
        trie.scan(buffer.data(), begin, end,
                  [&](std::uint32_t id, std::size_t at) { found.emplace_back(id, at); });
        std::sort(found.begin(), found.end());
        EXPECT_EQ(reference::findAll(buffer, prefixes, begin, end), found)
            << c.text << " [" << begin << ", " << end << "), stride " << stride;
      }
    }
  }
}

// The scan alone against the brute-force search: each strategy reports
// every occurrence wholly inside [begin, end), whatever it reports beyond
// (the trie reports long patterns by their first bytes; a caller confirms),
// and each pattern's occurrences in ascending order; asked for the starts
// before a bound alone, exactly those.
TEST(PatternSearch, FindsWhatBruteForceFinds) {
  for (const std::size_t count : {1, 5, 64, 65, 1000}) {
    const auto [rules, text] = translatorCase(count, static_cast<unsigned>(count) + 7);
    std::vector<std::string_view> patterns;
    for (const auto& [search, replacement] : rules) {
      if (std::find(patterns.begin(), patterns.end(), search) == patterns.end())
        patterns.push_back(search);
    }
    const std::vector<char> buffer(text.begin(), text.end());
    std::mt19937 rng(static_cast<unsigned>(count));
    for (const PatternSearch::Strategy strategy : PatternSearch::kStrategies) {
      const PatternSearch search(patterns, PatternSearch::choose(patterns, strategy));
      for (int round = 0; round < 8; ++round) {
        const std::size_t begin = round == 0 ? 0 : rng() % buffer.size();
        const std::size_t end =
            round == 0 ? buffer.size() : begin + rng() % (buffer.size() - begin);
        // Every start in the first two rounds; then those before a bound.
        const std::size_t startsEnd = round < 2 ? end : begin + rng() % (end - begin + 1);
        std::vector<std::pair<std::size_t, std::size_t>> found;
        std::vector<std::size_t> lastStart(patterns.size(), 0);
        bool ordered = true;
        const auto collect = [&](std::uint32_t id, std::size_t at) {
          const std::string_view p = patterns[id];
          if (at + p.size() > end || std::memcmp(buffer.data() + at, p.data(), p.size()) != 0)
            return;  // the caller's to confirm
          ordered = ordered && (at >= lastStart[id]);
          lastStart[id] = at;
          found.emplace_back(id, at);
        };
        if (round == 0) {
          search.scan(buffer.data(), begin, end, collect);
        } else {
          search.scan(buffer.data(), begin, end, startsEnd, collect);
        }
        std::sort(found.begin(), found.end());
        auto expected = reference::findAll(buffer, patterns, begin, end);
        std::erase_if(expected, [&](const auto& hit) { return hit.second >= startsEnd; });
        EXPECT_EQ(expected, found) << count << " patterns, strategy "
                                   << static_cast<int>(strategy) << ", [" << begin << ", " << end
                                   << "), starts before " << startsEnd;
        EXPECT_TRUE(ordered) << count << " patterns, strategy " << static_cast<int>(strategy);
      }
    }
  }
}

}  // namespace
