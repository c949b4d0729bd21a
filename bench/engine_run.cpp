// The engine's work of one micro-benchmark, once, with no benchmark library:
// built static for aarch64, it runs under qemu-aarch64, whose instruction
// count (bench/insn_count.py's plugin) is then the phone's cost of the work.
//   engine_run RULES STRATEGY DATA [REPEAT]
// RULES translator rules (bench/engine_inputs.h); STRATEGY 0 for the one
// PatternSearch chooses, else 1 + its index in PatternSearch::kStrategies;
// DATA 0 for bytes dense with text, 1 for bytes like the bench tree's
// targets; REPEAT times over 8 MiB (1 by default). Counting with REPEAT 1 and
// 2 and taking the difference leaves out what making the bytes cost.
#include <cstdio>
#include <cstdlib>
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
    replaced += engine.apply(buffer) ? 1 : 0;
  }
  std::printf("%zu rules, strategy %zu, %s: replaced %zu of %ld\n", count, forced,
              dense ? "text-dense" : "tree-like", replaced, repeat);
  return 0;
}
