// The stages run in-process on a temporary workspace, with menu answers and
// output held in string streams.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "app/uexp_processor.h"
#include "tests/allocation_count.h"
#include "tests/test_support.h"
#include "util/content_search.h"
#include "util/file_walk.h"
#include "util/page_size.h"
#include "util/selection_index.h"
#include "util/string_utils.h"

// This executable's own open stands in front of the C library's, so that a
// test can have another app save over a file, in place and with a later
// modification time, at the moment the tool opens the temporary file that is
// to take the file's place; and so that a test can see which files a stage
// opens to read.
namespace stagingfault {
std::string saveOver;  // the file
std::string savedBytes;
}  // namespace stagingfault
// The copy stage opens files on several threads: the state below is
// touched under this lock.
std::recursive_mutex openLock;
namespace openlog {
bool enabled = false;
std::vector<std::string> read;  // paths opened to be read, while enabled
std::string slow;               // a file whose opening to be read takes seconds
}  // namespace openlog

extern "C" int open(const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(rest, mode_t) : 0;
  va_end(rest);
  std::unique_lock<std::recursive_mutex> hold(openLock);
  if (!stagingfault::saveOver.empty() && (flags & O_ACCMODE) == O_WRONLY &&
      std::strstr(path, ".uexpmod.tmp") != nullptr) {
    const std::string file = std::exchange(stagingfault::saveOver, "");
    const int fd = ::open(file.c_str(), O_WRONLY);
    const std::string& bytes = stagingfault::savedBytes;
    const timespec later[2] = {{0, UTIME_OMIT}, {::time(nullptr) + 10, 0}};
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
        ::futimens(fd, later) != 0 || ::close(fd) != 0) {
      std::abort();
    }
  }
  // O_PATH opens no file to be read: the mount table's look at a folder.
  if (openlog::enabled && (flags & O_ACCMODE) == O_RDONLY &&
      (flags & (O_DIRECTORY | O_PATH)) == 0) {
    openlog::read.emplace_back(path);
  }
  const bool slow = !openlog::slow.empty() && std::strstr(path, openlog::slow.c_str()) != nullptr;
  hold.unlock();
  if (slow) std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  using Open = int (*)(const char*, int, ...);
  static const auto realOpen = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "open"));
  return realOpen(path, flags, mode);
}

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

const std::string kMarker = "Game/Mod/Escape/Audio/WwiseBank/";

std::string red(const std::string& s) { return "\033[91m" + s + "\n\033[0m"; }
std::string green(const std::string& s) { return "\033[92m" + s + "\n\033[0m"; }
std::string yellow(const std::string& s) { return "\033[93m" + s + "\n\033[0m"; }
std::string cyan(const std::string& s) { return "\033[96m" + s + "\n\033[0m"; }
std::string bold(const std::string& s) { return "\033[1m" + s + "\n\033[0m"; }

// Replaces every gradient colour code by "<G>" so menus compare exactly.
std::string maskGradients(std::string s) {
  std::size_t at = 0;
  while ((at = s.find("\033[38;5;", at)) != std::string::npos) {
    const std::size_t end = s.find('m', at);
    s.replace(at, end - at + 1, "<G>");
  }
  return s;
}

struct Workspace {
  TempDir dir;
  fs::path root = dir / "ws";
  std::istringstream in;
  std::ostringstream out;
  UEXPProcessor processor{root, in, out};

  explicit Workspace(const std::string& answers = "") { in.str(answers); }
  fs::path operator/(const char* rel) const { return root / rel; }
  std::string take() {
    std::string s = out.str();
    out.str("");
    return s;
  }
};

TEST(Construction, CreatesTheFiveFoldersSilently) {
  Workspace ws;
  for (const char* rel : {"pak", "uexp解包", "uexp打包", "配置", "提取的pak/地铁水印"}) {
    EXPECT_TRUE(fs::is_directory(ws / rel)) << rel;
  }
  EXPECT_EQ("", ws.out.str());
}

// A repack folder that leads to the workspace's folder or one that holds
// it is refused before anything is made or touched, in a temporary folder
// (the end-to-end test cannot try this without risking the build's own).
TEST(Construction, ARepackFolderThatHoldsTheWorkspaceIsRefused) {
  for (const char* link : {"..", "../.."}) {
    SCOPED_TRACE(link);
    TempDir dir;
    writeFile(dir / "a/ws/配置/r.txt", "x=y\n");
    writeFile(dir / "a/keep.txt", "keep");
    fs::create_directory_symlink(link, dir / "a/ws/uexp打包");
    std::istringstream in;
    std::ostringstream out;
    UEXPProcessor processor(dir / "a/ws", in, out);
    EXPECT_EQ(1, processor.runFullProcess());
    EXPECT_EQ(red("✗ 链接 uexp打包 指向 " + fs::canonical(dir / "a/ws" / link).string() +
                  "，与工作区的输入文件夹重叠，未做任何改动"),
              out.str());
    EXPECT_EQ("keep", readFile(dir / "a/keep.txt"));
    EXPECT_EQ("x=y\n", readFile(dir / "a/ws/配置/r.txt"));
    EXPECT_TRUE(fs::is_symlink(dir / "a/ws/uexp打包"));
  }
}

TEST(FolderAccessMessage, NamesTheFolderAndTheReasonAndOnSharedStorageTheRemedy) {
  const std::string remedy =
      "。请在终端应用中授予存储权限（Termux：运行 termux-setup-storage）后重新运行本工具";
  EXPECT_EQ("✗ 无法访问文件夹 配置：权限不足" + remedy,
            UEXPProcessor::folderAccessMessage("/storage/emulated/0/Qorvex制作区/配置", EACCES));
  EXPECT_EQ("✗ 无法访问文件夹 pak：权限不足" + remedy,
            UEXPProcessor::folderAccessMessage("/storage/emulated/0/w/pak", EPERM));
  EXPECT_EQ("✗ 无法访问文件夹 配置：权限不足",
            UEXPProcessor::folderAccessMessage("/storage/emulated/01/配置", EACCES));
  EXPECT_EQ("✗ 无法访问文件夹 配置：读取出错（" + std::string(std::strerror(EIO)) + "）",
            UEXPProcessor::folderAccessMessage("/tmp/w/配置", EIO));
}

// The copy stage's threads: those asked for, else the processors up to 8,
// and never more than a limit on open files leaves room for (an eighth of it
// for the read-ahead, 16 for the run, 4 a thread).
TEST(CopyThreads, AskedOrProcessorsWithinTheLimitOnOpenFiles) {
  constexpr std::optional<std::uint64_t> kNoLimit;
  const struct {
    int asked;
    int processors;
    std::optional<std::uint64_t> limit;
    std::size_t threads;
  } cases[] = {
      {0, 2, kNoLimit, 2},   {0, 16, kNoLimit, 8}, {0, 0, kNoLimit, 1}, {3, 2, kNoLimit, 3},
      {12, 2, kNoLimit, 12}, {8, 2, 1024, 8},      {8, 2, 54, 8},       {8, 2, 50, 7},
      {8, 2, 40, 4},         {8, 2, 20, 1},        {8, 2, 16, 1},       {0, 8, 32, 3},
      {2, 2, 0, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.threads, UEXPProcessor::copyThreads(c.asked, c.processors, c.limit))
        << c.asked << " asked, " << c.processors << " processors, limit " << c.limit.value_or(0);
  }
}

TEST(AutoCopySpecPak, EmptySourcePrintsFiveLines) {
  Workspace ws;
  ws.processor.autoCopySpecPak();
  const std::string bar = "========================================";
  EXPECT_EQ(bold(bar) + cyan("自动检测并复制指定目录PAK文件") + bold(bar) +
                yellow("⚠  指定源文件夹无PAK文件，跳过复制") + "\n",
            ws.take());
}

TEST(AutoCopySpecPak, CopiesFlatSkipsSameSizeAndSummarises) {
  Workspace ws;
  writeFile(ws / "提取的pak/地铁水印/sub/a.pak", "AAAA");
  writeFile(ws / "提取的pak/地铁水印/b.pak", "BBBB");
  writeFile(ws / "提取的pak/地铁水印/notes.txt", "ignored");
  writeFile(ws / "pak/b.pak", "bbbb");  // same size, other bytes: skipped
  ws.processor.autoCopySpecPak();
  const std::string out = ws.take();
  EXPECT_NE(std::string::npos, out.find(green("✓ 已复制：a.pak")));
  EXPECT_NE(std::string::npos, out.find(green("✓ 已存在同名同大小：b.pak 跳过复制")));
  EXPECT_TRUE(out.ends_with("\n" + cyan("汇总：复制 1 个 | 跳过 1 个") +
                            bold("========================================") + "\n"))
      << out;
  EXPECT_EQ("AAAA", readFile(ws / "pak/a.pak"));
  EXPECT_EQ("bbbb", readFile(ws / "pak/b.pak"));
  EXPECT_FALSE(fs::exists(ws / "pak/notes.txt"));

  writeFile(ws / "提取的pak/地铁水印/b.pak", "BBBBBB");  // other size: overwritten
  ws.processor.autoCopySpecPak();
  EXPECT_NE(std::string::npos, ws.take().find(cyan("汇总：复制 1 个 | 跳过 1 个")));
  EXPECT_EQ("BBBBBB", readFile(ws / "pak/b.pak"));
}

TEST(AutoCopySpecPak, FailedCopyIsRedAndNotCounted) {
  Workspace ws;
  writeFile(ws / "提取的pak/地铁水印/a.pak", "A");
  fs::create_directories(ws / "pak/a.pak/blocker");
  ws.processor.autoCopySpecPak();
  const std::string out = ws.take();
  EXPECT_NE(std::string::npos, out.find(red("✗ 复制失败：a.pak")));
  EXPECT_NE(std::string::npos, out.find(cyan("汇总：复制 0 个 | 跳过 0 个")));
}

TEST(SelectPakFile, ChoosesTheSourcePakWithoutAsking) {
  Workspace ws("9\n");
  writeFile(ws / "提取的pak/地铁水印/x/first.pak", "p");
  writeFile(ws / "pak/other.pak", "p");
  EXPECT_EQ(ws / "提取的pak/地铁水印/x/first.pak", ws.processor.selectPakFile());
  EXPECT_EQ(green("🎉 自动识别到指定目录PAK，已自动选中：first.pak"), ws.take());
  EXPECT_EQ('9', ws.in.peek());  // nothing was read
}

TEST(SelectPakFile, MenuRetriesUntilAValidNumber) {
  Workspace ws("x\n0\n2\n");
  writeFile(ws / "pak/only.pak", "p");
  writeFile(ws / "pak/sub/only2.pak", "p");
  const auto order = files::findFilesRecursive(ws / "pak", ".pak").files;
  ASSERT_EQ(2u, order.size());
  EXPECT_EQ(order[1], ws.processor.selectPakFile());
  const std::string prompt = "\033[96m请输入文件编号: \033[0m";
  EXPECT_EQ(bold("未检测到指定目录PAK，请手动选择：") + "<G>  [1] " + fs::path(order[0]).filename().string() +
                "\n\033[0m<G>  [2] " + fs::path(order[1]).filename().string() + "\n\033[0m\n" + prompt +
                red("请输入有效的数字") + prompt + red("编号无效，请重新输入") + prompt,
            maskGradients(ws.take()));
}

TEST(SelectConfigFile, NumberConversionRules) {
  const std::pair<std::string, std::string> answers[] = {
      {"  1\n", ""},
      {"1abc\n", ""},
      {"+1\n", ""},
      {"\n1\n", "请输入有效的数字"},
      {"-1\n1\n", "编号无效，请重新输入"},
      {"2\n1\n", "编号无效，请重新输入"},
      {"99999999999\n1\n", "请输入有效的数字"},
      {"abc\n1", "请输入有效的数字"},  // last answer without a line feed
  };
  for (const auto& [typed, retry] : answers) {
    Workspace ws(typed);
    writeFile(ws / "配置/rules.txt", "a=b");
    EXPECT_EQ(ws / "配置/rules.txt", ws.processor.selectConfigFile()) << typed;
    const std::string out = ws.take();
    const std::string prompt = "\033[96m请输入配置文件编号: \033[0m";
    const std::string expectedTail = retry.empty() ? prompt : prompt + red(retry) + prompt;
    EXPECT_TRUE(out.ends_with("\033[0m\n" + expectedTail)) << typed << out;
  }
}

TEST(SelectConfigFile, EmptyFolderAndEndOfInputAreFatal) {
  {
    Workspace ws;
    EXPECT_THROW(ws.processor.selectConfigFile(), FatalExit);
    EXPECT_EQ(red("错误: 配置目录中没有找到txt文件"), ws.take());
  }
  {
    Workspace ws;
    EXPECT_THROW(ws.processor.selectPakFile(), FatalExit);
    EXPECT_EQ(red("错误: PAK目录中没有找到pak文件"), ws.take());
  }
  {
    Workspace ws("x\n");
    writeFile(ws / "配置/r.txt", "a=b");
    EXPECT_THROW(ws.processor.selectConfigFile(), FatalExit);
    EXPECT_TRUE(ws.take().ends_with("\033[96m请输入配置文件编号: \033[0m\n" +
                                    red("错误: 输入已结束，未选择任何文件")));
  }
}

TEST(FindAndCopyTargetUexp, ProgressCounterFraming) {
  for (const std::size_t n : {1u, 20u, 25u}) {
    Workspace ws;
    for (std::size_t i = 0; i < n; ++i)
      writeFile(ws / ("uexp解包/f" + std::to_string(i) + ".uexp").c_str(), "x");
    EXPECT_TRUE(ws.processor.findAndCopyTargetUexp().sources.empty());
    std::string expected = "\n" + bold("步骤: 扫描匹配目标UEXP并复制到打包目录") +
                           cyan("扫描 " + std::to_string(n) + " 个UEXP文件...");
    for (std::size_t i = 1; i <= n; ++i) {
      if (i % 10 == 0 || i == n) {
        expected += "\r  \033[93m进度: " + std::to_string(i) + "/" + std::to_string(n) + "\033[0m";
      }
    }
    expected += "\n" + red("✗ 未匹配到含关键词的UEXP文件");
    EXPECT_EQ(expected, ws.take()) << n;
  }
}

TEST(FindAndCopyTargetUexp, CopiesMatchesUnderTheirRelativePath) {
  Workspace ws;
  writeFile(ws / "uexp打包/stale.uexp", "old run");
  writeFile(ws / "uexp解包/a/b/x.uexp", "..." + kMarker + "...");
  writeFile(ws / "uexp解包/y.uexp", "no marker");
  writeFile(ws / "uexp解包/u16.uexp", UTF8Utils::utf8ToUtf16LE(kMarker));
  writeFile(ws / "uexp解包/lower.uexp", "game/mod/escape/audio/wwisebank/");
  writeFile(ws / "uexp解包/z.UEXP", kMarker);
  writeFile(ws / "uexp解包/z.uexp.bak", kMarker);
  fs::create_directories(ws / "uexp解包/folder.uexp");
  writeFile(ws / "uexp解包/empty.uexp", "");
  const auto matches = ws.processor.findAndCopyTargetUexp().sources;
  ASSERT_EQ(1u, matches.size());
  EXPECT_EQ(ws / "uexp解包/a/b/x.uexp", matches[0]);
  EXPECT_EQ("..." + kMarker + "...", readFile(ws / "uexp打包/a/b/x.uexp"));
  EXPECT_FALSE(fs::exists(ws / "uexp打包/stale.uexp"));
  std::size_t files = 0;
  for (const auto& e : fs::recursive_directory_iterator(ws / "uexp打包"))
    files += e.is_regular_file();
  EXPECT_EQ(1u, files);
  EXPECT_TRUE(ws.take().ends_with("\n" + green("✓ 匹配到 1 个文件，已复制到打包目录")));
}

TEST(FindAndCopyTargetUexp, LinksAreCopiedWhereTheyStandAndNeverEscape) {
  Workspace ws;
  writeFile(ws.dir / "elsewhere/real.uexp", kMarker);
  fs::create_symlink(ws.dir / "elsewhere/real.uexp", ws / "uexp解包/link.uexp");
  fs::create_directory_symlink(ws.dir / "elsewhere", ws / "uexp解包/dirlink");
  const auto matches = ws.processor.findAndCopyTargetUexp().sources;
  ASSERT_EQ(1u, matches.size());
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(ws / "uexp打包/link.uexp")));
  EXPECT_EQ(kMarker, readFile(ws / "uexp打包/link.uexp"));
  EXPECT_FALSE(fs::exists(ws / "uexp打包/real.uexp"));
}

TEST(FindAndCopyTargetUexp, NoCandidatesPrintsOnlyTheRedLine) {
  Workspace ws;
  writeFile(ws / "uexp打包/stale.uexp", "old");
  // A run that finds the unpack folder there, empty (the first processor
  // made it, and keeps a set where it was missing).
  UEXPProcessor again(ws.root, ws.in, ws.out);
  EXPECT_TRUE(again.findAndCopyTargetUexp().sources.empty());
  EXPECT_EQ("\n" + bold("步骤: 扫描匹配目标UEXP并复制到打包目录") + red("✗ 解包目录无uexp文件"),
            ws.take());
  EXPECT_TRUE(fs::is_empty(ws / "uexp打包"));
}

// Storage that runs out is imitated with a file-size limit: writes past it
// fail with EFBIG, as they would on a full disk, while smaller files pass.
// Lowers one of the process's limits for a scope.
class ProcessLimit {
 public:
  using Resource = decltype(RLIMIT_FSIZE);
  ProcessLimit(Resource resource, rlim_t value) : resource_(resource) {
    getrlimit(resource_, &saved_);
    rlimit limit = saved_;
    limit.rlim_cur = value;
    setrlimit(resource_, &limit);
  }
  ~ProcessLimit() { setrlimit(resource_, &saved_); }
  ProcessLimit(const ProcessLimit&) = delete;
  ProcessLimit& operator=(const ProcessLimit&) = delete;

 private:
  Resource resource_;
  rlimit saved_{};
};

// Files cannot grow past `bytes`; writes past it fail instead of raising SIGXFSZ.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes)
      : previous_(std::signal(SIGXFSZ, SIG_IGN)), limit_(RLIMIT_FSIZE, bytes) {}
  ~FileSizeLimit() { std::signal(SIGXFSZ, previous_); }

 private:
  void (*previous_)(int);
  ProcessLimit limit_;
};

// A copy that the storage cannot take (here a file size limit) is named,
// and its set never replaces the last complete one: the stage ends the pass.
TEST(FindAndCopyTargetUexp, FailedCopiesAreReportedAndNotCounted) {
  Workspace ws;
  writeFile(ws / "uexp解包/good.uexp", kMarker);
  writeFile(ws / "uexp解包/big.uexp", kMarker + std::string(256 << 10, 'x'));
  ASSERT_EQ(2u, ws.processor.findAndCopyTargetUexp().sources.size());
  writeFile(ws / "uexp解包/good.uexp", kMarker + "changed");
  ws.take();
  {
    FileSizeLimit limit(64 << 10);
    EXPECT_THROW(ws.processor.findAndCopyTargetUexp(), FatalExit);
  }
  EXPECT_EQ(kMarker, readFile(ws / "uexp打包/good.uexp"));
  EXPECT_EQ(kMarker + std::string(256 << 10, 'x'), readFile(ws / "uexp打包/big.uexp"));
  EXPECT_EQ(2, std::distance(fs::directory_iterator(ws / "uexp打包"), fs::directory_iterator()));
  const std::string out = ws.take();
  EXPECT_TRUE(out.ends_with(
      "\n" + red("✗ 复制失败：big.uexp") +
      red("✗ 无法写入打包目录（文件超出大小限制），uexp打包 保留上次完整的内容")))
      << out;
}

TEST(FindAndCopyTargetUexp, UnreadableCandidateIsReportedAfterTheProgressLine) {
  TempDir dir;
  writeFile(dir / "ws/uexp解包/a.uexp", kMarker);
  writeFile(dir / "ws/uexp解包/locked.uexp", kMarker);
  fs::permissions(dir / "ws/uexp解包/locked.uexp", fs::perms::none);
  fs::permissions(dir / "ws", fs::perms::all);  // the other folders are made by the check
  EXPECT_TRUE(testsupport::whereModesApply([&] {
    std::istringstream in;
    std::ostringstream out;
    UEXPProcessor processor(dir / "ws", in, out);
    const auto matches = processor.findAndCopyTargetUexp().sources;
    return matches.size() == 1 &&
           out.str().ends_with("2/2\033[0m\n" + red("✗ 读取失败：locked.uexp") +
                               green("✓ 匹配到 1 个文件，已复制到打包目录"));
  }));
}

// On a tree the page cache does not hold, the scan opens the next files
// ahead of their turn and searches each through the file opened for it.
TEST(FindAndCopyTargetUexp, TreeNotInMemorySelectsTheSameFiles) {
  Workspace ws;
  struct statfs where = {};
  ASSERT_EQ(0, ::statfs(ws.root.c_str(), &where));
  if (where.f_type == TMPFS_MAGIC) GTEST_SKIP() << "tmpfs keeps every file in memory";
  std::map<std::string, std::string> targets;
  for (int i = 0; i < 12; ++i) {
    std::string bytes(std::size_t{100} << 10, static_cast<char>('a' + i));
    const std::string name = "f" + std::to_string(i) + ".uexp";
    if (i % 3 == 1) {
      bytes.replace(std::size_t{50} << 10, kMarker.size(), kMarker);
      targets[name] = bytes;
    }
    writeFile(ws.root / "uexp解包" / name, bytes);
    const int fd = ::open((ws.root / "uexp解包" / name).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ::fdatasync(fd));
    ASSERT_EQ(0, ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED));
    ::close(fd);
  }
  // With few descriptors to spare: files held open ahead must leave the
  // search and the copies theirs.
  const auto open = std::distance(fs::directory_iterator("/proc/self/fd"), {});
  std::vector<fs::path> sources;
  {
    ProcessLimit descriptors(RLIMIT_NOFILE, static_cast<rlim_t>(open) + 8);
    sources = ws.processor.findAndCopyTargetUexp().sources;
  }
  std::map<std::string, std::string> copied;
  for (const fs::path& source : sources) {
    const std::string name = source.filename().string();
    copied[name] = readFile(ws.root / "uexp打包" / name);
  }
  EXPECT_EQ(targets, copied);
}

TEST(ProcessUexpFiles, FailedWriteBackKeepsTheOldBytesAndIsNotCounted) {
  Workspace ws;
  const std::string big = "abc" + std::string(256 << 10, 'x');
  writeFile(ws / "uexp打包/big.uexp", big);
  writeFile(ws / "uexp打包/small.uexp", "abc");
  int count = 0;
  {
    FileSizeLimit limit(64 << 10);
    count = ws.processor.processUexpFiles({{"abc", "xyz"}}, {});
  }
  EXPECT_EQ(1, count);
  EXPECT_EQ(big, readFile(ws / "uexp打包/big.uexp"));
  EXPECT_EQ("xyz", readFile(ws / "uexp打包/small.uexp"));
  EXPECT_EQ(2, std::distance(fs::directory_iterator(ws / "uexp打包"), fs::directory_iterator()));
  const std::string out = ws.take();
  EXPECT_NE(std::string::npos, out.find(red("✗ 修改失败: big.uexp")));
  EXPECT_TRUE(out.ends_with(green("✓ 修改完成，共处理 1 个文件")));
}

TEST(ProcessUexpFiles, ListsRulesAndRewritesInUtf8OrUtf16) {
  Workspace ws;
  const std::string u16 = UTF8Utils::utf8ToUtf16LE("你好");
  writeFile(ws / "uexp打包/a.uexp", "abc|" + UTF8Utils::utf8ToUtf16LE("abc") + "|你好|" + u16);
  writeFile(ws / "uexp打包/sub/a.uexp", "X");
  writeFile(ws / "uexp打包/none.uexp", "nothing here");
  const fs::file_time_type before = fs::last_write_time(ws / "uexp打包/none.uexp");
  const RuleList rules = {{"abc", "xyz"}, {"你好", "ab"}, {"X", "Y"}, {"Y", "Z"}, {"ab", "abc"}};
  const int count = ws.processor.processUexpFiles(rules, {});
  EXPECT_EQ(2, count);
  EXPECT_EQ("xyz|" + UTF8Utils::utf8ToUtf16LE("abc") + "|你好|" + UTF8Utils::utf8ToUtf16LE("ab"),
            readFile(ws / "uexp打包/a.uexp"));
  EXPECT_EQ("Z", readFile(ws / "uexp打包/sub/a.uexp"));
  EXPECT_EQ(before, fs::last_write_time(ws / "uexp打包/none.uexp"));
  const std::string out = ws.take();
  const std::string listing = cyan("替换规则:") + "  1. 'abc' -> 'xyz'\n  2. '你好' -> 'ab'\n" +
                              "  3. 'X' -> 'Y'\n  4. 'Y' -> 'Z'\n  5. 'ab' -> 'abc'\n" +
                              yellow("     ⚠ 此规则无法等长替换，将跳过") + "\n";
  EXPECT_EQ(0u, out.find("\n" + bold("步骤: 批量修改打包目录UEXP文件") + listing)) << out;
  EXPECT_EQ(2u, [&] {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = out.find(green("✓ 已修改: a.uexp"), at)) != std::string::npos;
         ++at)
      ++n;
    return n;
  }());
  EXPECT_TRUE(out.ends_with("\n" + green("✓ 修改完成，共处理 2 个文件")));
}

// The pages the rules leave alone are written from the map: a file saved
// over while its new bytes are written must keep what was saved, not get a
// mixture of the two.
TEST(ProcessUexpFiles, FileSavedOverWhileItsNewBytesAreWrittenKeepsWhatWasSaved) {
  Workspace ws;
  const fs::path file = ws / "uexp打包/big.uexp";
  writeFile(file, "abc" + std::string(1 << 20, 'x'));
  stagingfault::savedBytes = std::string(3 + (1 << 20), 's');
  stagingfault::saveOver = file.string();
  EXPECT_EQ(0, ws.processor.processUexpFiles({{"abc", "xyz"}}, {}));
  EXPECT_EQ("", stagingfault::saveOver);  // the fault did happen
  EXPECT_EQ(stagingfault::savedBytes, readFile(file));
  EXPECT_NE(std::string::npos, ws.take().find(red("✗ 修改失败: big.uexp")));
  EXPECT_EQ(1, std::distance(fs::directory_iterator(ws / "uexp打包"), fs::directory_iterator()));
}

TEST(ProcessUexpFiles, EmptyRepackFolderSkipsEverything) {
  Workspace ws;
  EXPECT_EQ(0, ws.processor.processUexpFiles({{"a", "b"}}, {}));
  EXPECT_EQ("\n" + bold("步骤: 批量修改打包目录UEXP文件") + red("打包目录无uexp文件，跳过修改"),
            ws.take());
}

TEST(ProcessUexpFiles, IdenticalReplacementStillCountsAsRewritten) {
  Workspace ws;
  writeFile(ws / "uexp打包/a.uexp", "keep abc keep");
  EXPECT_EQ(1, ws.processor.processUexpFiles({{"abc", "abc"}}, {}));
  EXPECT_EQ("keep abc keep", readFile(ws / "uexp打包/a.uexp"));
}

TEST(ProcessUexpFiles, UnreadableFileIsReportedAndNotCounted) {
  TempDir dir;
  writeFile(dir / "ws/uexp打包/a.uexp", "abc");
  writeFile(dir / "ws/uexp打包/locked.uexp", "abc");
  fs::permissions(dir / "ws/uexp打包/locked.uexp", fs::perms::none);
  fs::permissions(dir / "ws", fs::perms::all, fs::perm_options::add);
  fs::permissions(dir / "ws/uexp打包", fs::perms::all, fs::perm_options::add);
  EXPECT_TRUE(testsupport::whereModesApply([&] {
    std::istringstream in;
    std::ostringstream out;
    UEXPProcessor processor(dir / "ws", in, out);
    return processor.processUexpFiles({{"abc", "xyz"}}, {}) == 1 &&
           out.str().find(red("✗ 修改失败: locked.uexp")) != std::string::npos &&
           readFile(dir / "ws/uexp打包/a.uexp") == "xyz";
  }));
}

// A file loaded through a map to be rewritten, with changes at its first
// byte, across a page boundary, at a page's start and in its last bytes.
std::string pagesSource() {
  const std::size_t page = pageSize();
  std::string bytes = "X" + kMarker + std::string((std::size_t{64} << 10) + 2 * page, 'q') + "ab";
  bytes.replace(page - 1, 2, "ab");
  bytes.replace(2 * page, 1, "X");
  return bytes;
}

// Given the rules, the copying stage writes the copies already rewritten and
// the rewrite stage only reports them. Against copying plainly and rewriting
// the copies afterwards, the files, their modes and every printed byte agree,
// and no rule is applied twice ("aab" under ab -> ba is "aba", not "baa").
TEST(RewriteWhileCopying, SameFilesAndOutputAsRewritingTheCopiesAfterwards) {
  const RuleList rules = {{"ab", "ba"}, {"你好", "ab"}, {"X", "Y"},
                          {"Y", "Z"},   {"ab", "abc"},  {"same", "same"}};
  const auto prepare = [](Workspace& ws) {
    writeFile(ws / "uexp解包/a/b/x.uexp", kMarker + "aab|" + UTF8Utils::utf8ToUtf16LE("你好"));
    writeFile(ws / "uexp解包/sub/x.uexp", "X" + kMarker);
    writeFile(ws / "uexp解包/nothing.uexp", kMarker + "nothing to change");
    writeFile(ws / "uexp解包/same.uexp", kMarker + "same");
    writeFile(ws / "uexp解包/other.uexp", "aab, but no marker");
    writeFile(ws / "uexp解包/private.uexp", kMarker + "aab");
    fs::permissions(ws / "uexp解包/private.uexp", fs::perms::owner_read | fs::perms::owner_write);
    writeFile(ws / "uexp解包/pages.uexp", pagesSource());
  };
  // Every file below a folder, with its mode and bytes.
  const auto contents = [](const fs::path& dir) {
    std::map<std::string, std::pair<fs::perms, std::string>> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
      if (!entry.is_regular_file()) continue;
      files[entry.path().lexically_relative(dir).string()] = {entry.status().permissions(),
                                                              readFile(entry.path())};
    }
    return files;
  };

  Workspace together;
  prepare(together);
  const CopiedTargets copied = together.processor.findAndCopyTargetUexp(rules);
  EXPECT_EQ(6u, copied.sources.size());
  EXPECT_EQ(kMarker + "aba",
            readFile(together / "uexp打包/private.uexp"));  // before the next stage
  EXPECT_EQ(5, together.processor.processUexpFiles(rules, copied));

  Workspace afterwards;
  prepare(afterwards);
  EXPECT_EQ(6u, afterwards.processor.findAndCopyTargetUexp().sources.size());
  EXPECT_EQ(kMarker + "aab", readFile(afterwards / "uexp打包/private.uexp"));
  EXPECT_EQ(pagesSource(), readFile(afterwards / "uexp打包/pages.uexp"));
  EXPECT_EQ(5, afterwards.processor.processUexpFiles(rules, {}));

  EXPECT_EQ(afterwards.take(), together.take());
  const auto copies = contents(together / "uexp打包");
  EXPECT_EQ(contents(afterwards / "uexp打包"), copies);
  EXPECT_EQ(kMarker + "aba|" + UTF8Utils::utf8ToUtf16LE("ab"), copies.at("a/b/x.uexp").second);
  EXPECT_EQ("Z" + kMarker, copies.at("sub/x.uexp").second);
  std::string pages = pagesSource();
  pages.replace(0, 1, "Z");
  pages.replace(pageSize() - 1, 2, "ba");
  pages.replace(2 * pageSize(), 1, "Z");
  pages.replace(pages.size() - 2, 2, "ba");
  EXPECT_EQ(pages, copies.at("pages.uexp").second);
  EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write, copies.at("private.uexp").first);
}

// What the rewrite stage finds beside the copies (here a file put there by
// someone else in between) is rewritten there; the copies are not touched
// again.
TEST(RewriteWhileCopying, OtherFilesInTheRepackFolderAreStillRewritten) {
  Workspace ws;
  const RuleList rules = {{"ab", "ba"}};
  writeFile(ws / "uexp解包/copy.uexp", kMarker + "aab");
  const CopiedTargets copied = ws.processor.findAndCopyTargetUexp(rules);
  ASSERT_EQ(1u, copied.sources.size());
  writeFile(ws / "uexp打包/late.uexp", "aab");
  EXPECT_EQ(2, ws.processor.processUexpFiles(rules, copied));
  EXPECT_EQ(kMarker + "aba", readFile(ws / "uexp打包/copy.uexp"));
  EXPECT_EQ("aba", readFile(ws / "uexp打包/late.uexp"));
  const std::string out = ws.take();
  EXPECT_NE(std::string::npos, out.find(green("✓ 已修改: copy.uexp")));
  EXPECT_NE(std::string::npos, out.find(green("✓ 已修改: late.uexp")));
}

// Copies are only reported as rewritten when they were made with the rules
// the rewrite stage is given; copies made with others get these applied.
TEST(RewriteWhileCopying, CopiesMadeWithOtherRulesAreRewritten) {
  Workspace ws;
  writeFile(ws / "uexp解包/copy.uexp", kMarker + "aab");
  const CopiedTargets copied = ws.processor.findAndCopyTargetUexp({{"ab", "ba"}});
  ASSERT_EQ(kMarker + "aba", readFile(ws / "uexp打包/copy.uexp"));
  EXPECT_EQ(1, ws.processor.processUexpFiles({{"ba", "xy"}}, copied));
  EXPECT_EQ(kMarker + "axy", readFile(ws / "uexp打包/copy.uexp"));
}

// A repeated run opens only the files that changed since the last, and the
// targets it copies, and selects and says exactly what a run without the
// index does. Each way a file can change behind the index: its bytes
// changed and its modification time set back, replaced by a rename, its
// permissions changed, written in the same moment as the index was, its
// times in the future, and the marker gone from it or come into it; then
// the whole tree swapped for a copy of itself.
TEST(SelectionIndex, RepeatedRunsOpenOnlyWhatChangedAndSelectTheSame) {
  TempDir dir;
  const fs::path root = dir / "ws";
  const fs::path unpack = root / "uexp解包";
  const RuleList rules = {{"abc", "xyz"}};
  // One run of the copy stage: its output, the files it opened to read, and
  // the copies it left. With `cached`, the index in dir/cache is used.
  struct Run {
    std::string out;
    std::set<std::string> opened;
    std::map<std::string, std::string> copies;
  };
  const auto run = [&](bool cached) {
    std::istringstream in;
    std::ostringstream out;
    UEXPProcessor processor(root, in, out, cached ? dir / "cache" : fs::path());
    openlog::read.clear();
    openlog::enabled = true;
    processor.findAndCopyTargetUexp(rules);
    openlog::enabled = false;
    Run result{out.str(), {}, {}};
    for (const std::string& path : openlog::read) {
      if (path.find("uexp解包") != std::string::npos) {
        result.opened.insert(fs::path(path).filename().string());
      }
    }
    for (const auto& entry : fs::recursive_directory_iterator(root / "uexp打包")) {
      if (entry.is_regular_file()) {
        result.copies[entry.path().filename().string()] = readFile(entry.path());
      }
    }
    return result;
  };
  // Rewrites `name` with `bytes` in place, its modification time set back.
  const auto rewriteBackdated = [&](const char* name, const std::string& bytes) {
    const fs::path file = unpack / name;
    const auto time = fs::last_write_time(file);
    writeFile(file, bytes);
    fs::last_write_time(file, time);
  };
  const std::string noMarker(kMarker.size() + 3, '.');
  for (const char* name : {"plain.uexp", "backdated.uexp", "renamed.uexp", "locked.uexp",
                           "future.uexp", "started.uexp"}) {
    writeFile(unpack / name, noMarker);
  }
  for (const char* name : {"keep.uexp", "stopped.uexp"}) writeFile(unpack / name, kMarker + "abc");
  fs::last_write_time(unpack / "future.uexp",
                      fs::file_time_type::clock::now() + std::chrono::hours(1));
  // Settled: every file's times lie two seconds before the index is written.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  writeFile(unpack / "late.uexp", noMarker);  // written in the moment of the index

  const Run first = run(true);
  EXPECT_EQ(9u, first.opened.size());
  EXPECT_EQ((std::set<std::string>{"keep.uexp", "stopped.uexp"}), [&] {
    std::set<std::string> names;
    for (const auto& [name, bytes] : first.copies) names.insert(name);
    return names;
  }());

  rewriteBackdated("backdated.uexp", kMarker + "abc");
  rewriteBackdated("stopped.uexp", "X" + kMarker.substr(1) + "abc");
  writeFile(unpack / "started.uexp", kMarker + "abc");
  writeFile(unpack / "renamed.new", kMarker + "abc");
  const auto renamedTime = fs::last_write_time(unpack / "renamed.uexp");
  fs::last_write_time(unpack / "renamed.new", renamedTime);
  fs::rename(unpack / "renamed.new", unpack / "renamed.uexp");
  fs::permissions(unpack / "locked.uexp", fs::perms::owner_read);

  const Run second = run(true);
  EXPECT_EQ((std::set<std::string>{"backdated.uexp", "renamed.uexp", "locked.uexp", "future.uexp",
                                   "late.uexp", "stopped.uexp", "started.uexp", "keep.uexp"}),
            second.opened);
  const Run without = run(false);
  EXPECT_EQ(without.out, second.out);
  EXPECT_EQ(without.copies, second.copies);
  EXPECT_EQ((std::map<std::string, std::string>{{"keep.uexp", kMarker + "xyz"},
                                                {"backdated.uexp", kMarker + "xyz"},
                                                {"renamed.uexp", kMarker + "xyz"},
                                                {"started.uexp", kMarker + "xyz"}}),
            second.copies);

  // Once every file has settled and been recorded, only the targets are
  // opened, to be copied, and the file whose time lies ahead, which never
  // settles before its time.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  run(true);
  EXPECT_EQ((std::set<std::string>{"keep.uexp", "backdated.uexp", "renamed.uexp", "started.uexp",
                                   "future.uexp"}),
            run(true).opened);

  // The tree swapped for a copy of itself, times and all: every file is
  // another file now.
  fs::rename(unpack, root / "old");
  fs::copy(root / "old", unpack, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  for (const auto& entry : fs::directory_iterator(root / "old")) {
    fs::last_write_time(unpack / entry.path().filename(), fs::last_write_time(entry.path()));
  }
  const Run swapped = run(true);
  EXPECT_EQ(9u, swapped.opened.size());
  EXPECT_EQ(without.out, swapped.out);
}

// A run that learns just what the index holds leaves the index file as it
// is; one whose tree lost a file writes it again without that file, though
// it finds as many files as the index holds (one of them by two paths, a
// hard link, whose entry they share).
TEST(SelectionIndex, WrittenAgainOnlyWhenWhatItHoldsChanged) {
  TempDir dir;
  const fs::path root = dir / "ws";
  writeFile(root / "uexp解包/target.uexp", kMarker);
  fs::create_hard_link(root / "uexp解包/target.uexp", root / "uexp解包/again.uexp");
  writeFile(root / "uexp解包/plain.uexp", "no marker");
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  const std::string unpack = fs::absolute(root / "uexp解包").lexically_normal().string();
  const fs::path indexFile = SelectionIndex::fileFor(dir / "cache", unpack);
  const auto run = [&] {
    std::istringstream in;
    std::ostringstream out;
    UEXPProcessor processor(root, in, out, dir / "cache");
    EXPECT_EQ(2u, processor.findAndCopyTargetUexp().sources.size());
    struct stat status = {};
    EXPECT_EQ(0, ::stat(indexFile.c_str(), &status));
    return status.st_ino;
  };
  const ino_t written = run();
  ASSERT_EQ(2u, SelectionIndex::read(indexFile, unpack, 100).size());
  EXPECT_EQ(written, run());
  EXPECT_EQ(written, run());

  struct stat plain = {};
  ASSERT_EQ(0, ::stat((root / "uexp解包/plain.uexp").c_str(), &plain));
  fs::remove(root / "uexp解包/plain.uexp");
  EXPECT_NE(written, run());
  const SelectionIndex index = SelectionIndex::read(indexFile, unpack, 100);
  EXPECT_EQ(1u, index.size());
  EXPECT_EQ(std::nullopt, index.find(FileKey::of(plain)));
}

// A file is kept in the index only if it had settled before its key was
// taken: one written just before a run that lasts longer than the settling
// time is still not kept, since a change in the same tick of the storage's
// clock after its key was taken would leave the key as it was.
TEST(SelectionIndex, FilesAreSettledAgainstTheMomentTheirKeysWereTaken) {
  TempDir dir;
  const fs::path root = dir / "ws";
  writeFile(root / "uexp解包/old.uexp", "no marker");
  writeFile(root / "uexp解包/slow.uexp", "no marker either");
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  writeFile(root / "uexp解包/fresh.uexp", "nor here");
  std::istringstream in;
  std::ostringstream out;
  UEXPProcessor processor(root, in, out, dir / "cache");
  openlog::slow = "slow.uexp";  // the run lasts longer than the settling time
  processor.findAndCopyTargetUexp();
  openlog::slow.clear();
  const std::string unpack = fs::absolute(root / "uexp解包").lexically_normal().string();
  const SelectionIndex index =
      SelectionIndex::read(SelectionIndex::fileFor(dir / "cache", unpack), unpack, 100);
  struct stat status = {};
  ASSERT_EQ(0, ::stat((root / "uexp解包/fresh.uexp").c_str(), &status));
  EXPECT_EQ(std::nullopt, index.find(FileKey::of(status)));
  ASSERT_EQ(0, ::stat((root / "uexp解包/old.uexp").c_str(), &status));
  EXPECT_EQ(false, index.find(FileKey::of(status)));
}

// The copy stage hands the repack folder's lock on with its copies: another
// run cannot put its own copies in their place while these are rewritten.
TEST(RewriteWhileCopying, TheRepackFolderStaysLockedUntilTheCopiesAreRewritten) {
  Workspace ws;
  writeFile(ws / "uexp解包/a.uexp", kMarker + "ab");
  const auto lockedElsewhere = [&] {
    const FileHandle other(::open(ws.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return other && ::flock(other.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  };
  {
    const CopiedTargets copied = ws.processor.findAndCopyTargetUexp({{"ab", "ba"}});
    ASSERT_EQ(1u, copied.sources.size());
    EXPECT_TRUE(lockedElsewhere());
    EXPECT_EQ(1, ws.processor.processUexpFiles({{"ab", "ba"}}, copied));
    EXPECT_TRUE(lockedElsewhere());
  }
  EXPECT_FALSE(lockedElsewhere());
}

// Memory that runs out while the rules are applied to a copy ends as that
// file's red line, with a plain copy in its place, never as a crash: here
// the candidates of a target dense with occurrences find no room.
TEST(RewriteWhileCopying, NoMemoryForTheRulesEndsAsTheFilesFailure) {
  Workspace ws;
  std::string dense = kMarker;
  while (dense.size() < (std::size_t{2} << 20)) dense += "ab";
  writeFile(ws / "uexp解包/dense.uexp", dense);
  writeFile(ws / "uexp解包/small.uexp", kMarker + "ab");
  const RuleList rules = {{"ab", "ba"}};
  CopiedTargets copied;
  allocations::refusingFrom(std::size_t{1} << 20,
                            [&] { copied = ws.processor.findAndCopyTargetUexp(rules); });
  EXPECT_EQ(2u, copied.sources.size());
  EXPECT_EQ(dense, readFile(ws / "uexp打包/dense.uexp"));
  EXPECT_EQ(kMarker + "ba", readFile(ws / "uexp打包/small.uexp"));
  EXPECT_EQ(1, ws.processor.processUexpFiles(rules, copied));
  const std::string out = ws.take();
  EXPECT_NE(std::string::npos, out.find(red("✗ 修改失败: dense.uexp"))) << out;
  EXPECT_NE(std::string::npos, out.find(green("✓ 已修改: small.uexp"))) << out;
}

// Memory that runs out before a copy is even tried (here for the rules
// engine, whatever the thread that builds it) leaves the set one that could
// not be completed: the last set stays, and the stage ends as for a full
// storage, never with a set that lacks the copies it could not make.
TEST(RewriteWhileCopying, NoMemoryForTheEngineKeepsTheLastSet) {
  Workspace ws;
  writeFile(ws / "uexp解包/a.uexp", kMarker + "ab");
  writeFile(ws / "uexp解包/b.uexp", kMarker + "ab");
  ASSERT_EQ(2u, ws.processor.findAndCopyTargetUexp().sources.size());
  RuleList rules;
  for (int i = 0; i < 200; ++i) rules.push_back({"ab" + std::to_string(i), "ba" + std::to_string(i)});
  ws.take();
  allocations::refusingFrom(std::size_t{64} << 10, [&] {
    EXPECT_THROW(ws.processor.findAndCopyTargetUexp(rules), FatalExit);
  });
  EXPECT_EQ(kMarker + "ab", readFile(ws / "uexp打包/a.uexp"));
  EXPECT_EQ(kMarker + "ab", readFile(ws / "uexp打包/b.uexp"));
  const std::string out = ws.take();
  EXPECT_TRUE(out.ends_with(red("✗ 无法写入打包目录（内存不足），uexp打包 保留上次完整的内容")))
      << out;
}

// A stage that throws a standard exception ends the pass with its message and
// status 1; anything else passes through to the entry point. The exceptions
// come from the input a menu reads.
class ThrowingInput : public std::streambuf {
 public:
  explicit ThrowingInput(bool standard) : standard_(standard) {}

 protected:
  int_type underflow() override {
    if (standard_) throw std::runtime_error("输入设备错误");
    throw 42;
  }

 private:
  bool standard_;
};

TEST(RunFullProcess, ExceptionsBecomeMessagesAndStatuses) {
  for (const bool standard : {true, false}) {
    TempDir dir;
    writeFile(dir / "ws/pak/a.pak", "p");
    ThrowingInput buf(standard);
    std::istream in(&buf);
    in.exceptions(std::ios::badbit);
    std::ostringstream out;
    UEXPProcessor processor(dir / "ws", in, out);
    if (standard) {
      EXPECT_EQ(1, processor.runFullProcess());
      EXPECT_TRUE(
          out.str().ends_with("\033[96m请输入文件编号: \033[0m" + red("程序异常: 输入设备错误")))
          << out.str();
    } else {
      EXPECT_THROW(processor.runFullProcess(), int);
    }
  }
}

TEST(RunFullProcess, FatalStageEndsWithStatusOne) {
  Workspace ws;
  EXPECT_EQ(1, ws.processor.runFullProcess());
  EXPECT_TRUE(ws.take().ends_with(red("错误: PAK目录中没有找到pak文件")));
}

}  // namespace
