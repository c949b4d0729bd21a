#pragma once

#include <cstddef>
#include <functional>

// The test executable's own allocation functions (allocation_count.cpp) count
// the bytes held, so a test can bound what a piece of work allocates.
namespace allocations {

// The most bytes held at once while `work` ran, beyond those held before.
std::size_t peakDuring(const std::function<void()>& work);

// Runs `work` with every allocation of `bytes` or more failing, as where
// memory runs out.
void refusingFrom(std::size_t bytes, const std::function<void()>& work);

// Runs `work` with the first `count` allocations succeeding and every later
// one failing. Returns how many failed.
std::size_t refusingAfter(std::size_t count, const std::function<void()>& work);

}  // namespace allocations
