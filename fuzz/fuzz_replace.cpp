// The fast search and the one-pass rule engine against the plain algorithms,
// byte for byte, on the whole buffer and window by window. The input holds a
// rule list and a buffer; a switch folds the bytes onto a four-letter
// alphabet so that overlapping, chained and self-creating occurrences are
// common, and a rule's shape can stretch its texts past the bytes the trie
// indexes, so that long texts share those bytes and differ after them. Now
// and then the list read is grown to 64 or 65 rules, each added one a
// variant of a rule read: every strategy thus meets the list lengths around
// the vector filter's last. Lists of 1,000 and 5,000 rules are the
// differential tests' (TranslatorListsOfEverySizeInEveryStrategy): under
// ASan one input of them cost as much as a hundred others, and halved the
// run's executions even when made once for the run. The input takes one
// pass: the whole buffer at once, or windows of one size, which it chooses,
// at most 8; the windows' pass may be made again from the occurrences it
// recorded.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tests/reference_algorithms.h"
#include "util/byte_finder.h"
#include "util/multi_replacer.h"

using Rules = std::vector<std::pair<std::string, std::string>>;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const bool fold = data[0] & 1;
  const std::size_t budget = (data[0] & 2) ? 4 : std::size_t{1} << 20;
  // 0: the strategy PatternSearch chooses; 1 to 4: one forced.
  const std::size_t strategy = (data[0] >> 2) % (PatternSearch::kStrategies.size() + 1);
  // Whether a window that adds no byte comes first.
  const bool emptyWindow = (data[0] >> 5) & 1;
  const std::size_t ruleCount = data[1] % 16;
  // Whether the windowed pass is made again from the occurrences it
  // recorded, as a run after one that kept them makes it.
  const bool throughKnown = (data[1] >> 4) & 1;
  const std::size_t grownTo = data[1] == 253 ? 64 : data[1] == 254 ? 65 : 0;
  // Under 128: windows of 1 to 16 bytes, but never more than 8 windows;
  // else the buffer at once (a multiple of 8), or in 2 to 8 windows. Each
  // window rescans the longest text's length before its new bytes: 16
  // windows of a buffer with long texts scanned it several times over.
  const std::uint8_t windowPick = data[2];
  std::size_t pos = 3;
  const auto take = [&](std::size_t n) {
    std::string s;
    for (; n > 0 && pos < size; --n, ++pos)
      s.push_back(fold ? "ab\0c"[data[pos] & 3] : static_cast<char>(data[pos]));
    return s;
  };
  // Repeats `s` until it is longer than the bytes the trie indexes.
  const auto stretch = [](std::string s) {
    if (s.empty()) return s;
    while (s.size() <= PatternTrie::kIndexedPrefix) s += s;
    return s;
  };

  Rules rules;
  for (std::size_t i = 0; i < ruleCount && pos < size; ++i) {
    const std::uint8_t shape = data[pos++];
    const std::size_t length = 1 + (shape & 7);
    std::string search = take(length);
    std::string replacement =
        take(length + ((shape & 0x80) ? 1 : 0));  // sometimes never applicable
    if (shape & 0x40) {
      // Long texts: the tail differs from the repeated head in its last byte.
      search = stretch(search) + search;
      replacement = stretch(replacement) + replacement;
    }
    rules.emplace_back(search, replacement);
  }
  // Variants of the rules read: one byte of each text's first eight
  // changed, by the variant's number, so that the texts share most of their
  // bytes. Long texts are cut to those eight: the rules read keep them, and
  // thousands of long texts would make the input the slowest of the run.
  for (std::size_t i = rules.size(), read = rules.size(); read > 0 && i < grownTo; ++i) {
    auto [search, replacement] = rules[i % read];
    search.resize(std::min<std::size_t>(search.size(), 8));
    replacement.resize(std::min<std::size_t>(replacement.size(), 8));
    if (!search.empty()) search[i % search.size()] ^= static_cast<char>(1 + i / search.size());
    if (!replacement.empty()) replacement[i % replacement.size()] ^= static_cast<char>(i);
    rules.emplace_back(search, replacement);
  }
  std::vector<BytePair> pairs;  // views of the texts in `rules`, which is complete
  for (const auto& [search, replacement] : rules) pairs.push_back({search, replacement});
  const std::string rest = take(size);
  std::vector<char> buffer(rest.begin(), rest.end());

  if (!rules.empty()) {
    const std::string& pattern = rules.front().first;
    const ByteFinder finder(pattern);
    for (std::size_t from = 0; from <= buffer.size(); from += 1 + buffer.size() / 8) {
      const std::size_t fast = finder.find(buffer.data(), buffer.size(), from);
      const std::size_t plain = reference::find(buffer, pattern, from);
      if (fast != plain && !(pattern.empty() && fast == ByteFinder::kNotFound)) std::abort();
    }
  }

  std::vector<char> expected = buffer;
  const bool expectedReplaced = reference::replaceAll(expected, rules);
  MultiReplacer engine = strategy == 0
                             ? MultiReplacer(pairs)
                             : MultiReplacer(pairs, PatternSearch::kStrategies[strategy - 1]);
  engine.setCandidateBudget(budget);
  // One pass an input: the whole buffer at once, or window by window.
  if (windowPick >= 128 && windowPick % 8 == 0) {
    std::vector<char> whole = buffer;
    const bool replaced = engine.apply(whole);
    if (whole != expected || replaced != expectedReplaced) std::abort();
    return 0;
  }
  // The bytes left undecided, then the new ones.
  const std::size_t windowSize =
      windowPick < 128 ? std::max<std::size_t>(1 + windowPick % 16, (buffer.size() + 7) / 8)
                       : 1 + buffer.size() / (1 + windowPick % 8);
  const auto pass = [&] {
    engine.start();
    std::vector<char> out;
    std::vector<char> window;
    if (emptyWindow && engine.feed(window, buffer.empty()) != 0) std::abort();
    for (std::size_t at = 0; !(buffer.empty() && emptyWindow);) {
      const std::size_t added = std::min(windowSize, buffer.size() - at);
      window.insert(window.end(), buffer.begin() + static_cast<std::ptrdiff_t>(at),
                    buffer.begin() + static_cast<std::ptrdiff_t>(at + added));
      at += added;
      const bool last = at == buffer.size();
      const std::size_t final = engine.feed(window, last);
      if (final > window.size()) std::abort();
      out.insert(out.end(), window.begin(), window.begin() + static_cast<std::ptrdiff_t>(final));
      window.erase(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(final));
      if (last) break;
      if (window.size() > engine.undecidedAtMost()) std::abort();
    }
    if (!window.empty() || out != expected || engine.replaced() != expectedReplaced) std::abort();
  };
  if (!throughKnown) {
    pass();
    return 0;
  }
  std::vector<MultiReplacer::Occurrence> recorded;
  engine.recordInto(recorded, std::numeric_limits<std::size_t>::max());
  pass();
  if (!engine.recordedAll()) std::abort();
  std::sort(recorded.begin(), recorded.end());
  engine.takeKnown(recorded);
  pass();
  return 0;
}
