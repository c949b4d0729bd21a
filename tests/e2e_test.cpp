// Runs the real uexpmod executable on prepared workspaces and checks every
// byte it prints, its exit status and the files it leaves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <tuple>

#include "tests/test_support.h"
#include "util/occurrence_cache.h"
#include "util/selection_index.h"
#include "util/string_utils.h"

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

const fs::path kRoot = UEXPMOD_E2E_ROOT;
// Where the tool keeps its caches in these tests (XDG_CACHE_HOME), never the
// home folder of whoever runs them; emptied before each test.
const fs::path kCache = fs::path(UEXPMOD_E2E_ROOT).parent_path() / "e2e-cache";
// Seconds after which a run of the tool is taken to hang.
const std::string kDeadline = "300";
const std::string kMarker = "Game/Mod/Escape/Audio/WwiseBank/";
const std::string kBar40(40, '=');
const std::string kBar60(60, '=');

std::string red(const std::string& s) { return "\033[91m" + s + "\n\033[0m"; }
std::string green(const std::string& s) { return "\033[92m" + s + "\n\033[0m"; }
std::string yellow(const std::string& s) { return "\033[93m" + s + "\n\033[0m"; }
std::string cyan(const std::string& s) { return "\033[96m" + s + "\n\033[0m"; }
std::string bold(const std::string& s) { return "\033[1m" + s + "\n\033[0m"; }
std::string gradient(int shade, const std::string& s) {
  return "<G" + std::to_string(shade) + ">" + s + "\n\033[0m";
}

// Gradient colours are drawn at random; each is replaced by the shade it
// stands for, so the expected text can say which shade a line must have.
std::string maskGradients(std::string s) {
  static const std::map<std::string, int> shadeOf = {{"201", 0}, {"165", 1}, {"129", 2}, {"51", 0},
                                                     {"87", 1},  {"123", 2}, {"208", 0}, {"214", 1},
                                                     {"220", 2}, {"84", 0},  {"120", 1}, {"156", 2},
                                                     {"199", 0}, {"205", 1}, {"211", 2}};
  std::size_t at = 0;
  while ((at = s.find("\033[38;5;", at)) != std::string::npos) {
    const std::size_t end = s.find('m', at);
    const auto it = shadeOf.find(s.substr(at + 7, end - at - 7));
    const std::string mask = it == shadeOf.end() ? "<G?>" : "<G" + std::to_string(it->second) + ">";
    s.replace(at, end - at + 1, mask);
  }
  return s;
}

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

using Environment = std::vector<std::pair<std::string, std::string>>;

// Runs the tool with `input` as its standard input (closed after it).
// `shellPrefix` may set limits for the tool's process; `env` adds variables
// to its environment (through the emulator's -E when there is one). Its
// caches go to kCache unless `env` says otherwise. `arguments` follow the
// tool's name, as the shell splits them (quote with double quotes).
// `stdoutFile` takes the tool's standard output in place of `out`.
ToolRun runTool(const std::string& input, const std::string& shellPrefix = "", Environment env = {},
                const std::string& arguments = "", fs::path stdoutFile = {}) {
  const fs::path io = fs::path(UEXPMOD_E2E_ROOT).parent_path() / "e2e-io";
  fs::create_directories(io);
  writeFile(io / "stdin", input);
  if (std::none_of(env.begin(), env.end(),
                   [](const auto& variable) { return variable.first == "XDG_CACHE_HOME"; })) {
    env.emplace_back("XDG_CACHE_HOME", kCache.string());
  }
  if (stdoutFile.empty()) stdoutFile = io / "stdout";
  std::string launcher = UEXPMOD_E2E_LAUNCHER;
  std::string assignments;
  for (const auto& [name, value] : env) {
    if (launcher.empty()) {
      assignments += name + "=\"" + value + "\" ";
    } else {
      launcher += " -E " + name + "=\"" + value + "\"";
    }
  }
  // A run that hangs ends after kDeadline (killed 10 s later if it holds
  // on), with timeout's status 124, so that it fails its test instead of
  // hanging it.
  const std::string command =
      "/bin/sh -c '" + shellPrefix + " " + assignments + "exec timeout -k 10 " + kDeadline + " " +
      launcher + " \"" + UEXPMOD_E2E_TOOL + "\" " + arguments + " < \"" + (io / "stdin").string() +
      "\" > \"" + stdoutFile.string() + "\" 2> \"" + (io / "stderr").string() + "\"'";
  const int raw = std::system(command.c_str());
  ToolRun run;
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  if (stdoutFile == io / "stdout") run.out = maskGradients(readFile(stdoutFile));
  run.err = readFile(io / "stderr");
  return run;
}

// The environment that loads the fault-injection library with one fault set.
Environment withFault(const std::string& fault, const std::string& pathPart) {
  return {{"LD_PRELOAD", UEXPMOD_FAULT_LIBRARY},
          {"ASAN_OPTIONS", "verify_asan_link_order=0"},
          {"UEXPMOD_FAULT_" + fault, pathPart}};
}

// Every regular file under `dir`, by path relative to it, with its bytes.
std::map<std::string, std::string> filesUnder(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file())
      files[entry.path().lexically_relative(dir).string()] = readFile(entry.path());
  }
  return files;
}

// Where two trees of files differ, by path, with the sizes: a message for a
// failed comparison that does not print the bytes.
std::string treeDifference(const std::map<std::string, std::string>& expected,
                           const std::map<std::string, std::string>& actual) {
  std::string text;
  for (const auto& [path, bytes] : expected) {
    const auto it = actual.find(path);
    if (it == actual.end()) {
      text += "  missing " + path + "\n";
    } else if (it->second != bytes) {
      text += "  other bytes in " + path + " (" + std::to_string(it->second.size()) + " of " +
              std::to_string(bytes.size()) + " bytes)\n";
    }
  }
  for (const auto& [path, bytes] : actual) {
    if (!expected.contains(path)) text += "  extra " + path + "\n";
  }
  return text;
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(kRoot);
    fs::remove_all(kCache);
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(kRoot);
  }
  static void put(const std::string& rel, const std::string& bytes) {
    writeFile(kRoot / rel, bytes);
  }
  static std::string get(const std::string& rel) { return readFile(kRoot / rel); }
};

std::string autoCopyWith(const std::string& lines, int copied, int skipped) {
  return bold(kBar40) + cyan("自动检测并复制指定目录PAK文件") + bold(kBar40) + lines + "\n" +
         cyan("汇总：复制 " + std::to_string(copied) + " 个 | 跳过 " + std::to_string(skipped) +
              " 个") +
         bold(kBar40) + "\n";
}
const std::string kNoSourcePak = bold(kBar40) + cyan("自动检测并复制指定目录PAK文件") +
                                 bold(kBar40) + yellow("⚠  指定源文件夹无PAK文件，跳过复制") + "\n";
const std::string kConfigPrompt = "\033[96m请输入配置文件编号: \033[0m";
const std::string kScanHeading = "\n" + bold("步骤: 扫描匹配目标UEXP并复制到打包目录");
const std::string kRewriteHeading = "\n" + bold("步骤: 批量修改打包目录UEXP文件");
const std::string kBanner =
    "\n" + bold(kBar60) + gradient(1, "🎉 筛选复制+文本替换全部完成！") + bold(kBar60);

std::string configMenu(const std::string& name) {
  return bold("请选择配置文件:") + gradient(0, "  [1] " + name) + "\n" + kConfigPrompt;
}
std::string loaded(int n) {
  return "\n" + bold("加载替换规则:") + green("✓ 加载 " + std::to_string(n) + " 条替换规则") + "\n";
}

TEST_F(EndToEnd, TypicalRun) {
  put("提取的pak/地铁水印/mod.pak", "PAK!");
  put("uexp解包/Audio/a.uexp", "head " + kMarker + " 旧文本 tail");
  put("uexp解包/b.uexp", "旧文本 but no marker");
  put("配置/规则.txt", "旧文本=新文本\n");
  const ToolRun run = runTool("1\n");
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(autoCopyWith(green("✓ 已复制：mod.pak"), 1, 0) +
                green("🎉 自动识别到指定目录PAK，已自动选中：mod.pak") + "\n" +
                configMenu("规则.txt") + loaded(1) + kScanHeading + cyan("扫描 2 个UEXP文件...") +
                "\r  \033[93m进度: 2/2\033[0m\n" + green("✓ 匹配到 1 个文件，已复制到打包目录") +
                kRewriteHeading + cyan("替换规则:") + "  1. '旧文本' -> '新文本'\n\n" +
                green("✓ 已修改: a.uexp") + "\n" + green("✓ 修改完成，共处理 1 个文件") + kBanner,
            run.out);
  EXPECT_EQ("head " + kMarker + " 新文本 tail", get("uexp打包/Audio/a.uexp"));
  EXPECT_EQ("head " + kMarker + " 旧文本 tail", get("uexp解包/Audio/a.uexp"));
  EXPECT_EQ("PAK!", get("pak/mod.pak"));
  EXPECT_FALSE(fs::exists(kRoot / "uexp打包/b.uexp"));

  // A second run skips the pak that is already there.
  const ToolRun again = runTool("1\n");
  EXPECT_EQ(0, again.status);
  EXPECT_EQ(0u, again.out.find(autoCopyWith(green("✓ 已存在同名同大小：mod.pak 跳过复制"), 0, 1)));
}

TEST_F(EndToEnd, FirstRunOnEmptyStorage) {
  const ToolRun run = runTool("");
  for (const char* rel : {"pak", "uexp解包", "uexp打包", "配置", "提取的pak/地铁水印"}) {
    EXPECT_TRUE(fs::is_directory(kRoot / rel)) << rel;
  }
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(kNoSourcePak + red("错误: PAK目录中没有找到pak文件"), run.out);
  EXPECT_EQ("", run.err);
}

// Each folder a stage lists, refused as shared storage is before a terminal
// app is granted access to it: the stage says so, then goes on as it would
// with the folder empty.
TEST_F(EndToEnd, FoldersThatCannotBeReachedAreNamedNotTakenForEmpty) {
  const auto refused = [](const std::string& folder) {
    return red("✗ 无法访问文件夹 " + folder + "：权限不足");
  };
  const auto prepare = [] {
    fs::remove_all(kRoot);
    put("pak/one.pak", "p");
    put("配置/r.txt", "a=b\n");
  };

  prepare();
  put("提取的pak/地铁水印/mod.pak", "PAK!");
  const ToolRun source = runTool("1\n1\n", "", withFault("NOLIST", "提取的pak/地铁水印"));
  EXPECT_EQ(0, source.status) << source.err;
  EXPECT_EQ(0u,
            source.out.find(bold(kBar40) + cyan("自动检测并复制指定目录PAK文件") + bold(kBar40) +
                            refused("地铁水印") + yellow("⚠  指定源文件夹无PAK文件，跳过复制") +
                            "\n" + bold("未检测到指定目录PAK，请手动选择：")))
      << source.out;

  prepare();
  const ToolRun pak = runTool("1\n1\n", "", withFault("NOLIST", (kRoot / "pak").string()));
  EXPECT_EQ(1, pak.status);
  EXPECT_EQ(kNoSourcePak + refused("pak") + red("错误: PAK目录中没有找到pak文件"), pak.out);

  prepare();
  const ToolRun rules = runTool("1\n1\n", "", withFault("NOLIST", "/配置"));
  EXPECT_EQ(1, rules.status);
  EXPECT_TRUE(rules.out.ends_with("\n" + refused("配置") + red("错误: 配置目录中没有找到txt文件")))
      << rules.out;

  // An unpack folder that cannot be listed tells nothing of the new set:
  // the last one stays, and the run fails.
  prepare();
  put("uexp解包/a.uexp", kMarker);
  ASSERT_EQ(0, runTool("1\n1\n").status);
  const auto last = filesUnder(kRoot / "uexp打包");
  ASSERT_EQ(1u, last.size());
  const ToolRun unpack = runTool("1\n1\n", "", withFault("NOLIST", "uexp解包"));
  EXPECT_EQ(1, unpack.status);
  EXPECT_TRUE(unpack.out.ends_with(kScanHeading + refused("uexp解包") +
                                   red("✗ 无法读取解包目录，uexp打包 保留上次完整的内容")))
      << unpack.out;
  EXPECT_EQ(last, filesUnder(kRoot / "uexp打包"));
  // So does one of its subfolders that cannot be listed: it may hold
  // targets. It is named, not its parent.
  put("uexp解包/d/b.uexp", kMarker);
  const ToolRun below = runTool("1\n1\n", "", withFault("NOLIST", "uexp解包/d"));
  EXPECT_EQ(1, below.status);
  EXPECT_TRUE(
      below.out.ends_with(refused("d") + red("✗ 无法读取解包目录，uexp打包 保留上次完整的内容")))
      << below.out;
  EXPECT_EQ(last, filesUnder(kRoot / "uexp打包"));
  // So does one that is missing and cannot be made.
  fs::remove_all(kRoot / "uexp解包");
  const ToolRun missing = runTool("1\n1\n", "", withFault("NOMKDIR", "uexp解包"));
  EXPECT_EQ(1, missing.status);
  EXPECT_EQ(unpack.out, missing.out);
  EXPECT_EQ(last, filesUnder(kRoot / "uexp打包"));
  // And one that is missing at the start, although the start makes it
  // anew: it was moved or renamed, and the last set stays.
  const ToolRun moved = runTool("1\n1\n");
  EXPECT_EQ(1, moved.status);
  EXPECT_TRUE(moved.out.ends_with(
      kScanHeading +
      red("✗ 无法访问文件夹 uexp解包：文件夹不存在") +
      red("✗ 无法读取解包目录，uexp打包 保留上次完整的内容")))
      << moved.out;
  EXPECT_EQ(last, filesUnder(kRoot / "uexp打包"));
  EXPECT_TRUE(fs::is_directory(kRoot / "uexp解包"));
  // Without a last set (a first run, a repack folder holding a note of the
  // user's but no copy) there is nothing to keep: the folder made at the
  // start is merely empty.
  for (const bool note : {false, true}) {
    fs::remove_all(kRoot / "uexp解包");
    fs::remove_all(kRoot / "uexp打包");
    if (note) put("uexp打包/说明.txt", "a note");
    const ToolRun first = runTool("1\n1\n");
    EXPECT_EQ(0, first.status) << note;
    EXPECT_TRUE(first.out.ends_with(kScanHeading + red("✗ 解包目录无uexp文件"))) << first.out;
  }

  // The repack folder that cannot be made is named once, before the copy
  // stage's own lines, and no copy is tried.
  prepare();
  put("uexp解包/a.uexp", kMarker);
  const ToolRun repack = runTool("1\n1\n", "", withFault("NOMKDIR", "uexp打包"));
  EXPECT_EQ(1, repack.status);
  EXPECT_TRUE(repack.out.ends_with(
      kScanHeading + refused("uexp打包") +
      red("✗ 无法写入打包目录（权限不足），uexp打包 保留上次完整的内容")))
      << repack.out;
  EXPECT_FALSE(fs::exists(kRoot / "uexp打包"));

  // A first run that may not make the rule folder says so too.
  fs::remove_all(kRoot);
  put("pak/one.pak", "p");
  const ToolRun unmade = runTool("1\n", "", withFault("NOMKDIR", "/配置"));
  EXPECT_FALSE(fs::exists(kRoot / "配置"));
  EXPECT_EQ(1, unmade.status);
  EXPECT_TRUE(unmade.out.ends_with("\n" + refused("配置") + red("错误: 配置目录中没有找到txt文件")))
      << unmade.out;
}

TEST_F(EndToEnd, MenuRetriesAndEndOfInput) {
  put("pak/one.pak", "p");
  put("配置/r.txt", "a=b\n");
  const std::string pakMenu =
      bold("未检测到指定目录PAK，请手动选择：") + gradient(0, "  [1] one.pak") + "\n";
  const std::string pakPrompt = "\033[96m请输入文件编号: \033[0m";
  const ToolRun closed = runTool("abc\n");
  EXPECT_EQ(1, closed.status);
  EXPECT_EQ(kNoSourcePak + pakMenu + pakPrompt + red("请输入有效的数字") + pakPrompt + "\n" +
                red("错误: 输入已结束，未选择任何文件"),
            closed.out);

  const ToolRun retried = runTool("0\n 1\n2\n99999999999\n1\n");
  EXPECT_EQ(0, retried.status);
  EXPECT_EQ(kNoSourcePak + pakMenu + pakPrompt + red("编号无效，请重新输入") + pakPrompt + "\n" +
                configMenu("r.txt") + red("编号无效，请重新输入") + kConfigPrompt +
                red("请输入有效的数字") + kConfigPrompt + loaded(1) + kScanHeading +
                red("✗ 解包目录无uexp文件"),
            retried.out);
}

TEST_F(EndToEnd, NoMatchEndsWithoutRewriteOrBanner) {
  put("pak/one.pak", "p");
  put("配置/r.txt", "a=b\n");
  put("uexp解包/x.uexp", "game/mod/escape/audio/wwisebank/");
  put("uexp解包/y.uexp", UTF8Utils::utf8ToUtf16LE(kMarker));
  put("uexp打包/left-over.uexp", "old");
  const ToolRun run = runTool("1\n1\n");
  EXPECT_EQ(0, run.status);
  EXPECT_TRUE(run.out.ends_with(kScanHeading + cyan("扫描 2 个UEXP文件...") +
                                "\r  \033[93m进度: 2/2\033[0m\n" +
                                red("✗ 未匹配到含关键词的UEXP文件")))
      << run.out;
  EXPECT_TRUE(fs::is_empty(kRoot / "uexp打包"));
}

TEST_F(EndToEnd, RewritesNestedCopiesInUtf8AndUtf16WithChainedRules) {
  const auto u16 = [](const std::string& s) { return UTF8Utils::utf8ToUtf16LE(s); };
  put("pak/one.pak", "p");
  put("配置/r.txt",
      "\xEF\xBB\xBF# 规则\r\n"
      "abc=xyz\r\n"
      "你好=ab\r\n"
      "X=Y\r\n"
      "Y=Z\r\n"
      "ab=abc\r\n");
  const std::string a = kMarker + "|abc|" + u16("abc") + "|你好|" + u16("你好") + "|X";
  put("uexp解包/a/b/a.uexp", a);
  put("uexp解包/c/a.uexp", kMarker + "|X");
  put("uexp解包/c/untouched.uexp", kMarker + "|nothing");
  const ToolRun run = runTool("1\n1\n");
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(kMarker + "|xyz|" + u16("abc") + "|你好|" + u16("ab") + "|Z",
            get("uexp打包/a/b/a.uexp"));
  EXPECT_EQ(kMarker + "|Z", get("uexp打包/c/a.uexp"));
  EXPECT_EQ(a, get("uexp解包/a/b/a.uexp"));
  EXPECT_NE(std::string::npos,
            run.out.find(cyan("替换规则:") +
                         "  1. 'abc' -> 'xyz'\n  2. '你好' -> 'ab'\n  3. 'X' -> 'Y'\n" +
                         "  4. 'Y' -> 'Z'\n  5. 'ab' -> 'abc'\n" +
                         yellow("     ⚠ 此规则无法等长替换，将跳过") + "\n"));
  EXPECT_EQ(2u, [&] {
    std::size_t n = 0;
    for (std::size_t at = 0;
         (at = run.out.find(green("✓ 已修改: a.uexp"), at)) != std::string::npos; ++at)
      ++n;
    return n;
  }());
  EXPECT_TRUE(run.out.ends_with(green("✓ 修改完成，共处理 2 个文件") + kBanner)) << run.out;
}

TEST_F(EndToEnd, RulesThatMatchNothingStillEndWithTheBanner) {
  put("pak/one.pak", "p");
  put("配置/r.txt", "zzz=yyy\n");
  put("uexp解包/a.uexp", kMarker);
  const ToolRun run = runTool("1\n1\n");
  EXPECT_EQ(0, run.status);
  EXPECT_TRUE(run.out.ends_with("  1. 'zzz' -> 'yyy'\n\n\n" + green("✓ 修改完成，共处理 0 个文件") +
                                kBanner))
      << run.out;
  EXPECT_EQ(kMarker, get("uexp打包/a.uexp"));
}

TEST_F(EndToEnd, BadRuleFilesEndWithTheirMessage) {
  put("pak/one.pak", "p");
  put("配置/r.txt", "# nothing\n\n");
  const ToolRun run = runTool("1\n1\n");
  EXPECT_EQ(1, run.status);
  EXPECT_TRUE(run.out.ends_with(bold("加载替换规则:") + red("错误: 配置文件无有效替换规则")))
      << run.out;
}

// A copy the storage cannot take (here a file size limit) leaves no part of
// it, and the set it belonged to never replaces the last complete one.
TEST_F(EndToEnd, FullStorageDuringCopyLeavesNoPartialCopy) {
  put("pak/one.pak", "p");
  put("配置/r.txt", "abc=xyz\n");
  const std::string big = kMarker + "abc" + std::string(300 << 10, 'q');
  put("uexp解包/big.uexp", big);
  put("uexp解包/small.uexp", kMarker + "abc");
  ASSERT_EQ(0, runTool("1\n1\n").status);
  const auto last = filesUnder(kRoot / "uexp打包");
  ASSERT_EQ(2u, last.size());
  put("配置/r.txt", "abc=ABC\n");
  // Copies fit under the limit only for the small file.
  const auto sources = filesUnder(kRoot / "uexp解包");
  const ToolRun run = runTool("1\n1\n", "trap \"\" XFSZ; ulimit -f 128;");
  EXPECT_EQ(1, run.status) << run.err;
  EXPECT_TRUE(run.out.ends_with(
      red("✗ 复制失败：big.uexp") +
      red("✗ 无法写入打包目录（文件超出大小限制），uexp打包 保留上次完整的内容")))
      << run.out;
  EXPECT_EQ(last, filesUnder(kRoot / "uexp打包"));
  EXPECT_EQ(sources, filesUnder(kRoot / "uexp解包"));
}

TEST_F(EndToEnd, FilesVanishingBetweenWalkAndReadAreReported) {
  put("pak/one.pak", "p");
  put("配置/r.txt", "abc=xyz\n");
  put("uexp解包/keep.uexp", kMarker + "abc");
  put("uexp解包/gone.uexp", kMarker + "abc");
  const ToolRun scan = runTool("1\n1\n", "", withFault("VANISH", "uexp解包/gone.uexp"));
  EXPECT_EQ(0, scan.status) << scan.err;
  EXPECT_NE(std::string::npos, scan.out.find("2/2\033[0m\n" + red("✗ 读取失败：gone.uexp") +
                                             green("✓ 匹配到 1 个文件，已复制到打包目录")))
      << scan.out;
  EXPECT_EQ(kMarker + "xyz", get("uexp打包/keep.uexp"));
}

TEST_F(EndToEnd, TargetSavedOverAfterItsSearchIsCopiedAsSearched) {
  put("pak/one.pak", "p");
  put("配置/r.txt", "abc=xyz\n");
  put("uexp解包/a.uexp", kMarker + "abc");
  const ToolRun run = runTool("1\n1\n", "", withFault("REPLACE", "uexp解包/a.uexp"));
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ("saved over", get("uexp解包/a.uexp"));
  EXPECT_EQ(kMarker + "xyz", get("uexp打包/a.uexp"));
}

// A run whose copies the storage cannot take, whatever the storage's reason
// (access refused to a copy or to a folder of the set included), or that has
// no room for its staging folder, keeps the last complete set
// byte for byte, leaves no part of its own anywhere, says why in one line
// after the lines of the copies that failed, never reaches the rewrite stage,
// and exits 1. The next run with room replaces the set as usual.
TEST_F(EndToEnd, FullDiskWhileACopyIsWrittenLeavesNoPartOfIt) {
  put("pak/one.pak", "p");
  const std::string big = kMarker + std::string(200000, 'a') + "abc" + std::string(200000, 'b');
  put("uexp解包/big.uexp", big);
  put("uexp解包/small.uexp", kMarker + "abc");
  put("uexp解包/other.uexp", "abc");
  put("uexp解包/d/deep.uexp", kMarker + "abc");
  const auto sources = filesUnder(kRoot / "uexp解包");
  struct Case {
    const char* fault;
    const char* where;
    int error;
    const char* reason;
    const char* failedCopy;  // the copy whose own line comes first, if any
    const char* arguments = "";
  };
  for (const Case& c : {Case{"NOSPACE", "/big.uexp", ENOSPC, "存储空间不足", "big.uexp"},
                        Case{"NOSPACE", "/big.uexp", EDQUOT, "超出存储配额", "big.uexp"},
                        Case{"NOSPACE", "/big.uexp", EIO, "存储读写出错", "big.uexp"},
                        Case{"NOSPACE", "/small.uexp", EROFS, "存储为只读", "small.uexp"},
                        Case{"NOSPACE", "/small.uexp", EACCES, "权限不足", "small.uexp"},
                        Case{"NOMKDIR", ".uexpmod-new/d", ENOSPC, "存储空间不足", "deep.uexp"},
                        Case{"NOMKDIR", ".uexpmod-new/d", EACCES, "权限不足", "deep.uexp"},
                        Case{"NOMKDIR", ".uexpmod-new", ENOSPC, "存储空间不足", ""},
                        // Written unnamed on two threads, and refused its name.
                        Case{"NORENAME", "small.uexp", EACCES, "权限不足", "small.uexp",
                             "-j 2"}}) {
    SCOPED_TRACE(std::string(c.fault) + " " + c.where + " " + c.reason);
    fs::remove_all(kRoot / "uexp打包");
    put("配置/r.txt", "abc=xyz\n");
    ASSERT_EQ(0, runTool("1\n1\n").status);
    const auto last = filesUnder(kRoot / "uexp打包");
    ASSERT_EQ(3u, last.size());
    put("配置/r.txt", "abc=ABC\n");
    Environment fault = withFault(c.fault, c.where);
    fault.emplace_back("UEXPMOD_FAULT_ERRNO", std::to_string(c.error));
    const ToolRun run = runTool("1\n1\n", "", fault, c.arguments);
    EXPECT_EQ(1, run.status) << run.err;
    const std::string kept =
        red(std::string("✗ 无法写入打包目录（") + c.reason + "），uexp打包 保留上次完整的内容");
    const std::string failed =
        *c.failedCopy != '\0' ? red(std::string("✗ 复制失败：") + c.failedCopy) : std::string();
    EXPECT_TRUE(run.out.ends_with(failed + kept)) << run.out;
    EXPECT_EQ(std::string::npos, run.out.find("步骤: 批量修改打包目录UEXP文件")) << run.out;
    const auto left = filesUnder(kRoot / "uexp打包");
    EXPECT_TRUE(left == last) << treeDifference(last, left);
    EXPECT_EQ(sources, filesUnder(kRoot / "uexp解包"));
    std::set<std::string> root;
    for (const auto& entry : fs::directory_iterator(kRoot)) {
      root.insert(entry.path().filename().string());
    }
    EXPECT_EQ((std::set<std::string>{"pak", "uexp解包", "uexp打包", "配置", "提取的pak"}), root);
  }
  const ToolRun room = runTool("1\n1\n");
  EXPECT_EQ(0, room.status);
  EXPECT_EQ(kMarker + "ABC", get("uexp打包/small.uexp"));
}

// A source that cannot be read (an I/O error of its own) is named and left
// out, and the set goes in without it, run after run. Known to the index as
// a target, it is not searched: the copy is the first to read it.
TEST_F(EndToEnd, ASourceThatCannotBeReadIsLeftOutAndTheSetGoesIn) {
  put("pak/one.pak", "p");
  put("配置/r.txt", "abc=xyz\n");
  put("uexp解包/a.uexp", kMarker + "abc");
  put("uexp解包/d1/c.uexp", kMarker + "abc2");
  // Settled, so that the index keeps both as targets.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  ASSERT_EQ(0, runTool("1\n1\n").status);
  ASSERT_EQ(kMarker + "xyz2", get("uexp打包/d1/c.uexp"));
  // On one thread and on two, whose copies are written unnamed: the failed
  // copy's folder is left as a write by name leaves it.
  for (const char* threads : {"-j 1", "-j 2"}) {
    SCOPED_TRACE(threads);
    const ToolRun unreadable =
        runTool("1\n1\n", "", withFault("NOREAD", "d1/c.uexp"), threads);
    EXPECT_EQ(0, unreadable.status) << unreadable.err;
    EXPECT_NE(std::string::npos, unreadable.out.find("2/2\033[0m\n" + red("✗ 复制失败：c.uexp") +
                                                     green("✓ 匹配到 1 个文件，已复制到打包目录")))
        << unreadable.out;
    EXPECT_EQ((std::map<std::string, std::string>{{"a.uexp", kMarker + "xyz"}}),
              filesUnder(kRoot / "uexp打包"));
    EXPECT_TRUE(fs::is_directory(kRoot / "uexp打包/d1"));
  }
}

// A source that this process has no descriptor left to open with is no
// source that cannot be read: the set without it is short, and the last one
// stays, on one thread and on two.
TEST_F(EndToEnd, NoDescriptorLeftForASourceKeepsTheLastSet) {
  put("pak/one.pak", "p");
  put("配置/r.txt", "abc=xyz\n");
  put("uexp解包/a.uexp", kMarker + "abc");
  put("uexp解包/d1/c.uexp", kMarker + "abc2");
  ASSERT_EQ(0, runTool("1\n1\n").status);
  const auto last = filesUnder(kRoot / "uexp打包");
  ASSERT_EQ(2u, last.size());
  put("配置/r.txt", "abc=ABC\n");
  for (const char* threads : {"-j 1", "-j 2"}) {
    SCOPED_TRACE(threads);
    const ToolRun run = runTool("1\n1\n", "", withFault("NOFILES", "d1/c.uexp"), threads);
    EXPECT_EQ(1, run.status) << run.out;
    EXPECT_TRUE(run.out.ends_with(red("✗ 无法写入打包目录（读写出错（" +
                                      std::string(std::strerror(EMFILE)) +
                                      "）），uexp打包 保留上次完整的内容")))
        << run.out;
    EXPECT_EQ("", treeDifference(last, filesUnder(kRoot / "uexp打包")));
  }
}

// Under a low limit on open files, as many threads as asked for would run
// out of descriptors and keep the last set: the run takes fewer, and makes
// the set that one thread makes.
TEST_F(EndToEnd, ALowLimitOnOpenFilesTakesFewerThreads) {
  put("pak/one.pak", "p");
  put("配置/r.txt", "abc=xyz\n");
  for (int i = 0; i < 60; ++i) {
    put("uexp解包/d" + std::to_string(i % 6) + "/" + std::to_string(i) + ".uexp",
        kMarker + "abc" + std::to_string(i));
  }
  const ToolRun one = runTool("1\n1\n", "", {}, "-j 1");
  ASSERT_EQ(0, one.status) << one.err;
  const auto copies = filesUnder(kRoot / "uexp打包");
  ASSERT_EQ(60u, copies.size());
  const ToolRun limited = runTool("1\n1\n", "ulimit -n 16;", {}, "-j 8");
  EXPECT_EQ(0, limited.status) << limited.out;
  EXPECT_EQ(one.out, limited.out);
  EXPECT_EQ("", treeDifference(copies, filesUnder(kRoot / "uexp打包")));
}

TEST_F(EndToEnd, TargetCutShortWhileItIsRewrittenIsReportedNotFatal) {
  put("pak/one.pak", "p");
  put("配置/r.txt", "abc=xyz\n");
  // Cut short while the tool holds it mapped: most of its pages are lost.
  const std::string big = kMarker + "abc" + std::string(1 << 20, 'q') + "abc";
  put("uexp解包/big.uexp", big);
  put("uexp解包/small.uexp", kMarker + "abc");
  const ToolRun run = runTool("1\n1\n", "", withFault("SHRINK", "uexp解包/big.uexp"));
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_NE(std::string::npos, run.out.find(red("✗ 修改失败: big.uexp"))) << run.out;
  EXPECT_TRUE(run.out.ends_with(green("✓ 修改完成，共处理 1 个文件") + kBanner)) << run.out;
  // The copy holds what the source now holds, neither zeros for the lost
  // pages nor a rewrite of half a file.
  EXPECT_EQ(big.substr(0, big.size() / 2), get("uexp打包/big.uexp"));
  EXPECT_EQ(kMarker + "xyz", get("uexp打包/small.uexp"));
}

TEST_F(EndToEnd, CopiesOnStorageThatRefusesPermissionChanges) {
  put("提取的pak/地铁水印/mod.pak", "PAK!");
  put("配置/r.txt", "abc=xyz\n");
  put("uexp解包/a/b.uexp", kMarker + "abc");
  const ToolRun run = runTool("1\n", "", withFault("NOCHMOD", "1"));
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_NE(std::string::npos, run.out.find(green("✓ 已复制：mod.pak")));
  EXPECT_NE(std::string::npos, run.out.find(green("✓ 匹配到 1 个文件，已复制到打包目录")));
  EXPECT_EQ("PAK!", get("pak/mod.pak"));
  EXPECT_EQ(kMarker + "xyz", get("uexp打包/a/b.uexp"));
}

TEST_F(EndToEnd, HugeRuleFilesEndWithADefinedOutcome) {
  put("pak/one.pak", "p");
  put("uexp解包/a.uexp", kMarker + "abc");
  const std::size_t size = 100u << 20;
  // A 100 MB comment line followed by one rule.
  put("配置/r.txt", "#" + std::string(size, 'c') + "\nabc=xyz\n");
  const ToolRun one = runTool("1\n1\n");
  EXPECT_EQ(0, one.status);
  EXPECT_NE(std::string::npos, one.out.find(green("✓ 加载 1 条替换规则")));
  EXPECT_EQ(kMarker + "xyz", get("uexp打包/a.uexp"));
  // 100 MB of blank lines and white space only.
  std::string blank;
  blank.reserve(size);
  while (blank.size() < size) blank += " \t \r\n";
  put("配置/r.txt", blank);
  const ToolRun none = runTool("1\n1\n");
  EXPECT_EQ(1, none.status);
  EXPECT_TRUE(none.out.ends_with(red("错误: 配置文件无有效替换规则")));
}

TEST_F(EndToEnd, HundredThousandTinyFiles) {
  put("pak/one.pak", "p");
  put("配置/r.txt", "abc=xyz\n");
  constexpr int kFiles = 100000;
  for (int i = 0; i < kFiles; ++i) {
    const std::string dir = "uexp解包/d" + std::to_string(i % 100) + "/";
    put(dir + std::to_string(i) + ".uexp", i % 1000 == 0 ? kMarker + "abc" : "tiny");
  }
  const ToolRun run = runTool("1\n1\n");
  EXPECT_EQ(0, run.status);
  EXPECT_NE(std::string::npos, run.out.find(cyan("扫描 100000 个UEXP文件...")));
  EXPECT_NE(std::string::npos, run.out.find("\r  \033[93m进度: 100000/100000\033[0m\n" +
                                            green("✓ 匹配到 100 个文件，已复制到打包目录")));
  EXPECT_TRUE(run.out.ends_with(green("✓ 修改完成，共处理 100 个文件") + kBanner));
  EXPECT_EQ(kMarker + "xyz", get("uexp打包/d0/1000.uexp"));
}

// The copy stage on 1, 2 and 7 threads: the same bytes on standard output,
// the same exit status, the progress counter and every red line where one
// thread prints them, and the same repack folder. The tree has many targets
// sharing folders (each copy written by whichever thread reaches it, then
// named, with its folders, in the candidates' order), a file larger than
// the rules' window and a source that vanishes before it is read; and, in
// the second case, a copy whose writes find the storage full, which keeps
// the last complete set. The workspace is on tmpfs where there is one: it
// lists a folder in the order its entries were made, and the rewrite stage
// lists the copies so, each "✓ 已修改" line in the order of that listing.
TEST_F(EndToEnd, EveryThreadCountPrintsAndCopiesWhatOneThreadDoes) {
  std::optional<testsupport::TempDir> tmpfs;
  if (!testsupport::tmpfsFolder().empty()) tmpfs.emplace(testsupport::tmpfsFolder());
  const fs::path root = tmpfs ? tmpfs->path() : kRoot;
  const std::string rootOption = "--root \"" + root.string() + "\" ";
  const auto put = [&root](const std::string& rel, const std::string& bytes) {
    writeFile(root / rel, bytes);
  };
  const auto prepare = [&] {
    fs::remove_all(root);
    fs::remove_all(kCache);
    put("pak/one.pak", "p");
    put("配置/r.txt", "abc=xyz\nzq=qz\n");
    for (int i = 0; i < 95; ++i) {
      const std::string dir =
          "uexp解包/d" + std::to_string(i % 5) + "/e" + std::to_string(i % 3) + "/";
      put(dir + std::to_string(i) + ".uexp",
          i % 4 == 0 ? std::to_string(i) + kMarker + "abc zq" : "abc zq, no marker");
    }
    put("uexp解包/d1/huge.uexp", kMarker + std::string(3 << 20, 'z') + "abc");
    put("uexp解包/d2/gone.uexp", kMarker + "abc");
    put("uexp解包/d3/big.uexp", kMarker + "abc" + std::string(100000, 'b'));
    // A folder with the name the threads' unnamed copies would go to.
    put("uexp解包/.uexpmod-unnamed/x.uexp", kMarker + "abc");
  };
  const std::string gone = red("✗ 读取失败：gone.uexp");
  const std::string full = red("✗ 复制失败：big.uexp");
  struct Case {
    bool storageFull;  // big.uexp's copy finds the storage full
    int status;        // of every run
    std::size_t copies;
  };
  for (const Case& c : {Case{false, 0, 27}, Case{true, 1, 0}}) {
    SCOPED_TRACE(c.storageFull ? "storage full" : "storage with room");
    Environment faults = {{"LD_PRELOAD", UEXPMOD_FAULT_LIBRARY},
                          {"ASAN_OPTIONS", "verify_asan_link_order=0"},
                          {"UEXPMOD_FAULT_VANISH", "uexp解包/d2/gone.uexp"}};
    if (c.storageFull) faults.emplace_back("UEXPMOD_FAULT_NOSPACE", "/big.uexp");
    prepare();
    const ToolRun one = runTool("1\n1\n", "", faults, rootOption + "-j 1");
    ASSERT_EQ(c.status, one.status) << one.err;
    const std::string scanned = "\r  \033[93m进度: 99/99\033[0m\n";
    const std::size_t end = one.out.find(scanned);
    ASSERT_NE(std::string::npos, end) << one.out;
    // Every step of ten, once, before the end of the progress line.
    std::string steps;
    for (int n = 10; n <= 90; n += 10) {
      steps += "\r  \033[93m进度: " + std::to_string(n) + "/99\033[0m";
    }
    EXPECT_NE(std::string::npos, one.out.find(steps + scanned)) << one.out;
    const std::string after = one.out.substr(end + scanned.size());
    if (c.storageFull) {
      EXPECT_TRUE(after.starts_with(gone + full) || after.starts_with(full + gone)) << one.out;
    } else {
      EXPECT_TRUE(after.starts_with(gone + green("✓ 匹配到 27 个文件，已复制到打包目录")))
          << one.out;
      EXPECT_TRUE(one.out.ends_with(green("✓ 修改完成，共处理 27 个文件") + kBanner)) << one.out;
    }
    const auto copies = filesUnder(root / "uexp打包");
    EXPECT_EQ(c.copies, copies.size());
    if (c.copies != 0) {
      EXPECT_EQ("8" + kMarker + "xyz qz", copies.at("d3/e2/8.uexp"));
    }
    for (const char* threads : {"2", "7"}) {
      prepare();
      const ToolRun many = runTool("1\n1\n", "", faults, rootOption + "-j " + threads);
      EXPECT_EQ(c.status, many.status) << many.err;
      EXPECT_EQ(one.out, many.out) << threads << " threads";
      EXPECT_EQ("", treeDifference(copies, filesUnder(root / "uexp打包"))) << threads << " threads";
    }
  }
}

// A phone ends a terminal app with SIGKILL, at any moment. Killed while it
// writes a copy, a run must leave the repack folder as the last complete run
// left it, and the next run must clear what the killed one left behind
// without a word.
// A run killed while it writes a copy, and at each step that puts the new
// copies in place (the exchange of the folders, or, where the storage
// refuses it, each of the two renames, and the one that sends the old copies
// off to be removed), leaves the last complete run's copies, this run's, or
// (between the two renames) no folder, which the next run mends first:
// never a mixture, never a copy cut short. The next run says and leaves
// exactly what a run on a clean workspace does.
// A run killed while it copies a pak, or just after, leaves the pak old,
// new or absent, never cut short; the next run clears what it left beside.
TEST_F(EndToEnd, KilledPakCopiesLeaveEachPakWholeOrAbsent) {
  const std::string oldPak = "old pak";
  const std::string newPak(std::size_t{1} << 20, 'n');  // the fault puts half, then kills
  const std::tuple<const char*, Environment, bool, const std::string*> kills[] = {
      {"while the copy is written, over an old pak", withFault("KILL", "/pak/"), true,
       &oldPak},
      {"while the copy is written, no pak there", withFault("KILL", "/pak/"), false,
       nullptr},
      {"just after the rename", withFault("KILLRENAME", "pak/.mod.pak."), true, &newPak},
  };
  for (const auto& [when, fault, hadOld, left] : kills) {
    SCOPED_TRACE(when);
    fs::remove_all(kRoot);
    put("提取的pak/地铁水印/mod.pak", newPak);
    put("配置/r.txt", "abc=xyz\n");
    if (hadOld) put("pak/mod.pak", oldPak);
    // On two threads: each copy is then written unnamed and named in turn.
    const ToolRun killed = runTool("1\n1\n", "", fault, "-j 2");
    ASSERT_EQ(128 + SIGKILL, killed.status) << killed.out;
    if (left == nullptr) {
      EXPECT_FALSE(fs::exists(kRoot / "pak/mod.pak"));
    } else {
      EXPECT_TRUE(get("pak/mod.pak") == *left) << get("pak/mod.pak").size() << " bytes";
    }
    const ToolRun next = runTool("1\n1\n");
    EXPECT_EQ(0, next.status) << next.err;
    EXPECT_NE(std::string::npos,
              next.out.find(green(left == &newPak ? "✓ 已存在同名同大小：mod.pak 跳过复制"
                                                  : "✓ 已复制：mod.pak")))
        << next.out;
    EXPECT_TRUE(get("pak/mod.pak") == newPak);
    EXPECT_EQ(1, std::distance(fs::directory_iterator(kRoot / "pak"), fs::directory_iterator()));
  }
}

TEST_F(EndToEnd, KilledRunsLeaveOneWholeSetOfCopies) {
  const auto prepare = [](const std::string& rules) {
    fs::remove_all(kRoot);
    put("pak/one.pak", "p");
    put("配置/r.txt", rules);
    put("uexp解包/other.uexp", std::string(5000, 'n') + "abc");
    for (int i = 0; i < 5; ++i) {
      std::string bytes = kMarker;
      for (int piece = 0; piece < 1000 * (i + 1); ++piece) bytes += "abc" + std::to_string(piece);
      put("uexp解包/t" + std::to_string(i) + ".uexp", bytes);
    }
  };
  const std::string rulesA = "abc=xyz\n";
  const std::string rulesB = "abc=ABC\n";

  prepare(rulesB);
  const ToolRun clean = runTool("1\n1\n");
  ASSERT_EQ(0, clean.status) << clean.err;
  const auto copiesB = filesUnder(kRoot / "uexp打包");
  ASSERT_EQ(5u, copiesB.size());

  prepare(rulesA);
  ASSERT_EQ(0, runTool("1\n1\n").status);
  const auto copiesA = filesUnder(kRoot / "uexp打包");
  ASSERT_EQ(5u, copiesA.size());
  for (const auto& [path, bytes] : copiesA) ASSERT_NE(copiesB.at(path), bytes) << path;

  // The target copied third, in the order the tool walks the folder.
  std::vector<std::string> order;
  for (const auto& entry : fs::directory_iterator(kRoot / "uexp解包")) {
    if (entry.path().filename() != "other.uexp") order.push_back(entry.path().filename().string());
  }
  ASSERT_EQ(5u, order.size());
  enum class Left { kOld, kNew, kNone };
  const std::tuple<const char*, Environment, Left> kills[] = {
      {"while a copy is written", withFault("KILL", order[2]), Left::kOld},
      {"just after a copy written unnamed is named", withFault("KILLRENAME", order[2]),
       Left::kOld},
      {"just after the exchange", withFault("KILLRENAME", "uexp打包"), Left::kNew},
      {"between the two renames",
       Environment{{"LD_PRELOAD", UEXPMOD_FAULT_LIBRARY},
                   {"ASAN_OPTIONS", "verify_asan_link_order=0"},
                   {"UEXPMOD_FAULT_NOEXCHANGE", "1"},
                   {"UEXPMOD_FAULT_KILLRENAME", "uexp打包"}},
       Left::kNone},
      {"after the second rename",
       Environment{{"LD_PRELOAD", UEXPMOD_FAULT_LIBRARY},
                   {"ASAN_OPTIONS", "verify_asan_link_order=0"},
                   {"UEXPMOD_FAULT_NOEXCHANGE", "1"},
                   {"UEXPMOD_FAULT_KILLRENAME", "uexp打包.uexpmod-new"}},
       Left::kNew},
      {"as the old copies go to be removed",
       Environment{{"LD_PRELOAD", UEXPMOD_FAULT_LIBRARY},
                   {"ASAN_OPTIONS", "verify_asan_link_order=0"},
                   {"UEXPMOD_FAULT_NOEXCHANGE", "1"},
                   {"UEXPMOD_FAULT_KILLRENAME", "uexp打包.uexpmod-old"}},
       Left::kNew},
  };
  for (const auto& [when, fault, expected] : kills) {
    SCOPED_TRACE(when);
    put("配置/r.txt", rulesA);
    ASSERT_EQ(0, runTool("1\n1\n").status);
    put("配置/r.txt", rulesB);
    // On two threads: each copy is then written unnamed and named in turn.
    const ToolRun killed = runTool("1\n1\n", "", fault, "-j 2");
    ASSERT_EQ(128 + SIGKILL, killed.status) << killed.out;
    if (expected == Left::kNone) {
      EXPECT_FALSE(fs::exists(kRoot / "uexp打包"));
      // Whatever runs next puts the killed run's copies, whole, in place
      // first, even a run that ends at its first menu.
      EXPECT_EQ(1, runTool("").status);
      const auto mended = filesUnder(kRoot / "uexp打包");
      EXPECT_TRUE(mended == copiesB) << treeDifference(copiesB, mended);
    } else {
      const auto left = filesUnder(kRoot / "uexp打包");
      const auto& want = expected == Left::kOld ? copiesA : copiesB;
      EXPECT_TRUE(left == want) << treeDifference(want, left);
    }

    const ToolRun next = runTool("1\n1\n");
    EXPECT_EQ(0, next.status) << next.err;
    EXPECT_EQ(clean.out, next.out);
    const auto copies = filesUnder(kRoot / "uexp打包");
    EXPECT_TRUE(copies == copiesB) << treeDifference(copiesB, copies);
    std::set<std::string> root;
    for (const auto& entry : fs::directory_iterator(kRoot)) {
      root.insert(entry.path().filename().string());
    }
    EXPECT_EQ((std::set<std::string>{"pak", "uexp解包", "uexp打包", "配置", "提取的pak"}), root);
  }
}

// Random trees, edited at random between runs in every way a file can
// change (its bytes, the marker or the rule's text, with its modification
// time set back, replaced by a
// rename, removed, added, its modification time or permissions changed): a
// run that uses what the run before it kept says and leaves exactly what a
// run without it does.
// With the tool's clock a minute ahead of the storage's stamps, a file
// written just before the run is not settled for it: the probe shows the
// distance, and the settling time grows by it. One written 2 s before is.
// So too the rules' occurrences kept of a target.
TEST_F(EndToEnd, AClockAheadOfTheStorageWidensTheSettlingTime) {
  put("pak/one.pak", "p");
  put("配置/r.txt", "abc=xyz\n");
  put("uexp解包/settled.uexp", "no marker");
  put("uexp解包/settled-target.uexp", kMarker + "abc");
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  put("uexp解包/fresh.uexp", "nor here");
  put("uexp解包/fresh-target.uexp", kMarker + "abc");
  EXPECT_EQ(0, runTool("1\n1\n", "", withFault("CLOCK_AHEAD", "60")).status);
  const std::string folder = fs::absolute(kRoot / "uexp解包").lexically_normal().string();
  const SelectionIndex index =
      SelectionIndex::read(SelectionIndex::fileFor(kCache / "uexpmod", folder), folder, 100);
  OccurrenceCache occurrences =
      OccurrenceCache::open(OccurrenceCache::fileFor(kCache / "uexpmod", folder), folder);
  ASSERT_TRUE(occurrences.covers({"abc"}));
  const auto keyOf = [](const std::string& name) {
    struct stat status = {};
    EXPECT_EQ(0, ::stat((kRoot / "uexp解包" / name).c_str(), &status));
    return FileKey::of(status);
  };
  EXPECT_EQ(false, index.find(keyOf("settled.uexp")));
  EXPECT_EQ(std::nullopt, index.find(keyOf("fresh.uexp")));
  std::vector<MultiReplacer::Occurrence> found;
  EXPECT_TRUE(occurrences.find(keyOf("settled-target.uexp"), found));
  EXPECT_EQ(
      (std::vector<MultiReplacer::Occurrence>{{static_cast<std::uint32_t>(kMarker.size()), 0}}),
      found);
  EXPECT_FALSE(occurrences.find(keyOf("fresh-target.uexp"), found));
}

// Kept occurrences that fail to read part way through a target's rewrite
// (after their check) leave it rewritten from the file as it is, as a run
// without them rewrites it: the first try's writes into the file's map are
// not taken for its bytes. The target spans windows, with few writes, so
// that it is rewritten in its map; the kept occurrences are read in pieces
// of 4,096 (reads 1 to 4 are the cache's head and table, 5 to 7 the check
// of the target's three pieces, 8 and 9 the first two pieces again), and the
// second piece is needed in the second window.
TEST_F(EndToEnd, KeptOccurrencesThatFailPartWayLeaveTheRewriteAsWithoutThem) {
  put("pak/one.pak", "p");
  std::string bytes = kMarker;
  for (int i = 0; bytes.size() < (std::size_t{3} << 20); ++i) {
    bytes += std::string(297, '.') + (i % 16 == 0 ? "aa" : "zz") + ".";
  }
  put("uexp解包/big.uexp", bytes);
  put("配置/r.txt", "zz=zz\naa=bb\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  ASSERT_EQ(0, runTool("1\n1\n", "", {}, "-j 1").status);
  // A rule added: the kept occurrences serve, "bb" is searched for alone.
  put("配置/r.txt", "bb=cc\naa=bb\n");
  const fs::path noCache = kRoot.parent_path() / "e2e-no-cache";
  fs::remove_all(noCache);
  const ToolRun plain = runTool("1\n1\n", "", {{"XDG_CACHE_HOME", noCache.string()}}, "-j 1");
  const auto expected = filesUnder(kRoot / "uexp打包");
  Environment failing = withFault("NOREAD", ".occurrences");
  failing.emplace_back("UEXPMOD_FAULT_NOREAD_FROM", "9");
  const ToolRun cached = runTool("1\n1\n", "", failing, "-j 1");
  EXPECT_EQ(plain.status, cached.status);
  EXPECT_EQ(plain.out, cached.out);
  EXPECT_EQ(expected, filesUnder(kRoot / "uexp打包"));
  EXPECT_EQ(std::string::npos, get("uexp打包/big.uexp").find("cc"));
}

TEST_F(EndToEnd, RunsWithTheIndexSelectAsRunsWithoutIt) {
  std::mt19937 rng(2026);
  put("pak/one.pak", "p");
  put("配置/r.txt", "abc=xyz\n");
  const fs::path unpack = kRoot / "uexp解包";
  const auto bytesOf = [&](bool target) {
    std::string bytes(40 + rng() % 3000, 'n');
    bytes.replace(rng() % (bytes.size() - 40), 3, "abc");
    if (target) bytes.replace(rng() % (bytes.size() - kMarker.size()), kMarker.size(), kMarker);
    return bytes;
  };
  std::vector<fs::path> files;
  for (int i = 0; i < 60; ++i) {
    files.push_back(unpack / ("d" + std::to_string(i % 5)) / ("f" + std::to_string(i) + ".uexp"));
    writeFile(files.back(), bytesOf(rng() % 3 == 0));
  }
  const fs::path noCache = kRoot.parent_path() / "e2e-no-cache";
  // The rule file as a translator edits it: a rule added (whose text the
  // occurrences kept lack), then a replacement changed.
  const char* const ruleFiles[] = {"abc=xyz\n", "nnab=QQQQ\nabc=xyz\n", "nnab=QQQQ\nabc=xwz\n"};
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    put("配置/r.txt", ruleFiles[round]);
    // Every file settled, so that the run keeps them all and the edits
    // after it meet kept entries.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    // On one thread and on several: the caches are read and written from
    // the copy stage's threads.
    const ToolRun indexed = runTool("1\n1\n", "", {}, round == 1 ? "-j 3" : "-j 1");
    const auto copies = filesUnder(kRoot / "uexp打包");
    fs::remove_all(noCache);
    const ToolRun plain = runTool("1\n1\n", "", {{"XDG_CACHE_HOME", noCache.string()}});
    EXPECT_EQ(0, indexed.status);
    EXPECT_EQ(plain.out, indexed.out);
    EXPECT_EQ(filesUnder(kRoot / "uexp打包"), copies);
    // Kept occurrences that cannot be read are searched for.
    const ToolRun unreadable = runTool("1\n1\n", "", withFault("NOREAD", ".occurrences"));
    EXPECT_EQ(plain.out, unreadable.out);
    EXPECT_EQ(filesUnder(kRoot / "uexp打包"), copies);

    std::vector<fs::path> added;
    for (const fs::path& file : files) {
      if (!fs::exists(file)) continue;
      const auto time = fs::last_write_time(file);
      switch (rng() % 9) {
        case 0: {  // the marker gone or come, the size and time as they were
          std::string bytes = readFile(file);
          const std::size_t at = bytes.find(kMarker);
          if (at != std::string::npos) {
            bytes[at] = 'g';
          } else {
            bytes.replace(0, kMarker.size(), kMarker);
          }
          writeFile(file, bytes);
          fs::last_write_time(file, time);
          break;
        }
        case 1: {  // replaced by a rename, with the old time
          const fs::path other = file.string() + ".new";
          writeFile(other, bytesOf(rng() % 2 == 0));
          fs::last_write_time(other, time);
          fs::rename(other, file);
          break;
        }
        case 2:
          fs::remove(file);
          break;
        case 3:
          fs::last_write_time(file, time - std::chrono::hours(1));
          break;
        case 4:
          fs::permissions(file, fs::perms::owner_read);
          break;
        case 6: {  // the rule's text moved, the size and time as they were
          std::string bytes = readFile(file);
          const std::size_t at = bytes.find("abc");
          if (at != std::string::npos) bytes.replace(at, 3, "nnn");
          bytes.replace(rng() % (bytes.size() - 3), 3, "abc");
          writeFile(file, bytes);
          fs::last_write_time(file, time);
          break;
        }
        case 5:
          added.push_back(file.parent_path() / ("n" + std::to_string(rng()) + ".uexp"));
          writeFile(added.back(), bytesOf(rng() % 2 == 0));
          break;
        default:
          break;
      }
    }
    files.insert(files.end(), added.begin(), added.end());
  }
}

// The command line is read whole before anything else: help, the version
// and every refused line leave no folder and no cache behind.
TEST_F(EndToEnd, HelpVersionAndRefusedCommandLinesTouchNothing) {
  const ToolRun help = runTool("1\n1\n", "", {}, "--help");
  EXPECT_EQ(0, help.status);
  EXPECT_EQ("", help.err);
  EXPECT_TRUE(help.out.starts_with(bold("用法：uexpmod [选项]"))) << help.out;
  EXPECT_NE(std::string::npos, help.out.find(UEXPMOD_E2E_ROOT)) << help.out;
  for (const char* option : {"--help", "--version", "--threads", "--root", "--pak", "--rules"}) {
    EXPECT_NE(std::string::npos, help.out.find(option)) << option;
  }
  EXPECT_EQ(help.out, runTool("", "", {}, "-h").out);

  const ToolRun version = runTool("", "", {}, "-V");
  EXPECT_EQ(0, version.status);
  EXPECT_EQ("uexpmod " UEXPMOD_E2E_VERSION "\n", version.out);
  EXPECT_EQ(version.out, runTool("", "", {}, "--version").out);
  // A text that cannot be written fails, and says nothing more.
  for (const char* option : {"--help", "-V"}) {
    const ToolRun full = runTool("", "", {}, option, "/dev/full");
    EXPECT_EQ(1, full.status) << option;
    EXPECT_EQ("", full.err) << option;
  }

  const std::pair<std::string, std::string> refused[] = {
      {"--bogus", "未知选项：--bogus"},
      {"run", "多余的参数：run"},
      {"-j 0", "选项 -j 的值无效：0（应为 1 到 64 的整数）"},
      {"-j -1", "选项 -j 的值无效：-1（应为 1 到 64 的整数）"},
      {"--help --bogus", "未知选项：--bogus"},
  };
  for (const auto& [arguments, message] : refused) {
    const ToolRun run = runTool("1\n1\n", "", {}, arguments);
    EXPECT_EQ(2, run.status) << arguments;
    EXPECT_EQ("", run.out) << arguments;
    EXPECT_EQ("\033[91m" + message + "；用法见 uexpmod --help\033[0m\n", run.err) << arguments;
  }
  EXPECT_FALSE(fs::exists(kRoot));
  EXPECT_FALSE(fs::exists(kCache));
}

// --root runs on another workspace, made as a first run makes it; the
// compiled-in one is left alone.
TEST_F(EndToEnd, RootOptionRunsOnAnotherWorkspace) {
  const fs::path other = kRoot.parent_path() / "e2e-其他 工作区";
  fs::remove_all(other);
  writeFile(other / "pak/one.pak", "p");
  writeFile(other / "配置/r.txt", "abc=xyz\n");
  writeFile(other / "uexp解包/t.uexp", kMarker + "abc");
  const ToolRun run = runTool("1\n1\n", "", {}, "--root \"" + other.string() + "\"");
  EXPECT_EQ(0, run.status) << run.out;
  EXPECT_EQ(kMarker + "xyz", readFile(other / "uexp打包/t.uexp"));
  EXPECT_TRUE(fs::is_directory(other / "提取的pak/地铁水印"));
  EXPECT_FALSE(fs::exists(kRoot));
  fs::remove_all(other);
}

// The number a menu shows for the file `name`, read from a run's output.
std::string menuNumber(const std::string& out, const std::string& name) {
  const std::size_t entry = out.find("] " + name + "\n");
  const std::size_t open = out.rfind('[', entry);
  return entry == std::string::npos ? "?" : out.substr(open + 1, entry - open - 1);
}

// Answered on the command line, by name or by number, a run reads nothing and
// prints what a run answered by hand prints, with the answer's number where
// the terminal would echo the typed one.
TEST_F(EndToEnd, MenusAnsweredOnTheCommandLineNeedNoInput) {
  put("pak/one.pak", "p");
  put("pak/two.pak", "p");
  put("配置/a.txt", "abc=xyz\n");
  put("配置/b.txt", "abc=ABC\n");
  put("uexp解包/t.uexp", kMarker + "abc");
  const std::string pakPrompt = "\033[96m请输入文件编号: \033[0m";
  // A hand-answered run's output with `pak` and `rules` after their prompts.
  const auto echoed = [&](std::string out, const std::string& pak, const std::string& rules) {
    if (!rules.empty()) out.insert(out.find(kConfigPrompt) + kConfigPrompt.size(), rules + "\n");
    if (!pak.empty()) out.insert(out.find(pakPrompt) + pakPrompt.size(), pak + "\n");
    return out;
  };

  const ToolRun listing = runTool("");
  const std::string two = menuNumber(listing.out, "two.pak");
  ASSERT_NE("?", two) << listing.out;
  const ToolRun byHand = runTool("2\n1\n");
  ASSERT_EQ(0, byHand.status) << byHand.err;
  const std::string b = menuNumber(byHand.out, "b.txt");
  const ToolRun hand = runTool(two + "\n" + b + "\n");
  ASSERT_EQ(0, hand.status);
  const auto copies = filesUnder(kRoot / "uexp打包");
  ASSERT_EQ(kMarker + "ABC", copies.at("t.uexp"));

  const ToolRun byName = runTool("", "", {}, "--pak two.pak --rules=b.txt");
  EXPECT_EQ(0, byName.status);
  EXPECT_EQ("", byName.err);
  EXPECT_EQ(echoed(hand.out, two, b), byName.out);
  EXPECT_EQ(copies, filesUnder(kRoot / "uexp打包"));
  const ToolRun byNumber = runTool("", "", {}, "--rules " + b + " --pak " + two + " -j 2");
  EXPECT_EQ(echoed(hand.out, two, b), byNumber.out);

  // Only one menu answered: the other is asked as ever.
  const ToolRun half = runTool(b + "\n", "", {}, "--pak two.pak");
  EXPECT_EQ(echoed(hand.out, two, ""), half.out);
  EXPECT_EQ(0, half.status);

  // A pak in the source folder is chosen with no menu: --pak may only name
  // it, or be 1.
  put("提取的pak/地铁水印/mod.pak", "PAK!");
  ASSERT_EQ(0, runTool(b + "\n").status);  // gathers it: later runs skip it
  const ToolRun autoHand = runTool(b + "\n");
  ASSERT_EQ(0, autoHand.status);
  // Numbers are read as the menu reads them: white space, a sign and
  // anything after the digits are let be.
  const std::pair<std::string, std::string> answers[] = {
      {"mod.pak", "b.txt"},         {"1", "\"" + b + "\""},   {"\" 1\"", "\" " + b + "\""},
      {"\"1 \"", "\"" + b + " \""}, {"+1", "\"+" + b + "\""}, {"1st", "\"" + b + "x\""},
  };
  for (const auto& [pak, rules] : answers) {
    const std::string arguments = "--pak " + pak + " --rules " + rules;
    const ToolRun run = runTool("", "", {}, arguments);
    EXPECT_EQ(0, run.status) << arguments;
    EXPECT_EQ(echoed(autoHand.out, "", b), run.out) << arguments;
  }
}

// An answer that names no entry of its menu gets one red line listing the
// entries, before the menu is shown, and exit 1: the repack folder keeps
// what it held.
TEST_F(EndToEnd, AnswersNotOfferedListTheOfferedFilesAndChangeNothing) {
  put("pak/one.pak", "p");
  put("配置/r.txt", "abc=xyz\n");
  put("配置/sub/s.txt", "abc=xyz\n");
  put("uexp解包/t.uexp", kMarker + "abc");
  put("uexp打包/old.uexp", "old");
  const ToolRun listing = runTool("1\n");
  const std::string offered =
      menuNumber(listing.out, "r.txt") == "1" ? "r.txt、s.txt" : "s.txt、r.txt";
  put("uexp打包/old.uexp", "old");
  const auto before = filesUnder(kRoot);

  const std::pair<std::string, std::string> wrong[] = {
      {"--pak two.pak --rules r.txt", "错误: --pak 指定的 two.pak 不在可选文件中，可选：one.pak"},
      {"--pak one.pak --rules 0", "错误: --rules 指定的 0 不在可选文件中，可选：" + offered},
      {"--pak 1 --rules sub/s.txt",
       "错误: --rules 指定的 sub/s.txt 不在可选文件中，可选：" + offered},
      {"--rules R.TXT", "错误: --rules 指定的 R.TXT 不在可选文件中，可选：" + offered},
  };
  for (const auto& [arguments, line] : wrong) {
    const ToolRun run = runTool("1\n", "", {}, arguments);
    EXPECT_EQ(1, run.status) << arguments;
    EXPECT_EQ("", run.err) << arguments;
    EXPECT_EQ(red(line), run.out) << arguments;
    const auto after = filesUnder(kRoot);
    EXPECT_TRUE(after == before) << arguments << treeDifference(before, after);
  }
  // With a pak in the source folder, which a run would gather, only that pak
  // is offered; either answer refused gathers nothing.
  put("提取的pak/地铁水印/mod.pak", "PAK!");
  const auto withSource = filesUnder(kRoot);
  const std::pair<std::string, std::string> gathering[] = {
      {"--pak one.pak --rules r.txt", "错误: --pak 指定的 one.pak 不在可选文件中，可选：mod.pak"},
      {"--pak 1 --rules nope.txt",
       "错误: --rules 指定的 nope.txt 不在可选文件中，可选：" + offered},
      {"--rules nope.txt", "错误: --rules 指定的 nope.txt 不在可选文件中，可选：" + offered},
  };
  for (const auto& [arguments, line] : gathering) {
    const ToolRun run = runTool("1\n", "", {}, arguments);
    EXPECT_EQ(1, run.status) << arguments;
    EXPECT_EQ(red(line), run.out) << arguments;
    const auto after = filesUnder(kRoot);
    EXPECT_TRUE(after == withSource) << arguments << treeDifference(withSource, after);
  }
}

// A run that finds the pak folder locked by another run says so in one line,
// waits, and then gathers as ever.
TEST_F(EndToEnd, RunWaitingForThePakFolderSaysSo) {
  put("提取的pak/地铁水印/mod.pak", "PAK!");
  put("配置/r.txt", "abc=xyz\n");
  fs::create_directories(kRoot / "pak");
  const int folder = ::open((kRoot / "pak").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(0, ::flock(folder, LOCK_EX));
  const std::string waits = yellow("⚠ 另一个运行正在收集PAK文件，等待其完成…");
  // The lock is let go once the run has said that it waits, or after a
  // minute where it never does: a run that waits silently fails the test
  // instead of hanging it.
  const fs::path out = kRoot.parent_path() / "e2e-io" / "stdout";
  fs::remove(out);
  std::thread release([&] {
    for (int i = 0; i < 600 && readFile(out).find(waits) == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::close(folder);
  });
  const ToolRun run = runTool("1\n");
  release.join();
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_TRUE(run.out.starts_with(autoCopyWith(waits + green("✓ 已复制：mod.pak"), 1, 0)))
      << run.out;
  EXPECT_EQ(run.out.find(waits), run.out.rfind(waits));
  EXPECT_EQ("PAK!", get("pak/mod.pak"));
}

// A link at the repack folder's path that leads into the inputs or the
// workspace (the folder itself, one inside it, one that holds it) is named
// with where it leads (an ancestor of the workspace is not tried: broken,
// the tool would empty the build's own folder), and the run ends before it touches anything; so is a
// file at that path, which stays.
TEST_F(EndToEnd, ARepackFolderThatLeadsIntoTheInputsIsRefusedAndNothingTouched) {
  struct Case {
    const char* link;    // the link's text; empty: a file stands there
    const char* target;  // where it leads, below the workspace
  };
  for (const Case& c : {Case{"uexp解包", "uexp解包"}, Case{"uexp解包/d0", "uexp解包/d0"},
                        Case{"配置", "配置"}, Case{".", "."},
                        Case{"提取的pak", "提取的pak"}, Case{"", ""}}) {
    SCOPED_TRACE(c.link);
    fs::remove_all(kRoot);
    put("pak/one.pak", "p");
    put("提取的pak/地铁水印/mod.pak", "PAK!");
    put("配置/r.txt", "abc=xyz\n");
    put("uexp解包/d0/t.uexp", kMarker + "abc");
    put("uexp解包/other.uexp", "other");
    put("uexp解包/readme.txt", "readme");
    std::string line;
    if (*c.link == '\0') {
      put("uexp打包", "a file");
      line = "✗ uexp打包 不是文件夹，已保留原样，未做任何改动";
    } else {
      fs::create_directory_symlink(c.link, kRoot / "uexp打包");
      line = "✗ 链接 uexp打包 指向 " + fs::canonical(kRoot / c.target).string() +
             "，与工作区的输入文件夹重叠，未做任何改动";
    }
    const auto before = filesUnder(kRoot);
    const ToolRun run = runTool("1\n1\n");
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(red(line), run.out);
    EXPECT_EQ(before, filesUnder(kRoot));
    if (*c.link != '\0') {
      EXPECT_EQ(c.link, fs::read_symlink(kRoot / "uexp打包").string());
    }
  }
}

// While another run holds the repack folder's lock, this one says, once,
// that it waits, then runs as ever; where the lock is free it says nothing
// (every other test checks that). The holder here lets go as soon as the
// line shows, whenever that is.
TEST_F(EndToEnd, ARunThatWaitsForAnotherSaysSo) {
  put("pak/one.pak", "p");
  put("配置/r.txt", "abc=xyz\n");
  put("uexp解包/t.uexp", kMarker + "abc");
  const ToolRun free = runTool("1\n1\n");
  ASSERT_EQ(0, free.status);
  const fs::path out = fs::path(UEXPMOD_E2E_ROOT).parent_path() / "e2e-io/stdout";
  fs::remove(out);
  // The holder also ends with the run ($$ is the shell that becomes it), so
  // that a run that never says it waits fails on its deadline, not forever.
  const std::string holder = "exec 9< \"" + kRoot.string() + "\"; flock 9; ( until grep -q 等待 \"" +
                             out.string() +
                             "\" 2>/dev/null || ! kill -0 $$; do sleep 0.05; done; flock -u 9 ) "
                             ">/dev/null 2>&1 & ";
  const ToolRun waited = runTool("1\n1\n", holder);
  EXPECT_EQ(0, waited.status) << waited.err;
  EXPECT_EQ(yellow("⚠ 另一个运行正在使用打包目录，本次运行等待其结束...") + free.out, waited.out);
}

// A run that waits for the repack folder's lock both at recovery and at the
// copy stage says so once. The holder here takes the lock back while the
// run waits for the pak folder's, which it also holds, in between: each
// step follows what /proc/locks shows the run doing, not a clock.
TEST_F(EndToEnd, ARunThatWaitsTwiceForTheRepackFolderSaysSoOnce) {
  put("提取的pak/地铁水印/mod.pak", "PAK!");
  put("配置/r.txt", "abc=xyz\n");
  put("uexp解包/t.uexp", kMarker + "abc");
  ASSERT_EQ(0, runTool("1\n1\n").status);
  const ToolRun free = runTool("1\n1\n");  // the pak now there, as for the run below
  ASSERT_EQ(0, free.status);
  const fs::path pak = kRoot / "pak";
  const int root = ::open(kRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int paks = ::open(pak.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(0, ::flock(root, LOCK_EX));
  ASSERT_EQ(0, ::flock(paks, LOCK_EX));
  std::vector<bool> seen;
  std::thread holder([&] {
    // Bounded: a step never seen lets everything go, and the test fails on it.
    const auto until = [&](const fs::path& folder) {
      bool saw = false;
      for (int tries = 0; tries < 60000 && !saw; ++tries) {
        saw = testsupport::flockListed(folder, true, false);
        if (!saw) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      seen.push_back(saw);
    };
    until(kRoot);  // the run waits at recovery
    ::flock(root, LOCK_UN);
    until(pak);  // past recovery, it waits for the paks
    ::flock(root, LOCK_EX);
    ::flock(paks, LOCK_UN);
    until(kRoot);  // and at the copy stage
    ::flock(root, LOCK_UN);
  });
  const ToolRun waited = runTool("1\n1\n");
  holder.join();
  ::close(root);
  ::close(paks);
  EXPECT_EQ(std::vector<bool>({true, true, true}), seen);
  EXPECT_EQ(0, waited.status) << waited.err;
  std::string out = waited.out;
  for (const std::string& notice : {yellow("⚠ 另一个运行正在使用打包目录，本次运行等待其结束..."),
                                    yellow("⚠ 另一个运行正在收集PAK文件，等待其完成…")}) {
    const std::size_t at = out.find(notice);
    ASSERT_NE(std::string::npos, at) << notice << out;
    out.erase(at, notice.size());
  }
  EXPECT_EQ(free.out, out);  // nothing more said, the first notice not again
}

// A bind mount of a folder of the same storage at the repack folder's path
// cannot be renamed: the run says it replaces the files one by one, stages
// them inside the mount all the same, and leaves exactly the new set there,
// or, where the storage cannot take the set, the last one. Needs root and a
// mount namespace of its own; skipped where the test cannot make one, but
// failed under CI.
TEST_F(EndToEnd, ABindMountAtTheRepackFolderIsFilledFileByFile) {
  const fs::path mounted = kRoot.parent_path() / "e2e-bind";
  const fs::path repack = kRoot / "uexp打包";
  fs::remove_all(mounted);
  writeFile(mounted / "stale.uexp", "stale");
  fs::create_directories(repack);
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount(mounted.c_str(), repack.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    return testsupport::skipOrFailWithout(std::string("no mount namespace here: ") +
                                          std::strerror(errno));
  }
  struct Unmount {
    fs::path at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{repack};
  put("pak/one.pak", "p");
  put("uexp解包/a.uexp", kMarker + "abc");
  put("uexp解包/big.uexp", kMarker + "abc" + std::string(100000, 'q'));
  const auto set = [](const std::string& text) {
    return std::map<std::string, std::string>{
        {"a.uexp", kMarker + text}, {"big.uexp", kMarker + text + std::string(100000, 'q')}};
  };
  const std::string notice = yellow("⚠ 打包目录是挂载点，本次运行将逐个替换其中的文件");
  put("配置/r.txt", "abc=xyz\n");
  const ToolRun first = runTool("1\n1\n");
  EXPECT_EQ(0, first.status) << first.out;
  EXPECT_NE(std::string::npos, first.out.find(kScanHeading + notice)) << first.out;
  EXPECT_EQ(set("xyz"), filesUnder(mounted));
  put("配置/r.txt", "abc=ABC\n");
  const ToolRun full = runTool("1\n1\n", "", withFault("NOSPACE", "/big.uexp"));
  EXPECT_EQ(1, full.status) << full.out;
  EXPECT_EQ(set("xyz"), filesUnder(mounted));
  const ToolRun next = runTool("1\n1\n");
  EXPECT_EQ(0, next.status) << next.out;
  EXPECT_EQ(set("ABC"), filesUnder(mounted));
  // Nothing of the staging is left inside the mount.
  EXPECT_EQ(2, std::distance(fs::directory_iterator(mounted), fs::directory_iterator()));
}

// Where the repack folder's link leads to a second path to an input (a bind
// mount of it, inside it, or of the whole workspace), the run refuses as for
// the input itself: the folders are told apart by what they are, not by
// the text of their paths. Under CI a machine that cannot mount fails.
TEST_F(EndToEnd, ALinkToASecondPathOfAnInputIsRefusedAndNothingTouched) {
  const fs::path alias = kRoot.parent_path() / "e2e-alias";
  fs::create_directories(alias);
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    if (std::getenv("CI") != nullptr) FAIL() << "no mount namespace: " << std::strerror(errno);
    GTEST_SKIP() << "no mount namespace here: " << std::strerror(errno);
  }
  for (const std::string input : {"uexp解包", "uexp解包/d0", "配置", "."}) {
    SCOPED_TRACE(input);
    fs::remove_all(kRoot);
    put("pak/one.pak", "p");
    put("配置/r.txt", "abc=xyz\n");
    put("uexp解包/d0/t.uexp", kMarker + "abc");
    put("uexp解包/other.uexp", "other abc");
    put("uexp解包/readme.txt", "readme");
    ASSERT_EQ(0, ::mount((kRoot / input).c_str(), alias.c_str(), nullptr, MS_BIND, nullptr))
        << std::strerror(errno);
    struct Unmount {
      fs::path at;
      ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{alias};
    fs::create_directory_symlink(alias, kRoot / "uexp打包");
    const auto before = filesUnder(kRoot);
    const ToolRun run = runTool("1\n1\n");
    EXPECT_EQ(1, run.status) << run.out;
    EXPECT_EQ(
        red("✗ 链接 uexp打包 指向 " + alias.string() + "，与工作区的输入文件夹重叠，未做任何改动"),
        run.out);
    EXPECT_EQ(before, filesUnder(kRoot));
  }
}

// A link at the repack folder changed into the inputs while the run goes on
// (here just after its staging folder is made) stops the commit with the
// line of a link that led there from the start: the inputs are untouched,
// the folder the link led to keeps its last set, and the run exits 1.
TEST_F(EndToEnd, ALinkChangedIntoTheInputsDuringTheRunStopsTheCommit) {
  put("pak/one.pak", "p");
  put("配置/r.txt", "abc=xyz\n");
  put("uexp解包/t.uexp", kMarker + "abc");
  put("uexp解包/other.uexp", "other abc");
  fs::create_directories(kRoot / "out");
  fs::create_directory_symlink("out", kRoot / "uexp打包");
  ASSERT_EQ(0, runTool("1\n1\n").status);
  const std::map<std::string, std::string> last = {{"t.uexp", kMarker + "xyz"}};
  ASSERT_EQ(last, filesUnder(kRoot / "out"));
  const auto inputs = filesUnder(kRoot / "uexp解包");
  Environment env = withFault("RELINK", (kRoot / "uexp打包").string());
  env.emplace_back("UEXPMOD_FAULT_RELINK_TO", "uexp解包");
  const ToolRun run = runTool("1\n1\n", "", env);
  EXPECT_EQ(1, run.status) << run.out;
  const std::string line = red("✗ 链接 uexp打包 指向 " + (kRoot / "uexp解包").string() +
                               "，与工作区的输入文件夹重叠，未做任何改动");
  EXPECT_TRUE(run.out.ends_with(line)) << run.out;
  EXPECT_EQ(inputs, filesUnder(kRoot / "uexp解包"));
  EXPECT_EQ(last, filesUnder(kRoot / "out"));

  // Turned to another folder of the user's, the link would be left leading
  // away from the set put in place: the run stops, and both stay as they were.
  fs::remove(kRoot / "uexp打包");
  fs::create_directory_symlink("out", kRoot / "uexp打包");
  fs::create_directories(kRoot / "out2");
  env.back().second = "out2";
  const ToolRun away = runTool("1\n1\n", "", env);
  EXPECT_EQ(1, away.status) << away.out;
  EXPECT_TRUE(away.out.ends_with(red("✗ 打包目录在运行中被换成了别的文件夹，uexp打包 保留上次完整的内容")))
      << away.out;
  EXPECT_EQ(last, filesUnder(kRoot / "out"));
  EXPECT_TRUE(filesUnder(kRoot / "out2").empty());
}

// A run killed while it moves its set into a mount point, with entries of
// both sets on either side, left a whole new set: the next run finishes the
// moves before anything is removed, so that a run that then cannot complete
// its own keeps that one, not a mixture or nothing.
TEST_F(EndToEnd, AMountPointKilledWhileItsFilesMoveKeepsTheKilledRunsWholeSet) {
  const fs::path mounted = kRoot.parent_path() / "e2e-bind";
  const fs::path repack = kRoot / "uexp打包";
  fs::remove_all(mounted);
  fs::create_directories(mounted);
  fs::create_directories(repack);
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount(mounted.c_str(), repack.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    if (std::getenv("CI") != nullptr) FAIL() << "no mount namespace: " << std::strerror(errno);
    GTEST_SKIP() << "no mount namespace here: " << std::strerror(errno);
  }
  struct Unmount {
    fs::path at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{repack};
  put("pak/one.pak", "p");
  for (const char* name : {"a", "d0/b", "d1/c", "z"})
    put("uexp解包/" + std::string(name) + ".uexp", kMarker + "abc");
  const auto set = [](const std::string& text) {
    std::map<std::string, std::string> files;
    for (const char* name : {"a", "d0/b", "d1/c", "z"})
      files[std::string(name) + ".uexp"] = kMarker + text;
    return files;
  };
  put("配置/r.txt", "abc=xyz\n");
  ASSERT_EQ(0, runTool("1\n1\n").status);
  ASSERT_EQ(set("xyz"), filesUnder(mounted));
  put("配置/r.txt", "abc=ABC\n");
  // Killed once the old a.uexp went aside, and again once the new one went in.
  for (const std::string cut : {"uexp打包/a.uexp", "uexpmod-new/a.uexp"}) {
    SCOPED_TRACE(cut);
    const ToolRun killed = runTool("1\n1\n", "", withFault("KILLRENAME", cut));
    ASSERT_EQ(128 + SIGKILL, killed.status) << killed.out;
    // A move that cannot be finished yet (set aside, the old entries cannot
    // be renamed) stops the next run, which names what stands in the way.
    const ToolRun stuck = runTool("1\n1\n", "", withFault("NORENAME", "uexp打包/.uexpmod-gone"));
    if (cut == "uexp打包/a.uexp") {
      EXPECT_EQ(1, stuck.status) << stuck.out;
      EXPECT_TRUE(stuck.out.ends_with(red("✗ 无法完成上次被打断的替换，完整的内容暂存在 " +
                                          (repack / ".uexpmod-gone").string() +
                                          "，排除存储问题后重新运行即可完成")))
          << stuck.out;
    }
    const ToolRun full = runTool("1\n1\n", "", withFault("NOSPACE", "/z.uexp"));
    EXPECT_EQ(1, full.status) << full.out;
    EXPECT_EQ(set("ABC"), filesUnder(mounted));
    put("配置/r.txt", "abc=xyz\n");
    ASSERT_EQ(0, runTool("1\n1\n").status);
    put("配置/r.txt", "abc=ABC\n");
  }
}

// A set of the tool's own beside the repack folder that cannot be removed
// stops the run before it stages anything: one red line names it, the
// folder keeps its last set, and the run exits 1.
TEST_F(EndToEnd, ASetThatCannotBeRemovedStopsTheRunAndIsNamed) {
  put("pak/one.pak", "p");
  put("配置/r.txt", "abc=xyz\n");
  put("uexp解包/t.uexp", kMarker + "abc");
  put("uexp打包/last.uexp", "last");
  put(".uexp打包.uexpmod-old/old.uexp", "old");
  const ToolRun run = runTool("1\n1\n", "", withFault("NORENAME", ".uexp打包.uexpmod-old"));
  EXPECT_EQ(1, run.status) << run.out;
  EXPECT_TRUE(run.out.ends_with(red("✗ 无法移除 " + (kRoot / ".uexp打包.uexpmod-old").string() +
                                    "，uexp打包 保留上次完整的内容")))
      << run.out;
  EXPECT_EQ((std::map<std::string, std::string>{{"last.uexp", "last"}}),
            filesUnder(kRoot / "uexp打包"));
}

}  // namespace
