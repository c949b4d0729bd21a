// Replaces the allocation functions of the test executable with ones that
// count the bytes held. Each block carries its size in front of it.
#include "tests/allocation_count.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

namespace {
// Atomic: the code under test allocates on several threads.
std::atomic<std::size_t> held{0};
std::atomic<std::size_t> peak{0};
std::atomic<std::size_t> refuseFrom{0};  // 0: none is refused
// Under refusingAfter: the allocations still allowed, and those refused.
std::atomic<bool> counting{false};
std::atomic<std::size_t> allowed{0};
std::atomic<std::size_t> refused{0};
constexpr std::size_t kHeader = alignof(std::max_align_t);
}  // namespace

void* operator new(std::size_t size) {
  if (refuseFrom != 0 && size >= refuseFrom) throw std::bad_alloc();
  if (counting) {
    std::size_t left = allowed.load();
    while (left > 0 && !allowed.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 0) {
      ++refused;
      throw std::bad_alloc();
    }
  }
  auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (block == nullptr) throw std::bad_alloc();
  *reinterpret_cast<std::size_t*>(block) = size;
  const std::size_t now = held += size;
  std::size_t most = peak.load();
  while (now > most && !peak.compare_exchange_weak(most, now)) {
  }
  return block + kHeader;
}

// The form that does not throw must come from here too: the one the
// sanitizers' runtime brings would hand out blocks without the size in
// front, which the delete below would then misread.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  auto* block = static_cast<unsigned char*>(p) - kHeader;
  held -= *reinterpret_cast<std::size_t*>(block);
  std::free(block);
}

void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

std::size_t allocations::peakDuring(const std::function<void()>& work) {
  const std::size_t before = held;
  peak = before;
  work();
  return peak - before;
}

void allocations::refusingFrom(std::size_t bytes, const std::function<void()>& work) {
  refuseFrom = bytes;
  try {
    work();
  } catch (...) {
    refuseFrom = 0;
    throw;
  }
  refuseFrom = 0;
}

std::size_t allocations::refusingAfter(std::size_t count, const std::function<void()>& work) {
  allowed = count;
  refused = 0;
  counting = true;
  try {
    work();
  } catch (...) {
    counting = false;
    throw;
  }
  counting = false;
  return refused;
}
