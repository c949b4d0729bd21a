// OccurrenceCache: where the rules' texts occur in each target, kept between
// runs; every fault in its file reads as a target it does not know, never as
// other occurrences.
#include "util/occurrence_cache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;
using Occurrences = std::vector<MultiReplacer::Occurrence>;
const std::string kFolder = "/storage/emulated/0/ws/uexp解包";

FileKey key(std::int64_t n) {
  const auto inode = static_cast<std::uint64_t>(n);
  return {7, inode, 100 + inode, 1000 + n, 2000 + n};
}

void write(const fs::path& file, const std::vector<std::string_view>& texts,
           const std::vector<std::pair<FileKey, Occurrences>>& targets) {
  OccurrenceCache::Writer writer(file, kFolder, texts, 0);
  for (const auto& [k, occurrences] : targets) ASSERT_TRUE(writer.add(k, occurrences));
  ASSERT_TRUE(writer.commit());
}

// The occurrences come back numbered as the list asking for them numbers its
// texts, without those of texts it lacks; the texts the cache lacks are
// named; a list much shorter than the cache's is not served. A file reached by
// two paths is written once; a writer that does not commit leaves the file.
TEST(OccurrenceCache, GivesEachKnownTargetsOccurrencesInTheListsNumbering) {
  const TempDir dir;
  const fs::path file = dir.path() / "c";
  const std::vector<std::string_view> texts = {"ab", "cd", "ef"};
  write(file, texts,
        {{key(3), {}}, {key(1), {{0, 0}, {5, 2}, {5, 1}, {9, 0}}}, {key(3), {{4, 4}}}});
  const std::string written = readFile(file);
  OccurrenceCache::Writer(file, kFolder, {"zz"}, 0).add(key(1), Occurrences{{1, 0}});
  EXPECT_EQ(written, readFile(file));
  EXPECT_EQ(1u, std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));

  OccurrenceCache cache = OccurrenceCache::open(file, kFolder);
  Occurrences found = {{1, 1}};
  EXPECT_FALSE(cache.find(key(1), found));  // not before covers()
  ASSERT_TRUE(cache.covers({"cd", "ab"}));
  ASSERT_TRUE(cache.find(key(1), found));
  EXPECT_EQ((Occurrences{{0, 1}, {5, 0}, {9, 1}}), found);
  ASSERT_TRUE(cache.find(key(3), found));
  EXPECT_EQ(Occurrences{}, found);
  FileKey changed = key(1);
  changed.changedNs += 1;
  EXPECT_FALSE(cache.find(changed, found));
  EXPECT_FALSE(cache.find(key(2), found));
  EXPECT_FALSE(OccurrenceCache::open(file, kFolder + "2").cover(texts));
  // A text added since: the others' occurrences serve.
  EXPECT_EQ(std::vector<std::uint32_t>{1}, cache.cover({"ab", "zz"}));
  ASSERT_TRUE(cache.find(key(1), found));
  EXPECT_EQ((Occurrences{{0, 0}, {9, 0}}), found);

  // A new cache for the list with the text added: what this one kept and
  // what was found of the new text, merged in order of start.
  const fs::path next = dir.path() / "next";
  OccurrenceCache::Writer writer(next, kFolder, {"ab", "zz"}, 0);
  OccurrenceCache::Pieces kept;
  ASSERT_TRUE(cache.find(key(1), kept));
  ASSERT_TRUE(writer.add(key(1), kept, Occurrences{{3, 1}, {9, 1}, {12, 1}}));
  ASSERT_TRUE(writer.commit());
  OccurrenceCache merged = OccurrenceCache::open(next, kFolder);
  ASSERT_TRUE(merged.covers({"zz", "ab"}));
  ASSERT_TRUE(merged.find(key(1), found));
  EXPECT_EQ((Occurrences{{0, 1}, {3, 0}, {9, 1}, {9, 0}, {12, 0}}), found);

  std::vector<std::string> many;
  for (int k = 0; k < 100; ++k) many.push_back("t" + std::to_string(k));
  const std::vector<std::string_view> manyTexts(many.begin(), many.end());
  write(file, manyTexts, {});
  OccurrenceCache wide = OccurrenceCache::open(file, kFolder);
  EXPECT_TRUE(wide.covers({manyTexts.begin(), manyTexts.begin() + 18}));
  EXPECT_FALSE(wide.covers({manyTexts.begin(), manyTexts.begin() + 17}));
}

// A target with more occurrences than one may hold, alone or merged with
// those kept, is left out; the others stay, and the file stays readable.
TEST(OccurrenceCache, ATargetPastItsBoundIsLeftOut) {
  const TempDir dir;
  const fs::path file = dir.path() / "c";
  Occurrences full(OccurrenceCache::kMostPerTarget);
  for (std::size_t k = 0; k < full.size(); ++k) full[k] = {static_cast<std::uint32_t>(k), 0};
  Occurrences beyond = full;
  beyond.push_back({static_cast<std::uint32_t>(full.size()), 0});
  write(file, {"ab"}, {{key(1), full}, {key(2), beyond}, {key(3), {{5, 0}}}});
  OccurrenceCache cache = OccurrenceCache::open(file, kFolder);
  ASSERT_TRUE(cache.covers({"ab"}));
  Occurrences found;
  EXPECT_TRUE(cache.find(key(1), found));
  EXPECT_FALSE(cache.find(key(2), found));
  EXPECT_TRUE(cache.find(key(3), found));

  const fs::path next = dir.path() / "next";
  OccurrenceCache::Writer writer(next, kFolder, {"ab", "cd"}, 0);
  OccurrenceCache::Pieces kept;
  ASSERT_TRUE(cache.find(key(1), kept));
  ASSERT_TRUE(writer.add(key(1), kept, Occurrences{{1, 1}}));
  ASSERT_TRUE(cache.find(key(3), kept));
  ASSERT_TRUE(writer.add(key(3), kept, Occurrences{{1, 1}}));
  ASSERT_TRUE(writer.commit());
  OccurrenceCache merged = OccurrenceCache::open(next, kFolder);
  ASSERT_TRUE(merged.covers({"ab", "cd"}));
  EXPECT_FALSE(merged.find(key(1), found));
  ASSERT_TRUE(merged.find(key(3), found));
  EXPECT_EQ((Occurrences{{1, 1}, {5, 0}}), found);
}

// Cut short at any length, or a byte changed anywhere: each target reads as
// it was written or as unknown, whatever part was hit. Occurrences written
// out of order or of a text the cache lacks read as unknown.
TEST(OccurrenceCache, AFaultyPartReadsAsUnknownNeverAsOtherOccurrences) {
  const TempDir dir;
  const fs::path file = dir.path() / "c";
  const std::vector<std::string_view> texts = {"ab", "cd"};
  const std::vector<std::pair<FileKey, Occurrences>> targets = {
      {key(1), {{3, 1}, {8, 0}}}, {key(2), {}}, {key(5), {{1, 0}, {1, 1}, {70000, 1}}}};
  write(file, texts, targets);
  const std::string whole = readFile(file);
  const auto check = [&](const std::string& bytes, const std::string& what) {
    writeFile(file, bytes);
    OccurrenceCache cache = OccurrenceCache::open(file, kFolder);
    if (!cache.covers(texts)) return 0;
    int known = 0;
    for (const auto& [k, occurrences] : targets) {
      Occurrences found;
      if (!cache.find(k, found)) continue;
      EXPECT_EQ(occurrences, found) << what;
      ++known;
    }
    return known;
  };
  ASSERT_EQ(3, check(whole, "whole"));
  int someKnown = 0;
  for (std::size_t size = 0; size < whole.size(); ++size) {
    EXPECT_EQ(0, check(whole.substr(0, size), "cut to " + std::to_string(size)));
  }
  for (std::size_t at = 0; at < whole.size(); ++at) {
    std::string damaged = whole;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
    someKnown += check(damaged, "byte " + std::to_string(at));
  }
  EXPECT_GT(someKnown, 0);  // a damaged target leaves the others known

  // Written in place after find() checked it (the tool never does): the
  // pieces read again fail, instead of reading past the texts or giving
  // starts out of order.
  for (const std::uint32_t text : {0xFFFFFFF0u, 1u}) {
    write(file, texts, targets);
    OccurrenceCache cache = OccurrenceCache::open(file, kFolder);
    ASSERT_TRUE(cache.covers(texts));
    OccurrenceCache::Pieces pieces;
    ASSERT_TRUE(cache.find(key(5), pieces));
    std::string bytes = readFile(file);
    const std::size_t at = bytes.find(std::string("\x70\x11\x01\x00\x01\x00\x00\x00", 8));
    ASSERT_NE(std::string::npos, at);  // {70000, 1}
    if (text == 1u) {
      bytes[at] = 0;  // a start before the one before it
      bytes[at + 1] = 0;
      bytes[at + 2] = 0;
    } else {
      std::memcpy(bytes.data() + at + 4, &text, 4);
    }
    std::FILE* in = std::fopen(file.c_str(), "r+b");
    ASSERT_NE(nullptr, in);
    ASSERT_EQ(bytes.size(), std::fwrite(bytes.data(), 1, bytes.size(), in));
    std::fclose(in);
    EXPECT_ANY_THROW(pieces.next());
    EXPECT_TRUE(pieces.failed());
  }

  for (const Occurrences& wrong : {Occurrences{{8, 0}, {3, 1}}, Occurrences{{3, 0}, {8, 2}}}) {
    write(file, texts, {{key(1), wrong}});
    OccurrenceCache cache = OccurrenceCache::open(file, kFolder);
    ASSERT_TRUE(cache.covers(texts));
    Occurrences found = {{1, 1}};
    EXPECT_FALSE(cache.find(key(1), found));
    EXPECT_EQ(Occurrences{}, found);
  }
}

}  // namespace

namespace {

// A writer whose temporary file another took for a killed writer's (after
// ten quiet minutes) and replaced puts nothing in place, and leaves the
// other's file alone.
TEST(CacheFile, AWriterWhoseTemporaryFileWasTakenLeavesItAlone) {
  const TempDir dir;
  const fs::path file = dir.path() / "c";
  writeFile(file, "old");
  cachefile::NewFile slow(file, 0);
  ASSERT_TRUE(slow.write("slow"));
  const fs::path temporary = dir.path() / ".c.tmp";
  ASSERT_TRUE(fs::remove(temporary));
  writeFile(temporary, "other's");
  EXPECT_FALSE(slow.commit());
  EXPECT_EQ("old", readFile(file));
  EXPECT_EQ("other's", readFile(temporary));
}

}  // namespace

namespace {

// A temporary file that a writer at work holds is left to it; one that a
// killed writer left (none holds its lock) goes at once, not ten minutes
// later: phones kill apps, and runs come again in minutes.
TEST(CacheFile, AKilledWritersTemporaryFileGoesAndALiveOnesStays) {
  const TempDir dir;
  const fs::path file = dir.path() / "c";
  {
    cachefile::NewFile working(file, 0);
    ASSERT_TRUE(working.write("one"));
    cachefile::NewFile other(file, 0);
    EXPECT_FALSE(other.write("two"));
    EXPECT_FALSE(other.commit());
    EXPECT_TRUE(working.commit());
  }
  EXPECT_EQ("one", readFile(file));
  // Left a minute ago; one made this instant may be a writer's not yet
  // locked.
  const fs::path left = dir.path() / ".c.tmp";
  writeFile(left, "left by a killed run");
  struct stat made = {};
  ASSERT_EQ(0, ::stat(left.c_str(), &made));
  const std::int64_t now = FileKey::nanoseconds(made.st_mtim);
  cachefile::NewFile young(file, now);
  EXPECT_FALSE(young.write("young"));
  cachefile::NewFile next(file, now + 60'000'000'000);
  ASSERT_TRUE(next.write("three"));
  EXPECT_TRUE(next.commit());
  EXPECT_EQ("three", readFile(file));
}

}  // namespace
