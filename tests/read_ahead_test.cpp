// ReadAhead: on a tree that is not in memory, files opened ahead wait open
// for their turn, and several threads may take them out of order.
#include "util/read_ahead.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_support.h"

namespace {

using testsupport::TempDir;
using testsupport::writeFile;

std::string contentOf(std::size_t i) { return "file " + std::to_string(i) + std::string(i, 'x'); }

// What `file` holds from its start, as far as the content of its index goes.
std::string readAll(const FileHandle& file, std::size_t size) {
  std::string bytes(size + 1, '\0');
  if (!file) return "(not open)";
  const ssize_t got = ::pread(file.get(), bytes.data(), bytes.size(), 0);
  bytes.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
  return bytes;
}

// Once the tree shows it is not in memory, the files after the one opened
// wait open; a thread that takes its file out of turn, before or after
// others within the lag, gets the file opened ahead for it (here it was
// removed from its folder since, so only that one reads), on one thread in
// a fixed order; and on several threads at once, its own file.
TEST(ReadAhead, FilesTakenOutOfTurnAreEachTheirOwn) {
  TempDir dir;
  constexpr std::size_t kFiles = 120;
  std::vector<std::string> files;
  std::vector<bool> skipped(kFiles);
  for (std::size_t i = 0; i < kFiles; ++i) {
    files.push_back((dir / ("f" + std::to_string(i))).string());
    writeFile(files.back(), contentOf(i));
    skipped[i] = i % 7 == 3;
  }
  const auto check = [&](ReadAhead& ahead, std::size_t i) {
    EXPECT_EQ(readAll(ahead.open(i), contentOf(i).size()), contentOf(i)) << i;
  };

  {
    ReadAhead ahead(files, dir.path(), skipped, 4);
    check(ahead, 0);
    ahead.searched(false);
    check(ahead, 1);  // asks for the files after it
    for (std::size_t i = 2; i < 40; ++i) ::unlink(files[i].c_str());
    // Pairs swapped: each odd file opened before the even one before it.
    for (std::size_t i = 2; i + 1 < 40; i += 2) {
      if (!skipped[i + 1]) check(ahead, i + 1);
      if (!skipped[i]) check(ahead, i);
    }
  }
  for (std::size_t i = 2; i < 40; ++i) writeFile(files[i], contentOf(i));

  ReadAhead ahead(files, dir.path(), skipped, 16);
  ahead.searched(false);
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (std::size_t i; (i = next.fetch_add(1)) < kFiles;) {
        if (skipped[i]) continue;
        check(ahead, i);
        ahead.searched(false);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}

// A file that cannot be opened says why in errno, though the files asked
// for after it fail for reasons of their own.
TEST(ReadAhead, AFileThatCannotBeOpenedSaysWhy) {
  TempDir dir;
  const std::vector<std::string> files = {(dir / "here").string(), (dir / "missing").string(),
                                          (dir / std::string(300, 'n')).string()};
  writeFile(files[0], "here");
  ReadAhead ahead(files, dir.path());
  EXPECT_TRUE(ahead.open(0));
  ahead.searched(false);
  EXPECT_FALSE(ahead.open(1));
  EXPECT_EQ(ENOENT, errno);
}

}  // namespace
