// The fast search and the one-pass rule engine against the plain algorithms,
// byte for byte, on the whole buffer and window by window. The input holds a
// rule list and a buffer; a switch folds the bytes onto a four-letter
// alphabet so that overlapping, chained and self-creating occurrences are
// common, and a rule's shape can stretch its texts past the bytes the trie
// indexes, so that long texts share those bytes and differ after them.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tests/reference_algorithms.h"
#include "util/byte_finder.h"
#include "util/multi_replacer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const bool fold = data[0] & 1;
  const std::size_t budget = (data[0] & 2) ? 4 : std::size_t{1} << 20;
  // 0: the strategy PatternSearch chooses; 1 to 3: one forced.
  const std::size_t strategy = (data[0] >> 2) % (PatternSearch::kStrategies.size() + 1);
  // The second pass hands the buffer in about 2, 4, 8 or 16 windows of
  // random sizes, now and then of one byte or none.
  const std::size_t windows = std::size_t{2} << ((data[0] >> 4) & 3);
  const std::size_t ruleCount = data[1] % 16;
  std::uint32_t windowSeed = data[2];
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

  std::vector<std::pair<std::string, std::string>> rules;
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
  std::vector<char> whole = buffer;
  const bool replaced = engine.apply(whole);
  if (whole != expected || replaced != expectedReplaced) std::abort();

  // Window by window: the bytes left undecided, then the new ones.
  engine.start();
  std::vector<char> out;
  std::vector<char> window;
  for (std::size_t at = 0;;) {
    windowSeed = windowSeed * 1103515245u + 12345u;
    const std::uint32_t pick = windowSeed >> 16;
    const std::size_t largest = 1 + 2 * buffer.size() / windows;
    const std::size_t added =
        std::min<std::size_t>(pick % 16 == 0 ? pick % 2 : 1 + pick % largest, buffer.size() - at);
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
  return 0;
}
