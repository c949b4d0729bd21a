// The rules engine's work of one run, with no files written: a rule file's
// forms compiled into a MultiReplacer, applied to copies of the given files
// (a tree's targets) as a run applies it. Built static for aarch64 and run
// under qemu-aarch64, its instruction count (bench/insn_count.py's plugin)
// is the phone's cost of the engine alone on any rule family, the
// translation lists' included, which bench/engine_inputs.h does not draw.
//   targets_run RULE_FILE REPEAT FILE...
// Counting with REPEAT 1 and 2 and taking the difference leaves out reading
// the files: what is left is one engine built and applied to every file.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "app/uexp_processor.h"
#include "util/multi_replacer.h"

// The rule parser's fatal path, which a valid rule file never takes.
void UEXPProcessor::fail(std::string_view) { std::abort(); }

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: targets_run RULE_FILE REPEAT FILE...\n");
    return 2;
  }
  std::ifstream ruleFile(argv[1], std::ios::binary);
  const RuleList rules = UEXPProcessor::parseRules(ruleFile);
  const long repeat = std::atol(argv[2]);
  std::vector<std::vector<char>> files;
  for (int i = 3; i < argc; ++i) {
    std::ifstream file(argv[i], std::ios::binary);
    files.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  std::size_t replaced = 0;
  for (long r = 0; r < repeat; ++r) {
    const RuleForms forms(rules);
    MultiReplacer engine(forms.pairs());
    for (const std::vector<char>& original : files) {
      std::vector<char> buffer = original;
      replaced += engine.apply(buffer) ? 1 : 0;
    }
  }
  std::printf("%zu rules, %zu files, %zu rewritten\n", rules.size(), files.size(), replaced);
  return 0;
}
