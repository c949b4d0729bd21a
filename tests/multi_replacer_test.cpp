#include "util/multi_replacer.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>

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
const Forced kStrategies[] = {std::nullopt, PatternSearch::Strategy::kSinglePatterns,
                              PatternSearch::Strategy::kVectorFilter,
                              PatternSearch::Strategy::kPairTable};

MultiReplacer engineFor(const Rules& rules, Forced strategy) {
  return strategy ? MultiReplacer(toPairs(rules), *strategy) : MultiReplacer(toPairs(rules));
}

// Runs both the engine and the sequential reference and compares results.
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
      {{{"q", "r"}}, ""},
  };
  for (const auto& [rules, input] : cases) {
    for (const Forced strategy : kStrategies)
      expectSameAsSequential(rules, input, 1 << 20, strategy);
    expectSameAsSequential(rules, input, 0);  // every rule on the plain path
    expectSameAsSequential(rules, input, 2);  // some rules switch part way
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

// Each pair's candidates are used up in its turn, the duplicates that the
// rescans after earlier pairs' writes add among them: otherwise the count
// kept against the budget creeps up with every rule, and pairs switch to
// plain scans of the whole buffer long before the budget is reached.
TEST(MultiReplacer, CandidatesAreAllUsedUpByTheEnd) {
  // The write of "ab" rescans around itself and finds "x" again.
  for (const Forced strategy : kStrategies) {
    MultiReplacer engine = engineFor({{"ab", "cd"}, {"x", "y"}}, strategy);
    auto buffer = bytesOf("abxabx");
    ASSERT_TRUE(engine.apply(buffer));
    EXPECT_EQ("cdycdy", textOf(buffer));
    EXPECT_EQ(0u, engine.candidatesHeld());
  }
}

// One very long search text must not build an automaton of its length times
// the alphabet.
TEST(MultiReplacer, LongSearchTextStaysCheap) {
  std::string search(8 << 20, 'x');
  search[0] = 'S';
  std::string replacement = search;
  replacement[0] = 'R';
  MultiReplacer engine({{search, replacement}});
  std::vector<char> buffer(search.begin(), search.end());
  ASSERT_TRUE(engine.apply(buffer));
  EXPECT_EQ('R', buffer[0]);
}

}  // namespace
