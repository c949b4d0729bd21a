// FileContent: a file rewritten by the rules window by window, mapped or
// read, against the rule engine applied to the whole content at once.
#include "util/file_content.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "util/multi_replacer.h"
#include "util/page_size.h"

// The test executable's own mmap (file_utils_test.cpp) refuses maps of files
// while this is set, as storage that cannot map them does.
namespace mapfaults {
extern bool refuse;
}  // namespace mapfaults

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;
using Rules = std::vector<std::pair<std::string, std::string>>;

std::vector<BytePair> viewsOf(const Rules& rules) {
  std::vector<BytePair> pairs;
  for (const auto& [search, replacement] : rules) pairs.push_back({search, replacement});
  return pairs;
}

struct Rewritten {
  RewriteResult result;
  std::string bytes;
  std::size_t writes = 0;
};

// Rewrites `file`, mapped or read, through windows of `window` bytes.
Rewritten rewrite(const fs::path& file, MultiReplacer& engine, std::size_t window, bool mapped,
                  FileContent::Output output = FileContent::Output::kEveryByte) {
  mapfaults::refuse = !mapped;
  FileContent content(window);
  const bool loaded = content.load(file);
  mapfaults::refuse = false;
  EXPECT_TRUE(loaded) << file;
  Rewritten out;
  out.result = content.rewrite(engine, output, [&](std::span<const char> bytes) {
    out.bytes.append(bytes.data(), bytes.size());
    ++out.writes;
    return true;
  });
  return out;
}

// What the engine makes of the whole content at once.
std::string appliedWhole(MultiReplacer& engine, std::string bytes) {
  engine.apply(std::span(bytes.data(), bytes.size()));
  return bytes;
}

// Files of one window and of several, with occurrences across window
// boundaries, chained rules, a text longer than a window, and hits so dense
// that the mapped rewrite moves to its buffer part way: mapped or read,
// every window size gives what the engine gives on the whole content.
TEST(FileContent, RewritesAFileWindowByWindowAsTheWholeContentAtOnce) {
  TempDir dir;
  const std::size_t page = pageSize();
  std::mt19937 rng(5);
  std::string longText(3 * page, 'L');
  longText.front() = 'S';
  std::string longReplacement = longText;
  longReplacement.back() = 'E';
  const Rules rules = {{"abc", "xyz"}, {"X", "Y"}, {"Y", "Z"}, {longText, longReplacement}};
  std::vector<std::pair<std::string, std::string>> files;  // name, bytes
  files.emplace_back("empty", "");
  files.emplace_back("one", "X");
  std::string sparse(5 * page + 123, '.');
  for (std::size_t at = page - 2; at + 3 < sparse.size(); at += page) sparse.replace(at, 3, "abc");
  sparse.replace(2 * page + 7, longText.size(), longText);
  files.emplace_back("sparse", sparse);
  std::string dense;
  while (dense.size() < 9 * page) dense += rng() % 2 ? "abcX" : "Y..a";
  files.emplace_back("dense", dense);
  for (const auto& [name, bytes] : files) {
    writeFile(dir / name, bytes);
    for (const bool mapped : {true, false}) {
      for (const std::size_t window : {page, 2 * page + 5, 4 * page, FileContent::kWindow}) {
        SCOPED_TRACE(name + (mapped ? " mapped" : " read") + ", window " + std::to_string(window));
        MultiReplacer engine(viewsOf(rules));
        const std::string expected = appliedWhole(engine, bytes);
        const Rewritten got = rewrite(dir / name, engine, window, mapped);
        EXPECT_EQ(expected == bytes ? RewriteResult::kUnchanged : RewriteResult::kChanged,
                  got.result);
        EXPECT_EQ(expected, got.bytes);
        EXPECT_EQ(bytes, readFile(dir / name));  // the file itself is never written
      }
    }
  }
}

// Without a change nothing is written; a change in the last window brings
// the bytes before it, read again from the file, first.
TEST(FileContent, WritesOnlyWhenSomethingChangesIfAskedTo) {
  TempDir dir;
  const std::size_t page = pageSize();
  std::string bytes(6 * page, 'q');
  for (std::size_t at = 0; at < bytes.size(); at += 97) bytes[at] = static_cast<char>(at % 251);
  writeFile(dir / "same", bytes);
  std::string late = bytes;
  late.replace(late.size() - 4, 3, "abc");
  writeFile(dir / "late", late);
  const Rules rules = {{"abc", "xyz"}};
  for (const bool mapped : {true, false}) {
    SCOPED_TRACE(mapped ? "mapped" : "read");
    MultiReplacer engine(viewsOf(rules));
    const Rewritten same =
        rewrite(dir / "same", engine, page, mapped, FileContent::Output::kOnlyIfChanged);
    EXPECT_EQ(RewriteResult::kUnchanged, same.result);
    EXPECT_EQ(0u, same.writes);
    const Rewritten changed =
        rewrite(dir / "late", engine, page, mapped, FileContent::Output::kOnlyIfChanged);
    EXPECT_EQ(RewriteResult::kChanged, changed.result);
    EXPECT_EQ(appliedWhole(engine, late), changed.bytes);
  }
}

// A file cut short, grown or written to while it is rewritten, and a write
// that fails, make the rewrite incomplete; a page lost under the map reads as
// zeros instead of ending the process.
TEST(FileContent, FileChangedWhileItIsRewrittenIsIncomplete) {
  TempDir dir;
  const fs::path file = dir / "f";
  const std::size_t page = pageSize();
  const std::string bytes(8 * page, 'a');
  const Rules rules = {{"aa", "bb"}};
  const auto rewriteWhile = [&](bool mapped, const std::function<bool()>& onFirstWrite) {
    writeFile(file, bytes);
    mapfaults::refuse = !mapped;
    FileContent content(2 * page);
    EXPECT_TRUE(content.load(file));
    mapfaults::refuse = false;
    MultiReplacer engine(viewsOf(rules));
    bool first = true;
    return content.rewrite(engine, FileContent::Output::kEveryByte, [&](std::span<const char>) {
      return !std::exchange(first, false) || onFirstWrite();
    });
  };
  for (const bool mapped : {true, false}) {
    SCOPED_TRACE(mapped ? "mapped" : "read");
    EXPECT_EQ(RewriteResult::kIncomplete, rewriteWhile(mapped, [&] {
                fs::resize_file(file, 3 * page);
                return true;
              }));
    EXPECT_EQ(RewriteResult::kIncomplete, rewriteWhile(mapped, [&] {
                // Cut short, then grown back with the old modification time:
                // its status-change time still tells.
                const auto time = fs::last_write_time(file);
                fs::resize_file(file, 3 * page);
                fs::resize_file(file, bytes.size());
                fs::last_write_time(file, time);
                return true;
              }));
    EXPECT_EQ(RewriteResult::kIncomplete, rewriteWhile(mapped, [&] {
                fs::resize_file(file, bytes.size() + 1);
                return true;
              }));
    EXPECT_EQ(RewriteResult::kIncomplete, rewriteWhile(mapped, [&] {
                fs::last_write_time(file, fs::last_write_time(file) + std::chrono::seconds(1));
                return true;
              }));
    EXPECT_EQ(RewriteResult::kIncomplete, rewriteWhile(mapped, [] { return false; }));
    EXPECT_EQ(RewriteResult::kChanged, rewriteWhile(mapped, [] { return true; }));
  }
}

TEST(FileContent, RewritesAnOpenFileFromItsStart) {
  // The search may have read the file through this handle before. A file
  // under /proc reports no size, so it is read, not mapped, to its end.
  FileHandle status = FileHandle::openForReading("/proc/self/status");
  char searched[64];
  ASSERT_EQ(static_cast<ssize_t>(sizeof searched), ::read(status.get(), searched, sizeof searched));
  FileContent content;
  ASSERT_TRUE(content.load(status));
  MultiReplacer engine({});
  std::string out;
  EXPECT_EQ(RewriteResult::kUnchanged,
            content.rewrite(engine, FileContent::Output::kEveryByte, [&](std::span<const char> b) {
              out.append(b.data(), b.size());
              return true;
            }));
  EXPECT_EQ(0u, out.rfind("Name:", 0)) << out.substr(0, 100);
  EXPECT_NE(std::string::npos, out.find("\nPid:"));
  EXPECT_FALSE(content.load(FileHandle()));
}

}  // namespace
