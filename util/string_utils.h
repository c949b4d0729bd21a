#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Text helpers on byte strings that hold UTF-8 text. Nothing here validates
// UTF-8: every walker has a fixed, documented way of stepping over bad bytes.
class StringUtils {
 public:
  StringUtils() = delete;

  // Returns `text` without leading and trailing bytes from " \t\n\r". Other
  // white space (vertical tab, form feed, U+3000, U+00A0) is ordinary text.
  static std::string trim(std::string_view text);
  // The same as a view of `text`: nothing is copied.
  static std::string_view trimView(std::string_view text);

  // Character count, exactly as UTF8Utils::calculateStringLength counts.
  static std::size_t calculateStringLength(std::string_view text);
};

class UTF8Utils {
 public:
  UTF8Utils() = delete;

  // Counts characters by lead bytes: 0x00-0x7F step 1, 110xxxxx step 2,
  // 1110xxxx step 3, 11110xxx step 4, any other byte step 1. Skipped bytes are
  // not checked, so a sequence cut short at the end still counts as one.
  static std::size_t calculateStringLength(std::string_view text);

  // The UTF-16LE bytes of UTF-8 `text`, two per UTF-16 unit, no BOM. Decoding
  // is lenient: continuation bytes are not checked, stray bytes 0x80-0xBF and
  // 0xF8-0xFF are dropped, and a sequence cut short ends the conversion.
  static std::string utf8ToUtf16LE(std::string_view text);

  // Overwrites every non-overlapping occurrence of `search` with `replacement`,
  // left to right, resuming after each replaced stretch. Does nothing and
  // returns false when the lengths differ or `search` is empty; otherwise
  // returns whether at least one occurrence was overwritten. The buffer never
  // changes length.
  static bool replaceInBytes(std::vector<char>& buffer, std::string_view search,
                             std::string_view replacement);
  // The same over any bytes; `overwritten`, when given, hears the position of
  // each occurrence as it is overwritten.
  static bool replaceInBytes(std::span<char> buffer, std::string_view search,
                             std::string_view replacement,
                             const std::function<void(std::size_t)>& overwritten);
};
