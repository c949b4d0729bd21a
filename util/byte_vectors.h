#pragma once

#include <cstdint>
#include <cstring>

// Sixteen bytes as one value, in the compiler's vector types: loads, compares
// and logic on it compile to SSE2 on x86-64 and to NEON on aarch64.
using Bytes16 = unsigned char __attribute__((vector_size(16)));

// The sixteen bytes from `at`, which need no alignment.
inline Bytes16 load16(const void* at) {
  Bytes16 v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

// Whether any byte of a sixteen-byte vector (a value, or a compare's mask) is
// non-zero.
template <typename Vector>
inline bool anyLane(Vector v) {
  static_assert(sizeof v == 16);
  std::uint64_t halves[2];
  std::memcpy(halves, &v, sizeof halves);
  return (halves[0] | halves[1]) != 0;
}
