#include "util/byte_finder.h"

#include <cstring>

namespace {

// Rough commonness of each byte value in cooked game assets: zero and 0xFF
// padding, small integers, lower-case text and UTF-16 high bytes are common,
// and so are the capitals that start the package paths every asset cites
// ("/Game/", "/Script/CoreUObject", "/Mod/..."); the other capitals and most
// punctuation are rare. Only the order matters.
int commonness(unsigned char b) {
  if (b == 0x00) return 255;
  if (b == 0xFF) return 240;
  if (b < 0x10) return 220;
  if (b == ' ') return 200;
  if (b >= 'a' && b <= 'z') return std::strchr("etaoinsrhl", b) != nullptr ? 190 : 170;
  if (b >= '0' && b <= '9') return 160;
  if (b < 0x20) return 150;
  if (b >= 0x80) return 140;
  if (b == '/' || b == '.' || b == '_') return 130;
  if (b >= 'A' && b <= 'Z') return std::strchr("GSCMAEPTUOINRLD", b) != nullptr ? 110 : 100;
  return 90;
}

}  // namespace

ByteFinder::ByteFinder(std::string_view pattern) : pattern_(pattern) {
  int best = 256;
  int second = 256;
  for (std::size_t i = 0; i < pattern_.size(); ++i) {
    const int c = commonness(static_cast<unsigned char>(pattern_[i]));
    if (c < best) {
      second = best;
      secondOffset_ = rareOffset_;
      best = c;
      rareOffset_ = i;
    } else if (c < second) {
      second = c;
      secondOffset_ = i;
    }
  }
}

std::size_t ByteFinder::find(const char* data, std::size_t size, std::size_t from) const {
  const std::size_t m = pattern_.size();
  if (m == 0 || size < m || from > size - m) return kNotFound;

  const int rare = static_cast<unsigned char>(pattern_[rareOffset_]);
  const char secondByte = pattern_[secondOffset_];
  const char* p = data + from + rareOffset_;
  const char* const last = data + (size - m) + rareOffset_;  // last place the rare byte can stand
  while (p <= last) {
    p = static_cast<const char*>(std::memchr(p, rare, static_cast<std::size_t>(last - p) + 1));
    if (p == nullptr) break;
    const std::size_t start = static_cast<std::size_t>(p - data) - rareOffset_;
    if (data[start + secondOffset_] == secondByte &&
        std::memcmp(data + start, pattern_.data(), m) == 0) {
      return start;
    }
    ++p;
  }
  return kNotFound;
}
