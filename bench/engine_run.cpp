// The engine's work of one micro-benchmark, once, with no benchmark library:
// built static for aarch64, it runs under qemu-aarch64, whose instruction
// count (bench/insn_count.py's plugin) is then the phone's cost of the work.
//   engine_run RULES STRATEGY DATA [REPEAT [WINDOW]]
// RULES translator rules (bench/engine_inputs.h); STRATEGY 0 for the one
// PatternSearch chooses, else 1 + its index in PatternSearch::kStrategies;
// DATA 0 for bytes dense with text, 1 for bytes like the bench tree's
// targets; REPEAT times over 8 MiB (1 by default). Counting with REPEAT 1 and
// 2 and taking the difference leaves out what making the bytes cost.
// WINDOW, when given and not 0, hands the bytes in windows of that many new
// bytes through MultiReplacer::feed, as a file is rewritten, instead of
// apply(). The line printed ends with the process's peak RSS: the same
// command with 1 rule and with 1,000 rules differ by what the engine held.
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "bench/engine_inputs.h"
#include "util/multi_replacer.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: engine_run RULES STRATEGY DATA [REPEAT]\n");
    return 2;
  }
  const auto count = static_cast<std::size_t>(std::atol(argv[1]));
  const auto forced = static_cast<std::size_t>(std::atol(argv[2]));
  const bool dense = std::atol(argv[3]) == 0;
  const long repeat = argc > 4 ? std::atol(argv[4]) : 1;
  const auto window = static_cast<std::size_t>(argc > 5 ? std::atol(argv[5]) : 0);
  if (forced > PatternSearch::kStrategies.size()) return 2;
  const benchinputs::Texts texts = benchinputs::appliedForms(benchinputs::translatorRules(count));
  const std::vector<BytePair> pairs = benchinputs::viewsOf(texts);
  constexpr std::size_t kSize = 8 << 20;
  const std::vector<char> original =
      dense ? benchinputs::textDenseBytes(kSize) : benchinputs::assetWithTextBytes(kSize);
  MultiReplacer engine = forced == 0 ? MultiReplacer(pairs)
                                     : MultiReplacer(pairs, PatternSearch::kStrategies[forced - 1]);
  std::vector<char> buffer;
  std::size_t replaced = 0;
  for (long r = 0; r < repeat; ++r) {
    buffer = original;
    if (window == 0) {
      replaced += engine.apply(buffer) ? 1 : 0;
      continue;
    }
    // The undecided bytes stay in place: each window starts at the first byte
    // not yet final and ends `window` bytes past the last one handed in.
    engine.start();
    for (std::size_t done = 0, handed = 0; handed < buffer.size();) {
      handed = std::min(buffer.size(), handed + window);
      done += engine.feed(std::span(buffer.data() + done, handed - done), handed == buffer.size());
    }
    replaced += engine.replaced() ? 1 : 0;
  }
  rusage usage = {};
  ::getrusage(RUSAGE_SELF, &usage);
  std::printf("%zu rules, strategy %zu, %s: replaced %zu of %ld; peak RSS %ld KiB\n", count, forced,
              dense ? "text-dense" : "tree-like", replaced, repeat, usage.ru_maxrss);
  return 0;
}
