#include "util/byte_finder.h"

#include <cstring>

#include "util/byte_vectors.h"

namespace {

using Mask16 = signed char __attribute__((vector_size(16)));  // 0 or -1 per byte

inline Bytes16 splat(char byte) {
  Bytes16 v;
  std::memset(&v, byte, sizeof v);
  return v;
}

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
  const std::size_t last = size - m;  // the last place the pattern can start
  std::size_t start = from;
  if (m >= 2) {
    // Sixteen places at a time: where both rare bytes stand at their offsets
    // from a place, the place is a candidate. Four blocks to a branch.
    const Bytes16 rare = splat(pattern_[rareOffset_]);
    const Bytes16 second = splat(pattern_[secondOffset_]);
    const auto candidates = [&](std::size_t at) {
      return (load16(data + at + rareOffset_) == rare) &
             (load16(data + at + secondOffset_) == second);
    };
    const auto confirm = [&](Mask16 hits, std::size_t at) {
      if (!anyLane(hits)) return kNotFound;
      for (std::size_t k = 0; k < 16; ++k) {
        if (hits[k] != 0 && std::memcmp(data + at + k, pattern_.data(), m) == 0) return at + k;
      }
      return kNotFound;
    };
    for (; last + 1 - start >= 64; start += 64) {
      const Mask16 a = candidates(start);
      const Mask16 b = candidates(start + 16);
      const Mask16 c = candidates(start + 32);
      const Mask16 d = candidates(start + 48);
      if (!anyLane(a | b | c | d)) continue;
      std::size_t found = confirm(a, start);
      if (found == kNotFound) found = confirm(b, start + 16);
      if (found == kNotFound) found = confirm(c, start + 32);
      if (found == kNotFound) found = confirm(d, start + 48);
      if (found != kNotFound) return found;
    }
    for (; last + 1 - start >= 16; start += 16) {
      if (const std::size_t found = confirm(candidates(start), start); found != kNotFound) {
        return found;
      }
    }
  }

  const int rare = static_cast<unsigned char>(pattern_[rareOffset_]);
  const char secondByte = pattern_[secondOffset_];
  const char* p = data + start + rareOffset_;
  const char* const lastRare = data + last + rareOffset_;  // last place the rare byte can stand
  while (p <= lastRare) {
    p = static_cast<const char*>(std::memchr(p, rare, static_cast<std::size_t>(lastRare - p) + 1));
    if (p == nullptr) break;
    const std::size_t at = static_cast<std::size_t>(p - data) - rareOffset_;
    if (data[at + secondOffset_] == secondByte && std::memcmp(data + at, pattern_.data(), m) == 0) {
      return at;
    }
    ++p;
  }
  return kNotFound;
}
