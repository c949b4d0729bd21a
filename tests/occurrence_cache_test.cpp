// OccurrenceCache: where the rules' texts occur in each target, kept between
// runs; every fault in its file reads as a target it does not know.
#include "util/occurrence_cache.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Occurrence = MultiReplacer::Occurrence;
using Occurrences = std::vector<Occurrence>;
const std::string kFolder = "/storage/emulated/0/ws/uexp解包";

FileKey key(std::int64_t n) {
  const auto inode = static_cast<std::uint64_t>(n);
  return {7, inode, 100 + inode, 1000 + n, 2000 + n};
}

// The occurrences come back numbered as the list asking for them numbers its
// texts, without those of texts it lacks; a list with a text the cache lacks,
// or one much shorter than the cache's, is not covered.
TEST(OccurrenceCache, GivesEachKnownTargetsOccurrencesInTheListsNumbering) {
  const std::vector<std::string_view> texts = {"ab", "cd", "ef"};
  const std::string bytes = OccurrenceCache::serialize(
      kFolder, texts, {{key(1), {{0, 0}, {5, 2}, {5, 1}, {9, 0}}}, {key(3), {}}});
  OccurrenceCache cache = OccurrenceCache::parse(bytes, kFolder);
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
  EXPECT_FALSE(cache.covers({"ab", "zz"}));
  EXPECT_FALSE(cache.find(key(1), found));

  std::vector<std::string> many;
  for (int k = 0; k < 100; ++k) many.push_back("t" + std::to_string(k));
  const std::vector<std::string_view> manyTexts(many.begin(), many.end());
  OccurrenceCache wide =
      OccurrenceCache::parse(OccurrenceCache::serialize(kFolder, manyTexts, {}), kFolder);
  EXPECT_TRUE(wide.covers({manyTexts.begin(), manyTexts.begin() + 18}));
  EXPECT_FALSE(wide.covers({manyTexts.begin(), manyTexts.begin() + 17}));
}

// Cut short at any length, a byte changed anywhere, another folder's, or
// written with occurrences out of order: no target is known.
TEST(OccurrenceCache, AnyFaultReadsAsNoTarget) {
  const std::vector<std::string_view> texts = {"ab", "cd"};
  const std::string whole =
      OccurrenceCache::serialize(kFolder, texts, {{key(1), {{3, 1}, {8, 0}}}, {key(2), {}}});
  Occurrences found;
  const auto knows = [&](const std::string& bytes, std::string_view folder = kFolder) {
    OccurrenceCache cache = OccurrenceCache::parse(bytes, folder);
    return cache.covers(texts) && (cache.find(key(1), found) || cache.find(key(2), found));
  };
  ASSERT_TRUE(knows(whole));
  for (std::size_t size = 0; size < whole.size(); ++size) {
    EXPECT_FALSE(knows(whole.substr(0, size))) << size;
  }
  for (std::size_t at = 0; at < whole.size(); ++at) {
    std::string damaged = whole;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
    EXPECT_FALSE(knows(damaged)) << at;
  }
  EXPECT_FALSE(knows(whole, kFolder + "2"));
  for (const Occurrences& wrong : {Occurrences{{8, 0}, {3, 1}}, Occurrences{{3, 0}, {8, 2}}}) {
    OccurrenceCache cache = OccurrenceCache::parse(
        OccurrenceCache::serialize(kFolder, texts, {{key(1), wrong}}), kFolder);
    ASSERT_TRUE(cache.covers(texts));
    EXPECT_FALSE(cache.find(key(1), found));
    EXPECT_EQ(Occurrences{}, found);
  }
}

}  // namespace
