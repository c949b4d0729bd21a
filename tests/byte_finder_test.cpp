#include "util/byte_finder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/reference_algorithms.h"
#include "tests/test_support.h"

namespace {

using testsupport::bytesOf;
using testsupport::hex;
using testsupport::textOf;

constexpr std::size_t kNotFound = ByteFinder::kNotFound;

std::size_t find(const std::vector<char>& buffer, std::string_view pattern, std::size_t start) {
  return ByteFinder(pattern).find(buffer.data(), buffer.size(), start);
}

TEST(ByteFinder, EdgeCases) {
  const auto buf = bytesOf("xxabcxxabc");
  EXPECT_EQ(kNotFound, find(buf, "", 0));
  EXPECT_EQ(kNotFound, find(buf, "abc", buf.size()));
  EXPECT_EQ(kNotFound, find(bytesOf("ab"), "abc", 0));
  EXPECT_EQ(2u, find(buf, "abc", 0));
  EXPECT_EQ(7u, find(buf, "abc", 3));  // ends at the last byte
  EXPECT_EQ(kNotFound, find(buf, "abc", 8));
  EXPECT_EQ(kNotFound, find(buf, "ABC", 0));
  const std::vector<char> withZeros = {'a', '\0', 'b', '\0', '\xFF'};
  EXPECT_EQ(1u, find(withZeros, std::string("\0b\0", 3), 0));
  EXPECT_EQ(4u, find(withZeros, "\xFF", 0));
}

TEST(ByteFinder, AgreesWithPlainSearchOnRandomInput) {
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    std::vector<char> buf(rng() % 200);
    const int alphabet = 1 + static_cast<int>(rng() % 4);
    for (char& c : buf) c = static_cast<char>("\0A\xFF/"[rng() % static_cast<unsigned>(alphabet)]);
    std::string pattern(1 + rng() % 6, '\0');
    for (char& c : pattern)
      c = static_cast<char>("\0A\xFF/"[rng() % static_cast<unsigned>(alphabet)]);
    const std::size_t start = rng() % (buf.size() + 2);
    ASSERT_EQ(reference::find(buf, pattern, start), find(buf, pattern, start))
        << hex(textOf(buf)) << " / " << hex(pattern) << " from " << start;
  }
}

}  // namespace
