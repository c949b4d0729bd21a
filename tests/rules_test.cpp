#include <gtest/gtest.h>

#include <sstream>

#include "app/uexp_processor.h"
#include "tests/allocation_count.h"
#include "tests/test_support.h"

namespace {

using testsupport::TempDir;
using testsupport::writeFile;

RuleList parse(const std::string& text) {
  std::istringstream in(text);
  return UEXPProcessor::parseRules(in);
}

std::string describe(const RuleList& rules) {
  std::string out;
  for (const auto& r : rules) out += "[" + r.searchText + "|" + r.replacementText + "]";
  return out;
}

TEST(ParseRules, WorkedExampleLoadsToItsEightRules) {
  const RuleList rules = parse(
      "# 语音文本\n"
      "\n"
      "你好 世界\n"
      "Hello=Hi\n"
      "A:B\n"
      "旧->新\n"
      "开始替换成结束\n"
      "Hello = Hi\n"
      "a:b=x\n"
      "名字=更长的名字\n"
      "key=\n"
      "备注\n"
      "  #a=b\n");
  EXPECT_EQ(
      "[你好|世界][Hello|Hi   ][A|B][旧|新][开始|结束][Hello|= Hi ][a:b|x  ][名字|更长的名字]",
      describe(rules));
}

TEST(ParseRules, LineEndsWhiteSpaceAndSeparators) {
  const std::pair<std::string, std::string> cases[] = {
      {"a=b\r\nc=d\r\n", "[a|b][c|d]"},
      {" \t a=b \t \n", "[a|b]"},
      {"a\t=\tb", "[a|b]"},
      {" \t \n\t\n", ""},
      {"a\tb\n", ""},            // a tab does not separate
      {"a=b x\n", "[a=b|x  ]"},  // the space wins over "="
      {"=a:b\n", "[=a|b ]"},     // "=" leaves an empty side, ":" splits
      {"x=:y\n", "[x|:y]"},
      {"替换\n", ""},  // a piece of the separator is not one
      {"a替换成b替换成c\n", "[a|b替换成c]"},
      {"last=line", "[last|line]"},  // no final line feed
      {"a=b\na=b\n", "[a|b][a|b]"},  // duplicates stay
      {"中文字=x\n", "[中文字|x  ]"},
      {"x=\xE3\x80\x80y\n", "[x|\xE3\x80\x80y]"},  // ideographic space is text
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(expected, describe(parse(text))) << text;
}

TEST(ParseRules, ByteOrderMarkAtTheStartIsIgnored) {
  EXPECT_EQ("[a|b]", describe(parse("\xEF\xBB\xBF"
                                    "a=b\n")));
  EXPECT_EQ("[c|d]", describe(parse("\xEF\xBB\xBF# comment=x\nc=d\n")));
  // Only at the very start: elsewhere the bytes are text.
  EXPECT_EQ(
      "[a|b][\xEF\xBB\xBF"
      "c|d ]",
      describe(parse("a=b\n\xEF\xBB\xBF"
                     "c=d\n")));
}

TEST(ParseRules, BinaryAndMalformedInputNeverCrashes) {
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 131) & 0xFF);
  const RuleList rules = parse(binary);
  for (const auto& r : rules) {
    EXPECT_FALSE(r.searchText.empty());
    EXPECT_FALSE(r.replacementText.empty());
  }
  EXPECT_EQ("[\xFF\xFE|\xC3 ]", describe(parse("\xFF\xFE=\xC3\n")));
  const std::string longLine = std::string(10 << 20, 'a') + "=b\n";
  const RuleList big = parse(longLine);
  ASSERT_EQ(1u, big.size());
  EXPECT_EQ(10u << 20, big[0].replacementText.size());
}

// A line as long as the file costs its parse the line as read and the two
// texts of its rule, not copies of them all: the line is split and trimmed in
// place, and the search text is not copied again to be aligned.
TEST(ParseRules, ALongLineIsNotCopiedOverAndOver) {
  const std::size_t size = std::size_t{8} << 20;
  const std::string text = std::string(size, 'x') + " = y\n";
  // The text is read where it lies, as a file's buffer would be.
  struct Unowned : std::streambuf {
    explicit Unowned(const std::string& bytes) {
      char* const begin = const_cast<char*>(bytes.data());
      setg(begin, begin, begin + bytes.size());
    }
  } buffer(text);
  std::istream in(&buffer);
  RuleList rules;
  const std::size_t peak = allocations::peakDuring([&] { rules = UEXPProcessor::parseRules(in); });
  ASSERT_EQ(1u, rules.size());
  EXPECT_EQ(size, rules[0].replacementText.size());
  // The line read (up to twice its length while it grows), the search text
  // and the padded replacement.
  EXPECT_LT(peak, size * 9 / 2) << peak / (1 << 20) << " MiB for a text of 8 MiB";
}

TEST(AlignStringPair, PadsByCharacterCountNotBytes) {
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"你好", "ab", "ab"},  {"三个字", "一", "一  "}, {"ab", "abc", "abc"},
      {"abc", "abc", "abc"}, {"Hello", "Hi", "Hi   "},
  };
  for (const auto& [search, replacement, aligned] : cases) {
    const auto [s, r] = UEXPProcessor::alignStringPair(search, replacement);
    EXPECT_EQ(search, s);
    EXPECT_EQ(aligned, r) << search << " / " << replacement;
  }
}

TEST(LoadConfig, FatalWhenUnreadableOrWithoutRules) {
  TempDir dir;
  writeFile(dir / "comments.txt", "# only\n\n  \n");
  writeFile(dir / "empty.txt", "");
  writeFile(dir / "ok.txt", "a=b\n");
  writeFile(dir / "emptysides.txt", "a=\n=b\n");
  const std::pair<std::string, std::string> cases[] = {
      {"missing.txt", "错误: 无法打开配置文件"},
      {"comments.txt", "错误: 配置文件无有效替换规则"},
      {"empty.txt", "错误: 配置文件无有效替换规则"},
      {"emptysides.txt", "错误: 配置文件无有效替换规则"},
  };
  for (const auto& [file, message] : cases) {
    std::istringstream in;
    std::ostringstream out;
    UEXPProcessor processor(dir / "ws", in, out);
    try {
      processor.loadConfig(dir / file);
      ADD_FAILURE() << file << " loaded";
    } catch (const FatalExit& exit) {
      EXPECT_EQ(1, exit.status());
    }
    EXPECT_EQ("\033[91m" + message + "\n\033[0m", out.str()) << file;
  }
  std::istringstream in;
  std::ostringstream out;
  UEXPProcessor processor(dir / "ws", in, out);
  EXPECT_EQ(1u, processor.loadConfig(dir / "ok.txt").size());
  EXPECT_EQ("", out.str());
}

}  // namespace
