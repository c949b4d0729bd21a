#include "util/string_utils.h"

#include <cstdint>
#include <cstring>

#include "util/byte_finder.h"

namespace {

constexpr std::string_view kWhitespace = " \t\n\r";

// Number of bytes a character starting with `lead` occupies, by the lead byte
// alone. Bytes that cannot start a character step by one.
std::size_t leadStep(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

}  // namespace

std::string StringUtils::trim(std::string_view text) { return std::string(trimView(text)); }

std::string_view StringUtils::trimView(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kWhitespace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kWhitespace) - first + 1);
}

std::size_t StringUtils::calculateStringLength(std::string_view text) {
  return UTF8Utils::calculateStringLength(text);
}

std::size_t UTF8Utils::calculateStringLength(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < text.size();
       pos += leadStep(static_cast<unsigned char>(text[pos]))) {
    ++count;
  }
  return count;
}

namespace {

// Hands `unit` each UTF-16 code unit of UTF-8 `text`, decoded as
// utf8ToUtf16LE documents.
template <typename Unit>
void forEachUtf16Unit(std::string_view text, Unit&& unit) {
  const auto byteAt = [&text](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(text[i]));
  };
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::uint32_t b = byteAt(pos);
    const std::size_t left = text.size() - pos;
    if (b < 0x80) {
      unit(b);
      pos += 1;
    } else if ((b & 0xE0) == 0xC0) {
      if (left < 2) break;
      unit(((b & 0x1F) << 6) | (byteAt(pos + 1) & 0x3F));
      pos += 2;
    } else if ((b & 0xF0) == 0xE0) {
      if (left < 3) break;
      unit(((b & 0x0F) << 12) | ((byteAt(pos + 1) & 0x3F) << 6) | (byteAt(pos + 2) & 0x3F));
      pos += 3;
    } else if ((b & 0xF8) == 0xF0) {
      if (left < 4) break;
      std::uint32_t cp = ((b & 0x07) << 18) | ((byteAt(pos + 1) & 0x3F) << 12) |
                         ((byteAt(pos + 2) & 0x3F) << 6) | (byteAt(pos + 3) & 0x3F);
      pos += 4;
      if (cp >= 0x10000) {
        cp -= 0x10000;
        unit(0xD800 + (cp >> 10));
        unit(0xDC00 + (cp & 0x3FF));
      } else {
        unit(cp);
      }
    } else {
      pos += 1;  // stray continuation byte or 0xF8-0xFF: dropped
    }
  }
}

}  // namespace

std::string UTF8Utils::utf8ToUtf16LE(std::string_view text) {
  // Counted first, so that the result is allocated once, at its size: a
  // rule text may be as long as the user made it.
  std::size_t units = 0;
  forEachUtf16Unit(text, [&](std::uint32_t) { ++units; });
  std::string out(2 * units, '\0');
  char* at = out.data();
  forEachUtf16Unit(text, [&](std::uint32_t u) {
    *at++ = static_cast<char>(u & 0xFF);
    *at++ = static_cast<char>((u >> 8) & 0xFF);
  });
  return out;
}

bool UTF8Utils::replaceInBytes(std::vector<char>& buffer, std::string_view search,
                               std::string_view replacement) {
  return replaceInBytes(std::span<char>(buffer), search, replacement, {});
}

bool UTF8Utils::replaceInBytes(std::span<char> buffer, std::string_view search,
                               std::string_view replacement,
                               const std::function<void(std::size_t)>& overwritten) {
  if (search.size() != replacement.size() || search.empty()) return false;
  const ByteFinder finder(search);
  bool replaced = false;
  std::size_t pos = 0;
  while ((pos = finder.find(buffer.data(), buffer.size(), pos)) != ByteFinder::kNotFound) {
    std::memcpy(buffer.data() + pos, replacement.data(), replacement.size());
    if (overwritten) overwritten(pos);
    pos += replacement.size();
    replaced = true;
  }
  return replaced;
}
