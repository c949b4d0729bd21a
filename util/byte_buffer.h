#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

// An allocator that leaves new elements default-initialised: for bytes that
// means not written at all. A buffer about to be filled with a file's content
// then costs no pass of zeros over memory first.
template <typename T>
class DefaultInitAllocator : public std::allocator<T> {
 public:
  using std::allocator<T>::allocator;

  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// The whole content of a file, held in memory.
using ByteBuffer = std::vector<char, DefaultInitAllocator<char>>;
