// Micro-benchmarks of the two hot loops: finding the marker in file bytes
// (the selection of every candidate file) and applying a rule list to a
// target file (the rewrite). Each fast engine runs beside the plain algorithm
// it replaces, on the same bytes. Then what the selection index of a tree of
// 100,000 files costs to write and to read: its size, and the most heap it
// holds while it is read.
//
// The buffers imitate cooked assets: zero padding, small integers, stretches
// of incompressible bytes, package paths that share long prefixes with the
// marker, and UTF-16LE text, in the proportions of bench/make_workspace.py.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bench/engine_inputs.h"
#include "tests/allocation_count.h"
#include "tests/reference_algorithms.h"
#include "util/byte_finder.h"
#include "util/multi_replacer.h"
#include "util/selection_index.h"
#include "util/string_utils.h"

namespace {

using namespace benchinputs;

const std::string kMarker = "Game/Mod/Escape/Audio/WwiseBank/";

constexpr std::size_t kBufferSize = 32 << 20;

void BM_FindMarker_ByteFinder(benchmark::State& state) {
  const std::vector<char> buf = assetLikeBytes(kBufferSize, 1);
  const ByteFinder finder(kMarker);
  for (auto _ : state) {
    benchmark::DoNotOptimize(finder.find(buf.data(), buf.size(), 0));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buf.size()));
}
BENCHMARK(BM_FindMarker_ByteFinder);

void BM_FindMarker_Plain(benchmark::State& state) {
  const std::vector<char> buf = assetLikeBytes(kBufferSize, 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(reference::find(buf, kMarker, 0));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buf.size()));
}
BENCHMARK(BM_FindMarker_Plain);

// Rules like a voice-text mod's: ASCII names replaced in UTF-8, Chinese lines
// replaced in UTF-16LE; a tenth of them occur in the buffer.

Texts makeRules(std::size_t count) {
  static const char* hanzi[] = {"语", "音", "台", "词", "背", "景", "开", "始", "结", "束"};
  Texts pairs;
  for (std::size_t i = 0; i < count; ++i) {
    if (i % 2 == 0) {
      char search[32], replacement[32];
      std::snprintf(search, sizeof search, "VoiceLine_%05zu", i * 7919 % 100000);
      std::snprintf(replacement, sizeof replacement, "ModLine_X_%05zu", i);
      pairs.emplace_back(search, replacement);
    } else {
      std::string s, r;
      for (std::size_t k = 0; k < 2 + i % 4; ++k) {
        s += hanzi[(i + k) % 10];
        r += static_cast<char>('A' + (i + k) % 26);
      }
      s += std::to_string(i);
      r += std::to_string(i);
      pairs.emplace_back(UTF8Utils::utf8ToUtf16LE(s), UTF8Utils::utf8ToUtf16LE(r));
    }
  }
  return pairs;
}

std::vector<std::string> occurring(const Texts& pairs) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < pairs.size(); i += 10) out.push_back(pairs[i].first);
  return out;
}

constexpr std::size_t kRewriteSize = 8 << 20;

void BM_Rewrite_MultiReplacer(benchmark::State& state) {
  const auto pairs = makeRules(static_cast<std::size_t>(state.range(0)));
  const std::vector<char> original = assetLikeBytes(kRewriteSize, 2, occurring(pairs));
  MultiReplacer engine(viewsOf(pairs));
  std::vector<char> buf;
  for (auto _ : state) {
    buf = original;
    benchmark::DoNotOptimize(engine.apply(buf));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * original.size()));
}
BENCHMARK(BM_Rewrite_MultiReplacer)->Arg(1)->Arg(10)->Arg(100)->Arg(1000);

void BM_Rewrite_OneRuleAtATime(benchmark::State& state) {
  const auto pairs = makeRules(static_cast<std::size_t>(state.range(0)));
  const std::vector<char> original = assetLikeBytes(kRewriteSize, 2, occurring(pairs));
  std::vector<char> buf;
  for (auto _ : state) {
    buf = original;
    bool any = false;
    for (const auto& [search, replacement] : pairs)
      any = UTF8Utils::replaceInBytes(buf, search, replacement) || any;
    benchmark::DoNotOptimize(any);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * original.size()));
}
BENCHMARK(BM_Rewrite_OneRuleAtATime)->Arg(1)->Arg(10)->Arg(100)->Arg(1000);

// The rewrite of a target with the translator family: arguments the number
// of rules; the strategy PatternSearch chooses (0) or one forced (1 + its
// index in PatternSearch::kStrategies); bytes dense with text (0) or like
// bench/make_workspace.py's targets (1). The engine's heap is counted on the
// side.
void BM_Translator(benchmark::State& state) {
  const auto texts = appliedForms(translatorRules(static_cast<std::size_t>(state.range(0))));
  const std::vector<char> original =
      state.range(2) == 0 ? textDenseBytes(kRewriteSize) : assetWithTextBytes(kRewriteSize);
  const std::vector<BytePair> pairs = viewsOf(texts);
  const auto forced = static_cast<std::size_t>(state.range(1));
  const auto make = [&] {
    return forced == 0 ? MultiReplacer(pairs)
                       : MultiReplacer(pairs, PatternSearch::kStrategies[forced - 1]);
  };
  std::vector<char> buf = original;
  const std::size_t heap = allocations::peakDuring([&] {
    MultiReplacer engine = make();
    engine.apply(buf);
  });
  MultiReplacer engine = make();
  for (auto _ : state) {
    buf = original;
    benchmark::DoNotOptimize(engine.apply(buf));
  }
  state.counters["engine_heap_bytes"] = static_cast<double>(heap);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * original.size()));
}
BENCHMARK(BM_Translator)
    ->ArgsProduct({{1, 1000}, {0}, {0, 1}})
    ->ArgsProduct({{10, 64, 65, 100, 1000}, {2, 3, 4}, {0, 1}});

// The same over the targets of a tree that bench/make_workspace.py wrote, in
// $UEXPMOD_BENCH_TREE (skipped without it), with its rules_tN.txt: the
// files that hold the marker, one after the other.
void BM_TreeTargets(benchmark::State& state) {
  const char* tree = std::getenv("UEXPMOD_BENCH_TREE");
  if (tree == nullptr) {
    state.SkipWithError("UEXPMOD_BENCH_TREE is not set");
    return;
  }
  std::vector<char> original;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(tree)) {
    if (entry.path().extension() != ".uexp") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    if (std::search(bytes.begin(), bytes.end(), kMarker.begin(), kMarker.end()) == bytes.end())
      continue;
    original.insert(original.end(), bytes.begin(), bytes.end());
  }
  Texts rules;
  std::ifstream list(std::filesystem::path(tree) / "rules" /
                     ("rules_" + std::string(state.range(1) == 0 ? "t" : "c") +
                      std::to_string(state.range(0)) + ".txt"));
  for (std::string line; std::getline(list, line);) {
    const std::size_t at = line.find('=');
    if (line.empty() || line[0] == '#' || at == std::string::npos) continue;
    rules.emplace_back(line.substr(0, at), line.substr(at + 1));
  }
  const Texts texts = appliedForms(rules);
  const std::vector<BytePair> pairs = viewsOf(texts);
  const auto forced = static_cast<std::size_t>(state.range(2));
  MultiReplacer engine = forced == 0 ? MultiReplacer(pairs)
                                     : MultiReplacer(pairs, PatternSearch::kStrategies[forced - 1]);
  std::vector<char> buf;
  for (auto _ : state) {
    buf = original;
    benchmark::DoNotOptimize(engine.apply(buf));
  }
  state.counters["target_bytes"] = static_cast<double>(original.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * original.size()));
}
BENCHMARK(BM_TreeTargets)
    ->ArgsProduct({{1, 1000}, {0, 1}, {0}})
    ->ArgsProduct({{1000}, {0, 1}, {2, 3, 4}})
    ->Unit(benchmark::kMillisecond);

constexpr std::size_t kIndexedFiles = 100'000;
const std::string kIndexedFolder = "/storage/emulated/0/ws/uexp解包";

std::vector<SelectionIndex::Entry> indexEntries() {
  constexpr std::int64_t kSecond = 1'000'000'000;
  constexpr std::int64_t kLongAgo = 1'700'000'000 * kSecond;
  std::mt19937_64 rng(5);
  std::vector<SelectionIndex::Entry> entries(kIndexedFiles);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::int64_t modified = kLongAgo + static_cast<std::int64_t>(rng() % (100 * kSecond));
    entries[i] = {{64769, rng(), 4096 + rng() % (1 << 20), modified, modified + 7}, i % 33 == 0};
  }
  return entries;
}

std::filesystem::path indexFile() {
  return std::filesystem::temp_directory_path() /
         ("uexpmod-bench-" + std::to_string(::getpid()) + ".index");
}

void BM_SelectionIndex_Write(benchmark::State& state) {
  const std::vector<SelectionIndex::Entry> entries = indexEntries();
  const std::filesystem::path file = indexFile();
  const std::int64_t now = 1'800'000'000'000'000'000;
  for (auto _ : state) {
    if (!SelectionIndex::write(file, kIndexedFolder, entries, now)) {
      state.SkipWithError("the index could not be written");
      break;
    }
  }
  state.counters["file_bytes"] = static_cast<double>(std::filesystem::file_size(file));
  std::filesystem::remove(file);
}
BENCHMARK(BM_SelectionIndex_Write)->Unit(benchmark::kMillisecond);

void BM_SelectionIndex_Read(benchmark::State& state) {
  const std::filesystem::path file = indexFile();
  if (!SelectionIndex::write(file, kIndexedFolder, indexEntries(), 1'800'000'000'000'000'000)) {
    state.SkipWithError("the index could not be written");
    return;
  }
  std::size_t peak = 0;
  for (auto _ : state) {
    peak = allocations::peakDuring([&] {
      const SelectionIndex index = SelectionIndex::read(file, kIndexedFolder, 2 * kIndexedFiles);
      if (index.size() != kIndexedFiles) state.SkipWithError("the index read back short");
    });
  }
  state.counters["file_bytes"] = static_cast<double>(std::filesystem::file_size(file));
  state.counters["heap_peak_bytes"] = static_cast<double>(peak);
  std::filesystem::remove(file);
}
BENCHMARK(BM_SelectionIndex_Read)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
