#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "console/color_console.h"
#include "console/gradient_color.h"

namespace {

TEST(ColorConsole, WritesTheDocumentedBytesForEachCall) {
  struct Case {
    bool newline;
    std::string text;
    std::string color;
    std::string bytes;
  };
  const Case cases[] = {
      {true, "abc", "red", "\033[91mabc\n\033[0m"},
      {true, "abc", "bold", "\033[1mabc\n\033[0m"},
      {true, "abc", "", "abc\n"},
      {true, "", "", "\n"},
      {true, "abc", "reset", "abc\n\033[0m"},
      {true, "abc", "Red", "abc\n\033[0m"},  // names are case-sensitive: unknown, still reset
      {false, "abc", "cyan", "\033[96mabc\033[0m"},
      {false, "abc", "", "abc"},
      {true, "✓ 已复制：a\nb", "green", "\033[92m✓ 已复制：a\nb\n\033[0m"},
  };
  for (const Case& c : cases) {
    std::ostringstream out;
    ColorConsole console(out);
    if (c.newline) {
      console.println(c.text, c.color);
    } else {
      console.print(c.text, c.color);
    }
    EXPECT_EQ(c.bytes, out.str()) << "text '" << c.text << "' colour '" << c.color << "'";
    // The same line handed in pieces.
    if (c.newline && c.text.size() > 2) {
      std::ostringstream pieces;
      ColorConsole(pieces).println({c.text.substr(0, 1), "", c.text.substr(1)}, c.color);
      EXPECT_EQ(c.bytes, pieces.str()) << "pieces of '" << c.text << "'";
    }
  }
}

TEST(ColorConsole, ColorCodesAndDirectCalls) {
  std::ostringstream out;
  ColorConsole console(out);
  EXPECT_EQ("\033[93m", console.getColorCode("yellow"));
  EXPECT_EQ("\033[94m", console.getColorCode("blue"));
  EXPECT_EQ("\033[95m", console.getColorCode("purple"));
  EXPECT_EQ("", console.getColorCode(""));
  EXPECT_EQ("", console.getColorCode("YELLOW"));
  console.setColor("nope");
  console.setColor("");
  EXPECT_EQ("", out.str());
  console.setColor("green");
  console.reset();
  EXPECT_EQ("\033[92m\033[0m", out.str());
}

// Every call draws a row; the index picks the shade, taken modulo 3 on the
// index read as an unsigned 64-bit value.
TEST(GradientColor, IndexPicksTheShadeOfARandomRow) {
  const std::vector<std::vector<std::string>> rows = {
      {"\033[38;5;201m", "\033[38;5;165m", "\033[38;5;129m"},
      {"\033[38;5;51m", "\033[38;5;87m", "\033[38;5;123m"},
      {"\033[38;5;208m", "\033[38;5;214m", "\033[38;5;220m"},
      {"\033[38;5;84m", "\033[38;5;120m", "\033[38;5;156m"},
      {"\033[38;5;199m", "\033[38;5;205m", "\033[38;5;211m"},
  };
  const std::pair<int, int> indexToShade[] = {{0, 0}, {1, 1},  {2, 2},  {3, 0}, {4, 1},
                                              {6, 0}, {-1, 0}, {-2, 2}, {-3, 1}};
  for (const auto& [index, shade] : indexToShade) {
    std::set<std::size_t> rowsSeen;
    for (int draw = 0; draw < 200; ++draw) {
      std::ostringstream out;
      GradientColor gradient(out);
      gradient.printlnGradient("菜单", index);
      bool matched = false;
      for (std::size_t r = 0; r < rows.size(); ++r) {
        if (out.str() == rows[r][static_cast<std::size_t>(shade)] + "菜单\n\033[0m") {
          rowsSeen.insert(r);
          matched = true;
        }
      }
      ASSERT_TRUE(matched) << "index " << index << " wrote " << out.str();
    }
    EXPECT_EQ(5u, rowsSeen.size()) << "index " << index << ": every row should be drawn";
  }
}

TEST(GradientColor, EmptyTextStillWritesShadeAndReset) {
  std::ostringstream out;
  GradientColor gradient(out);
  gradient.printGradient("", 0);
  const std::set<std::string> shadeZero = {"\033[38;5;201m", "\033[38;5;51m", "\033[38;5;208m",
                                           "\033[38;5;84m", "\033[38;5;199m"};
  const std::string written = out.str();
  ASSERT_TRUE(written.ends_with("\033[0m")) << written;
  EXPECT_EQ(1u, shadeZero.count(written.substr(0, written.size() - 4))) << written;
  const auto row = gradient.getRandomGradient();
  EXPECT_EQ(3u, row.size());
}

}  // namespace
