#pragma once

#include <cstddef>

// Touching a mapped page raises SIGBUS when the page lies past the end of a
// file that shrank after it was mapped, or when the storage fails to read it.
// While a BusErrorGuard stands over a map, a handler answers such a signal
// from inside the map by putting a page of zeros where the lost page was: the
// access that faulted then succeeds, the work in progress runs to its end, and
// the guard tells that the map's bytes are not the file's, as a failed read()
// would. Any other SIGBUS, and every one before the first guard and after the
// last, goes to the action that was there before (the default, or a crash
// reporter's).
//
// Guards on several threads may stand at once, each over its own map: each
// takes one of kSlots process-wide slots, which the handler searches for the
// faulting address. The handler touches no thread-local storage: where that
// is emulated (as on older Android) the first touch allocates, which a signal
// handler must not do.
//
// Installs the handler over [map, map + size) for as long as it lives. A
// guard made while every slot is taken is not installed.
class BusErrorGuard {
 public:
  // More than the threads a run starts by default; a run asked for more
  // reads the files of those beyond instead of mapping them.
  static constexpr int kSlots = 64;

  BusErrorGuard(const void* map, std::size_t size);
  ~BusErrorGuard();
  BusErrorGuard(const BusErrorGuard&) = delete;
  BusErrorGuard& operator=(const BusErrorGuard&) = delete;

  // Without the handler the map must not be touched.
  bool installed() const { return slot_ >= 0; }
  // Whether a page of the map was lost since the guard was made.
  bool faulted() const;

 private:
  int slot_ = -1;
};
