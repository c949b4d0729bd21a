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

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/allocation_count.h"
#include "tests/reference_algorithms.h"
#include "util/byte_finder.h"
#include "util/multi_replacer.h"
#include "util/selection_index.h"
#include "util/string_utils.h"

namespace {

const std::string kMarker = "Game/Mod/Escape/Audio/WwiseBank/";

std::vector<char> assetLikeBytes(std::size_t size, std::uint32_t seed,
                                 const std::vector<std::string>& sprinkle = {}) {
  static const char* nearMisses[] = {"/Game/Mod/Escape/Audio/Music/",
                                     "/Game/Mod/Escape/UI/Textures/",
                                     "/Game/Maps/Escape/Audio/WwiseEvents/",
                                     "/Script/CoreUObject",
                                     "/Game/Mod/Escape/Audio/Wwise",
                                     "None",
                                     "WwiseBank"};
  std::mt19937 rng(seed);
  std::vector<char> out;
  out.reserve(size + 8192);
  while (out.size() < size) {
    const double pick = std::uniform_real_distribution<double>(0, 1)(rng);
    if (pick < 0.30) {
      out.insert(out.end(), 16 + rng() % 2032, '\0');
    } else if (pick < 0.55) {
      for (std::size_t n = 16 + rng() % 4080; n > 0; --n) out.push_back(static_cast<char>(rng()));
    } else if (pick < 0.75) {
      std::vector<char> block(64);
      for (char& c : block) c = static_cast<char>(rng() % 8);
      for (std::size_t n = 1 + rng() % 31; n > 0; --n)
        out.insert(out.end(), block.begin(), block.end());
    } else if (pick < 0.92) {
      const std::string s = std::string(nearMisses[rng() % 7]) + std::to_string(rng() % 10000);
      out.insert(out.end(), s.begin(), s.end() + 1);
    } else if (pick < 0.97 || sprinkle.empty()) {
      const std::string s =
          UTF8Utils::utf8ToUtf16LE("Text_" + std::to_string(rng() % 100000) + " ");
      for (std::size_t n = 1 + rng() % 7; n > 0; --n) out.insert(out.end(), s.begin(), s.end());
    } else {
      const std::string& s = sprinkle[rng() % sprinkle.size()];
      out.insert(out.end(), s.begin(), s.end());
    }
  }
  out.resize(size);
  return out;
}

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
using Texts = std::vector<std::pair<std::string, std::string>>;

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

// Views of the texts, which must outlive them.
std::vector<BytePair> viewsOf(const Texts& texts) {
  std::vector<BytePair> pairs;
  for (const auto& [search, replacement] : texts) pairs.push_back({search, replacement});
  return pairs;
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
