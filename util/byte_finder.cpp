#include "util/byte_finder.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

#include "util/byte_vectors.h"

namespace {

using Mask16 = signed char __attribute__((vector_size(16)));  // 0 or -1 per byte

inline Bytes16 splat(char byte) {
  Bytes16 v;
  std::memset(&v, byte, sizeof v);
  return v;
}

// Whether any byte of a compare's mask is set: on aarch64 one reduction
// across the lanes, where taking the two halves out costs three.
inline bool anyHit(Mask16 hits) {
#if defined(__aarch64__)
  return vmaxvq_u8(reinterpret_cast<uint8x16_t>(hits)) != 0;
#else
  return anyLane(hits);
#endif
}

// The places start, start + 64, ... before `stop` (each the first of a block
// of 64 places), and the first of them whose block holds a place where both
// rare bytes stand at their offsets from it; `stop` where none does. A loop
// of its own, with nothing live but its two pointers and the two bytes:
// the confirmations of find() kept the compiler from holding them in
// registers, and it spent half again as many instructions a block.
std::size_t firstBlockWithPairs(const char* data, std::size_t start, std::size_t stop,
                                std::size_t rareOffset, std::size_t secondOffset, Bytes16 rare,
                                Bytes16 second) {
  const char* rareAt = data + start + rareOffset;
  const char* secondAt = data + start + secondOffset;
  for (; start < stop; start += 64, rareAt += 64, secondAt += 64) {
    const Mask16 a = (load16(rareAt) == rare) & (load16(secondAt) == second);
    const Mask16 b = (load16(rareAt + 16) == rare) & (load16(secondAt + 16) == second);
    const Mask16 c = (load16(rareAt + 32) == rare) & (load16(secondAt + 32) == second);
    const Mask16 d = (load16(rareAt + 48) == rare) & (load16(secondAt + 48) == second);
    if (anyHit((a | b) | (c | d))) return start;
  }
  return stop;
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

#if defined(__x86_64__)
// The pair test of find() over thirty-two places at a time, with AVX2,
// which x86-64 processors of the last ten years have (asked at run time):
// twice the places per compare of the sixteen-byte vectors every processor
// has. Returns where the pattern starts at or after `start`, or, with
// `resume` set, the first place it did not test.
#define UEXPMOD_AVX2 __attribute__((target("avx2")))

// Thirty-two places from `at`, a bit each: where both rare bytes stand.
UEXPMOD_AVX2 inline std::uint32_t pairsAvx2(const char* at, std::size_t rareOffset,
                                            std::size_t secondOffset, __m256i rare,
                                            __m256i second) {
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + rareOffset));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + secondOffset));
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(
      _mm256_and_si256(_mm256_cmpeq_epi8(a, rare), _mm256_cmpeq_epi8(b, second))));
}

UEXPMOD_AVX2 std::size_t findPairsAvx2(const char* data, std::size_t start, std::size_t last,
                                       std::string_view pattern, std::size_t rareOffset,
                                       std::size_t secondOffset, std::size_t& resume) {
  const __m256i rare = _mm256_set1_epi8(pattern[rareOffset]);
  const __m256i second = _mm256_set1_epi8(pattern[secondOffset]);
  for (; last + 1 - start >= 64; start += 64) {
    std::uint64_t hits =
        pairsAvx2(data + start, rareOffset, secondOffset, rare, second) |
        std::uint64_t{pairsAvx2(data + start + 32, rareOffset, secondOffset, rare, second)} << 32;
    for (; hits != 0; hits &= hits - 1) {
      const std::size_t at = start + static_cast<std::size_t>(__builtin_ctzll(hits));
      if (data[at + pattern.size() - 1] == pattern.back() &&
          std::memcmp(data + at, pattern.data(), pattern.size()) == 0) {
        return at;
      }
    }
  }
  resume = start;
  return ByteFinder::kNotFound;
}
#undef UEXPMOD_AVX2

bool hasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

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
#if defined(__x86_64__)
  if (m >= 2 && hasAvx2()) {
    const std::size_t found =
        findPairsAvx2(data, start, last, pattern_, rareOffset_, secondOffset_, start);
    if (found != kNotFound) return found;
  }
#endif
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
      if (!anyHit(hits)) return kNotFound;
      // The last byte first: near misses of paths often differ there.
      for (std::size_t k = 0; k < 16; ++k) {
        if (hits[k] != 0 && data[at + k + m - 1] == pattern_.back() &&
            std::memcmp(data + at + k, pattern_.data(), m) == 0) {
          return at + k;
        }
      }
      return kNotFound;
    };
    if (last + 1 - start >= 64) {
      // The blocks of 64 places that fit before `last`, the rest after.
      const std::size_t stop = start + (last + 1 - start) / 64 * 64;
      while ((start = firstBlockWithPairs(data, start, stop, rareOffset_, secondOffset_, rare,
                                          second)) < stop) {
        std::size_t found = confirm(candidates(start), start);
        if (found == kNotFound) found = confirm(candidates(start + 16), start + 16);
        if (found == kNotFound) found = confirm(candidates(start + 32), start + 32);
        if (found == kNotFound) found = confirm(candidates(start + 48), start + 48);
        if (found != kNotFound) return found;
        start += 64;
      }
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
