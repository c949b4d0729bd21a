#pragma once

#include <cstddef>

// Touching a mapped page raises SIGBUS when the page lies past the end of a
// file that shrank after it was mapped, or when the storage fails to read it.
// While a BusErrorGuard stands over a map, a handler answers such a signal
// from inside the map by putting a page of zeros where the lost page was: the
// access that faulted then succeeds, the work in progress runs to its end, and
// the guard tells that the map's bytes are not the file's, as a failed read()
// would. Any other SIGBUS, and every one before and after, goes to the action
// that was there before (the default, or a crash reporter's). The state is
// process-wide, not per thread: the program runs one thread, and a signal
// handler must not be the first to touch thread-local storage where that is
// emulated (as on older Android), since that allocates.
//
// Installs the handler over [map, map + size) for as long as it lives. One
// guard at a time: one made while another stands is not installed.
class BusErrorGuard {
 public:
  BusErrorGuard(const void* map, std::size_t size);
  ~BusErrorGuard();
  BusErrorGuard(const BusErrorGuard&) = delete;
  BusErrorGuard& operator=(const BusErrorGuard&) = delete;

  // Without the handler the map must not be touched.
  bool installed() const { return installed_; }
  // Whether a page of the map was lost since the guard was made.
  bool faulted() const;

 private:
  static void release();

  bool installed_ = false;
};
