#include "util/bus_error_guard.h"

#include <sys/mman.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <mutex>

#include "util/page_size.h"

namespace {

static_assert(std::atomic<std::uintptr_t>::is_always_lock_free &&
              std::atomic<bool>::is_always_lock_free);  // usable in a signal handler

// One guarded map. `taken` is set first and cleared last: a slot's range is
// empty whenever no guard owns it.
struct Slot {
  std::atomic<bool> taken{false};
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> faulted{false};
};
Slot slots[BusErrorGuard::kSlots];

const std::uintptr_t kPageSize = pageSize();  // set before main, only read afterwards

// The handler is installed while at least one guard stands. Installing and
// restoring happen under this mutex, never in the handler.
std::mutex handlerMutex;
int standing = 0;                            // guards installed, under handlerMutex
struct sigaction previousBusErrorAction = {};  // written before the handler is installed

extern "C" void onBusError(int signal, siginfo_t* info, void* /*context*/) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (Slot& slot : slots) {
    if (address < slot.begin.load(std::memory_order_acquire) ||
        address >= slot.end.load(std::memory_order_acquire)) {
      continue;
    }
    // mmap is a bare system call, safe in a handler though POSIX does not
    // list it; MAP_FIXED swaps the page in without touching the rest.
    void* const page = reinterpret_cast<void*>(address & ~(kPageSize - 1));
    if (::mmap(page, kPageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1,
               0) != MAP_FAILED) {
      slot.faulted.store(true, std::memory_order_relaxed);
      return;
    }
    break;
  }
  // Not ours to mend: hand the fault, which happens again on return, to the
  // action that was there before.
  sigaction(signal, &previousBusErrorAction, nullptr);
}

}  // namespace

BusErrorGuard::BusErrorGuard(const void* map, std::size_t size) {
  int found = -1;
  for (int i = 0; i < kSlots && found < 0; ++i) {
    if (!slots[i].taken.exchange(true)) found = i;
  }
  if (found < 0) return;
  Slot& slot = slots[found];
  {
    const std::lock_guard lock(handlerMutex);
    if (standing == 0) {
      struct sigaction action = {};
      action.sa_sigaction = onBusError;
      action.sa_flags = SA_SIGINFO;
      sigemptyset(&action.sa_mask);
      if (sigaction(SIGBUS, &action, &previousBusErrorAction) != 0) {
        slot.taken.store(false);
        return;
      }
    }
    ++standing;
  }
  slot.faulted.store(false);
  slot.end.store(0, std::memory_order_release);
  slot.begin.store(reinterpret_cast<std::uintptr_t>(map), std::memory_order_release);
  slot.end.store(reinterpret_cast<std::uintptr_t>(map) + size, std::memory_order_release);
  slot_ = found;
}

BusErrorGuard::~BusErrorGuard() {
  if (slot_ < 0) return;
  Slot& slot = slots[slot_];
  slot.end.store(0, std::memory_order_release);
  slot.begin.store(0, std::memory_order_release);
  {
    const std::lock_guard lock(handlerMutex);
    if (--standing == 0) sigaction(SIGBUS, &previousBusErrorAction, nullptr);
  }
  slot.taken.store(false);
}

bool BusErrorGuard::faulted() const { return slot_ >= 0 && slots[slot_].faulted.load(); }
