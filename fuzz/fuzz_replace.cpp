// The fast search and the one-pass rule engine against the plain algorithms,
// byte for byte. The input holds a rule list and a buffer; a switch folds the
// bytes onto a four-letter alphabet so that overlapping, chained and
// self-creating occurrences are common.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "tests/reference_algorithms.h"
#include "util/byte_finder.h"
#include "util/multi_replacer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const bool fold = data[0] & 1;
  const std::size_t budget = (data[0] & 2) ? 4 : std::size_t{1} << 20;
  // 0: the strategy PatternSearch chooses; 1 to 3: one forced.
  const int strategy = (data[0] >> 2) % 4;
  const std::size_t ruleCount = data[1] % 16;
  std::size_t pos = 2;
  const auto take = [&](std::size_t n) {
    std::string s;
    for (; n > 0 && pos < size; --n, ++pos)
      s.push_back(fold ? "ab\0c"[data[pos] & 3] : static_cast<char>(data[pos]));
    return s;
  };

  std::vector<std::pair<std::string, std::string>> rules;
  for (std::size_t i = 0; i < ruleCount && pos < size; ++i) {
    const std::uint8_t shape = data[pos++];
    const std::size_t length = 1 + (shape & 7);
    std::string search = take(length);
    std::string replacement =
        take(length + ((shape & 0x80) ? 1 : 0));  // sometimes never applicable
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
  MultiReplacer engine =
      strategy == 0 ? MultiReplacer(pairs)
                    : MultiReplacer(pairs, static_cast<PatternSearch::Strategy>(strategy - 1));
  engine.setCandidateBudget(budget);
  const bool replaced = engine.apply(buffer);
  if (buffer != expected || replaced != expectedReplaced) std::abort();
  return 0;
}
