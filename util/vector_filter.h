#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#if defined(__x86_64__)
#include <tmmintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

#include "util/byte_vectors.h"

// The nibble-bucket multi-literal filter that fast regex engines use (known
// as Teddy): the patterns are spread over eight buckets, and for each of the
// first three places of a pattern, two sixteen-entry tables, indexed by a
// byte's low and high nibble, give the buckets whose patterns may have that
// byte there. One byte shuffle per table looks sixteen bytes up at once, and
// a position passes only where its three bytes fit one bucket in common; the
// caller confirms what passes. Every processor-specific line of the filter is
// in this file: SSSE3's pshufb on x86-64, NEON's tbl on aarch64, and on other
// processors no filter at all.
class VectorFilter {
 public:
  // Whether this processor can run the filter.
  static bool available();

  // The filter for `patterns` (none empty).
  explicit VectorFilter(const std::vector<std::string_view>& patterns);

  // Calls hit(i) for each position i from `begin`, in ascending order, whose
  // bytes i, i + 1 and i + 2 fit a bucket in common (bytes past a short
  // pattern's end fit any bucket); stops where fewer than eighteen bytes are
  // left and returns the first position not tested.
  template <typename Hit>
  std::size_t scan(const unsigned char* bytes, std::size_t begin, std::size_t end, Hit&& hit) const;

 private:
  alignas(16) unsigned char low_[3][16] = {};
  alignas(16) unsigned char high_[3][16] = {};
};

#if defined(__x86_64__) || defined(__aarch64__)
namespace vectorfilter {

#if defined(__x86_64__)
// pshufb is SSSE3, which every x86-64 processor of the last fifteen years
// has; VectorFilter::available asks before the filter is used.
#define UEXPMOD_VECTOR_TARGET __attribute__((target("ssse3")))
UEXPMOD_VECTOR_TARGET inline Bytes16 lookup16(Bytes16 table, Bytes16 index) {
  return reinterpret_cast<Bytes16>(
      _mm_shuffle_epi8(reinterpret_cast<__m128i>(table), reinterpret_cast<__m128i>(index)));
}
#else
#define UEXPMOD_VECTOR_TARGET
inline Bytes16 lookup16(Bytes16 table, Bytes16 index) {
  return reinterpret_cast<Bytes16>(
      vqtbl1q_u8(reinterpret_cast<uint8x16_t>(table), reinterpret_cast<uint8x16_t>(index)));
}
#endif

// Lanes 16 - N to 31 - N of `previous` followed by `current`: each lane of
// `current` moved N lanes up, the lanes freed filled from `previous`
// (palignr on x86-64, ext on NEON).
template <int N, int... Lane>
UEXPMOD_VECTOR_TARGET inline Bytes16 shiftIn(Bytes16 previous, Bytes16 current,
                                             std::integer_sequence<int, Lane...>) {
  return __builtin_shufflevector(previous, current, (16 - N + Lane)...);
}
template <int N>
UEXPMOD_VECTOR_TARGET inline Bytes16 shiftIn(Bytes16 previous, Bytes16 current) {
  return shiftIn<N>(previous, current, std::make_integer_sequence<int, 16>());
}

// The filter over sixteen bytes at a time. Each byte is looked up once for
// each of the three places of a pattern it may stand in; the buckets of the
// first two places carry over to the next sixteen bytes, so a position's
// three bytes are tested where its last byte is loaded.
class BucketFilter {
 public:
  UEXPMOD_VECTOR_TARGET BucketFilter(const unsigned char (&low)[3][16],
                                     const unsigned char (&high)[3][16]) {
    std::memcpy(low_, low, sizeof low_);
    std::memcpy(high_, high, sizeof high_);
  }

  // Lane k: the buckets that bytes at + k - 2, at + k - 1 and at + k fit in
  // common, as a pattern's first, second and third byte.
  UEXPMOD_VECTOR_TARGET Bytes16 endingAt(const unsigned char* at) {
    const Bytes16 v = load16(at);
    const Bytes16 low = v & 15;
    const Bytes16 high = v >> 4;
    const Bytes16 first = lookup16(low_[0], low) & lookup16(high_[0], high);
    const Bytes16 second = lookup16(low_[1], low) & lookup16(high_[1], high);
    const Bytes16 third = lookup16(low_[2], low) & lookup16(high_[2], high);
    const Bytes16 fits = shiftIn<2>(first_, first) & shiftIn<1>(second_, second) & third;
    first_ = first;
    second_ = second;
    return fits;
  }

 private:
  Bytes16 low_[3], high_[3];
  Bytes16 first_ = {};  // the last sixteen bytes' buckets as a first byte; none at the start
  Bytes16 second_ = {};
};

// Reports the positions of `fits`, which BucketFilter::endingAt(bytes + at) gave.
template <typename Hit>
UEXPMOD_VECTOR_TARGET inline void reportLanes(Bytes16 fits, std::size_t at, Hit& hit) {
  for (int k = 0; k < 16; ++k) {
    if (fits[k] != 0) hit(at + static_cast<std::size_t>(k) - 2);
  }
}

}  // namespace vectorfilter

inline bool VectorFilter::available() {
#if defined(__x86_64__)
  return __builtin_cpu_supports("ssse3");
#else
  return true;
#endif
}

// Four blocks of sixteen bytes are tested to a branch: most pass none.
template <typename Hit>
UEXPMOD_VECTOR_TARGET std::size_t VectorFilter::scan(const unsigned char* bytes, std::size_t begin,
                                                     std::size_t end, Hit&& hit) const {
  using vectorfilter::reportLanes;
  if (end - begin < 18) return begin;
  vectorfilter::BucketFilter filter(low_, high_);
  std::size_t i = begin;  // the next sixteen bytes to load
  for (; end - i >= 64; i += 64) {
    const Bytes16 a = filter.endingAt(bytes + i);
    const Bytes16 b = filter.endingAt(bytes + i + 16);
    const Bytes16 c = filter.endingAt(bytes + i + 32);
    const Bytes16 d = filter.endingAt(bytes + i + 48);
    if (!anyLane(a | b | c | d)) continue;
    reportLanes(a, i, hit);
    reportLanes(b, i + 16, hit);
    reportLanes(c, i + 32, hit);
    reportLanes(d, i + 48, hit);
  }
  for (; end - i >= 16; i += 16) {
    const Bytes16 fits = filter.endingAt(bytes + i);
    if (anyLane(fits)) reportLanes(fits, i, hit);
  }
  return i - 2;
}
#undef UEXPMOD_VECTOR_TARGET

#else  // no vector filter on this processor

inline bool VectorFilter::available() { return false; }

template <typename Hit>
std::size_t VectorFilter::scan(const unsigned char*, std::size_t begin, std::size_t, Hit&&) const {
  return begin;
}
#endif
