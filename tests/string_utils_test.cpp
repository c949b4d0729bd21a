#include "util/string_utils.h"

#include <gtest/gtest.h>

#include "tests/allocation_count.h"
#include "tests/test_support.h"

namespace {

using testsupport::bytesOf;
using testsupport::hex;
using testsupport::textOf;

TEST(Trim, StripsOnlySpaceTabLineFeedAndCarriageReturn) {
  EXPECT_EQ("", StringUtils::trim(""));
  EXPECT_EQ("", StringUtils::trim(" \t\r\n \n"));
  EXPECT_EQ("a b", StringUtils::trim(" \ta b\r\n"));
  EXPECT_EQ("\xE3\x80\x80x", StringUtils::trim("\xE3\x80\x80x "));  // ideographic space kept
  EXPECT_EQ("\vx\f", StringUtils::trim(" \vx\f "));
  EXPECT_EQ(std::string("\0x", 2), StringUtils::trim(std::string("\0x ", 3)));
}

TEST(CalculateStringLength, CountsByLeadBytes) {
  const std::pair<std::string, std::size_t> cases[] = {
      {"", 0},         {"abc", 3},      {"中文", 2},     {"\xF0\x9F\x98\x80", 1}, {"\x80", 1},
      {"\xE4\xB8", 1}, {"\xC3\x41", 1}, {"\xF8\xFF", 2}, {"\xC0\x80", 1},
  };
  for (const auto& [text, count] : cases) {
    EXPECT_EQ(count, UTF8Utils::calculateStringLength(text)) << hex(text);
    EXPECT_EQ(count, StringUtils::calculateStringLength(text)) << hex(text);
  }
}

TEST(Utf8ToUtf16LE, ConvertsLenientlyAsDocumented) {
  const std::pair<std::string, std::string> cases[] = {
      {"abc", std::string("a\0b\0c\0", 6)},
      {"\xC3\xA9", std::string("\xE9\0", 2)},
      {"\xE4\xB8\xAD", "\x2D\x4E"},
      {"\xF0\x9F\x98\x80", std::string("\x3D\xD8\x00\xDE", 4)},
      {"\xC3\x41", std::string("\xC1\0", 2)},
      {"\x80\x41", std::string("\x41\0", 2)},
      {"\x61\xE4\xB8", std::string("\x61\0", 2)},
      {"a\xF0\x41\x42", std::string("a\0", 2)},  // a cut-short sequence ends decoding
      {"\xED\xA0\x80", std::string("\x00\xD8", 2)},
      {"\xF4\x90\x80\x80", std::string("\x00\xDC\x00\xDC", 4)},
      {"\xF0\x80\x81\x81", std::string("\x41\x00", 2)},  // over-long four-byte form
      {"\xFF\xF8z", std::string("z\0", 2)},
      {"", ""},
  };
  for (const auto& [input, output] : cases) {
    EXPECT_EQ(hex(output), hex(UTF8Utils::utf8ToUtf16LE(input))) << hex(input);
  }
}

// A rule text may be as long as the user made it: its UTF-16LE form is made
// in one allocation of its size, not through a list of units besides.
TEST(Utf8ToUtf16LE, ALongTextTakesOneAllocationOfItsSize) {
  const std::string text(std::size_t{4} << 20, 'a');
  std::string converted;
  const std::size_t peak =
      allocations::peakDuring([&] { converted = UTF8Utils::utf8ToUtf16LE(text); });
  EXPECT_EQ(2 * text.size(), converted.size());
  EXPECT_LE(peak, 2 * text.size() + 64);
}

TEST(ReplaceInBytes, ReplacesLeftToRightWithoutOverlap) {
  struct Case {
    std::string buffer, search, replacement, result;
    bool replaced;
  };
  const Case cases[] = {
      {"aaa", "aa", "bb", "bba", true},           {"ABAB", "AB", "CD", "CDCD", true},
      {"AAB", "AB", "BA", "ABA", true},  // the new occurrence at the start is not revisited
      {"abcabc", "abc", "abcd", "abcabc", false}, {"abc", "", "", "abc", false},
      {"xabcx", "abc", "abc", "xabcx", true},  // identical replacement still counts
      {"xyz", "abc", "def", "xyz", false},
  };
  for (const Case& c : cases) {
    auto buf = bytesOf(c.buffer);
    EXPECT_EQ(c.replaced, UTF8Utils::replaceInBytes(buf, c.search, c.replacement)) << c.buffer;
    EXPECT_EQ(c.result, textOf(buf)) << c.buffer;
  }
}

}  // namespace
