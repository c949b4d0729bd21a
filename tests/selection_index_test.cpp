// SelectionIndex: what the search found, kept between runs; every fault in
// its file reads as an empty index.
#include "util/selection_index.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <random>

#include "tests/allocation_count.h"
#include "tests/test_support.h"
#include "util/cache_file.h"

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;
using Entry = SelectionIndex::Entry;

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr std::int64_t kNow = 1'800'000'000 * kSecond;
const std::string kFolder = "/storage/emulated/0/ws/uexp解包";

FileKey key(std::uint64_t inode, std::int64_t age = 10 * kSecond) {
  return {7, inode, 1000 + inode, kNow - age, kNow - age + 1};
}

// Entries settled two seconds before the index is recorded are kept, and a
// kept entry matches only its exact key; a file changed in the same tick as
// the index, or whose times lie in the future, is not kept.
TEST(SelectionIndex, KeepsSettledFilesAndMatchesExactKeysOnly) {
  const std::vector<Entry> entries = {
      {key(3), true},
      {key(1), false},
      {key(2, kSecond), true},        // written a second before the index
      {key(4, -5 * kSecond), false},  // times in the future
      {{7, 5, 1005, kNow - 10 * kSecond, kNow - kSecond}, false},  // its status changed just now
      {key(6, 2 * kSecond + 2), true},                             // just settled
  };
  const SelectionIndex index =
      SelectionIndex::parse(SelectionIndex::serialize(kFolder, entries, kNow), kFolder, 100);
  EXPECT_EQ(3u, index.size());
  EXPECT_EQ(true, index.find(key(3)));
  EXPECT_EQ(false, index.find(key(1)));
  EXPECT_EQ(true, index.find(key(6, 2 * kSecond + 2)));
  for (const FileKey& absent : {key(2, kSecond), key(4, -5 * kSecond), key(9)}) {
    EXPECT_EQ(std::nullopt, index.find(absent)) << absent.inode;
  }
  // Any field that differs makes another file.
  for (int field = 0; field < 5; ++field) {
    FileKey other = key(3);
    std::uint64_t* const parts[] = {&other.device, &other.inode, &other.size};
    if (field < 3) ++*parts[field];
    if (field == 3) ++other.modifiedNs;
    if (field == 4) ++other.changedNs;
    EXPECT_EQ(std::nullopt, index.find(other)) << "field " << field;
  }
}

// A file dated beyond what nanoseconds in 64 bits hold stays in the future
// (or the past) instead of wrapping round to a settled date.
TEST(SelectionIndex, FarDatesStayOnTheirSideOfNow) {
  struct stat status = {};
  status.st_ino = 8;
  // In the year 2611; wrapped round, ten seconds before kNow.
  status.st_mtim.tv_sec = static_cast<time_t>(20'246'744'063);
  status.st_ctim.tv_sec = status.st_mtim.tv_sec;
  const FileKey future = FileKey::of(status);
  EXPECT_GT(future.modifiedNs, kNow);
  EXPECT_GT(future.changedNs, kNow);
  EXPECT_TRUE(SelectionIndex::parse(SelectionIndex::serialize(kFolder, {{future, true}}, kNow),
                                    kFolder, 100)
                  .empty());
  status.st_mtim.tv_sec = static_cast<time_t>(-16'646'744'073);  // wrapped round, near kNow
  EXPECT_LT(FileKey::of(status).modifiedNs, 0);
}

// Whatever is wrong with the file, it reads as empty: cut short at any
// length, any byte changed, another folder's, another version's, more
// entries than the caller allows, or no file at all.
TEST(SelectionIndex, AnyFaultInTheFileReadsAsEmpty) {
  std::vector<Entry> entries;
  for (std::uint64_t inode = 1; inode <= 20; ++inode)
    entries.push_back({key(inode), inode % 3 == 0});
  const std::string bytes = SelectionIndex::serialize(kFolder, entries, kNow);
  ASSERT_EQ(20u, SelectionIndex::parse(bytes, kFolder, 20).size());
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    EXPECT_TRUE(
        SelectionIndex::parse(std::string_view(bytes).substr(0, length), kFolder, 100).empty())
        << "cut at " << length;
  }
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    for (const int flip : {0x01, 0x80}) {
      std::string damaged = bytes;
      damaged[at] = static_cast<char>(damaged[at] ^ flip);
      EXPECT_TRUE(SelectionIndex::parse(damaged, kFolder, 100).empty()) << "byte " << at;
    }
  }
  EXPECT_TRUE(SelectionIndex::parse(bytes, kFolder + "x", 100).empty());
  EXPECT_TRUE(SelectionIndex::parse(bytes, "/elsewhere", 100).empty());
  EXPECT_TRUE(SelectionIndex::parse(bytes, kFolder, 19).empty());
  EXPECT_TRUE(SelectionIndex::parse(bytes + "x", kFolder, 100).empty());

  TempDir dir;
  EXPECT_TRUE(SelectionIndex::read(dir / "missing.index", kFolder, 100).empty());
  writeFile(dir / "ok.index", bytes);
  EXPECT_EQ(20u, SelectionIndex::read(dir / "ok.index", kFolder, 100).size());
  fs::create_directories(dir / "folder.index");
  EXPECT_TRUE(SelectionIndex::read(dir / "folder.index", kFolder, 100).empty());
  // A pipe at the path (nobody writing) must not hold the run at its open:
  // the read happens in a child that an alarm kills if it waits.
  const fs::path pipe = dir / "pipe.index";
  ASSERT_EQ(0, ::mkfifo(pipe.c_str(), 0600));
  EXPECT_EXIT(
      {
        ::alarm(5);
        std::_Exit(SelectionIndex::read(pipe, kFolder, 100).empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  // A huge file is not even read: what reading it costs does not grow with it.
  const fs::path huge = dir / "huge.index";
  writeFile(huge, bytes);
  fs::resize_file(huge, std::uintmax_t{1} << 32);
  std::size_t held = 0;
  const std::size_t peak =
      allocations::peakDuring([&] { held = SelectionIndex::read(huge, kFolder, 1000).size(); });
  EXPECT_EQ(0u, held);
  EXPECT_LT(peak, std::size_t{64} << 10);
}

// Random bytes, and valid indexes with random damage, never crash the reader
// and never give an entry the index was not written with.
TEST(SelectionIndex, RandomBytesNeverGiveAnEntry) {
  std::mt19937 rng(4);
  std::vector<Entry> entries;
  for (std::uint64_t inode = 1; inode <= 8; ++inode) entries.push_back({key(inode), true});
  const std::string valid = SelectionIndex::serialize(kFolder, entries, kNow);
  for (int round = 0; round < 3000; ++round) {
    std::string bytes = round % 2 == 0 ? valid : std::string(rng() % 600, '\0');
    for (int n = 0; n < 1 + round % 5; ++n) {
      if (bytes.empty()) break;
      bytes[rng() % bytes.size()] = static_cast<char>(rng());
    }
    if (round % 2 != 0) {
      for (char& c : bytes) c = static_cast<char>(rng());
      if (round % 3 == 0 && bytes.size() >= 8) bytes.replace(0, 8, "UEXPMODI");
    }
    const SelectionIndex index = SelectionIndex::parse(bytes, kFolder, 100);
    for (std::uint64_t inode = 1; inode <= 8; ++inode) {
      const std::optional<bool> found = index.find(key(inode));
      EXPECT_TRUE(!found || *found) << "round " << round;
    }
  }
}

// The index goes through a temporary file made exclusively: while another
// writer's is there, the index is left to it; one left by a writer that was
// killed is replaced. The folder is made as needed.
TEST(SelectionIndex, WrittenWholeByOneWriterAtATime) {
  TempDir dir;
  const fs::path file = SelectionIndex::fileFor(dir / "cache/uexpmod", kFolder);
  EXPECT_EQ(file, SelectionIndex::fileFor(dir / "cache/uexpmod", kFolder));
  EXPECT_NE(file, SelectionIndex::fileFor(dir / "cache/uexpmod", kFolder + "2"));
  // The real clock's time: a temporary file made now is within ten minutes
  // of it, another writer's at work; long before it, a killed one's.
  struct timespec real = {};
  ::clock_gettime(CLOCK_REALTIME, &real);
  const std::int64_t now = real.tv_sec * kSecond + real.tv_nsec;
  const FileKey one = {7, 1, 10, now - 60 * kSecond, now - 60 * kSecond};
  const FileKey two = {7, 2, 10, now - 60 * kSecond, now - 60 * kSecond};
  const std::vector<Entry> entries = {{one, true}};
  ASSERT_TRUE(SelectionIndex::write(file, kFolder, entries, now));
  EXPECT_EQ(SelectionIndex::serialize(kFolder, entries, now), readFile(file));

  const fs::path temporary = file.parent_path() / ("." + file.filename().string() + ".tmp");
  const std::vector<Entry> more = {{one, true}, {two, false}};
  {
    cachefile::NewFile other(file, now);
    ASSERT_TRUE(other.write("another writer's"));
    EXPECT_FALSE(SelectionIndex::write(file, kFolder, more, now));
    EXPECT_EQ("another writer's", readFile(temporary));
    EXPECT_EQ(1u, SelectionIndex::read(file, kFolder, 10).size());
  }
  writeFile(temporary, "a killed writer's");  // left a minute before the write
  EXPECT_TRUE(SelectionIndex::write(file, kFolder, more, now + 60 * kSecond));
  EXPECT_FALSE(fs::exists(temporary));
  EXPECT_EQ(2u, SelectionIndex::read(file, kFolder, 10).size());

  writeFile(dir / "plain", "x");
  EXPECT_FALSE(SelectionIndex::write(dir / "plain/sub/x.index", kFolder, entries, now));
}

}  // namespace
