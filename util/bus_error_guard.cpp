#include "util/bus_error_guard.h"

#include <sys/mman.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <mutex>

#include "util/page_size.h"

namespace {

static_assert(std::atomic<std::uintptr_t>::is_always_lock_free &&
              std::atomic<std::uint32_t>::is_always_lock_free &&
              std::atomic<bool>::is_always_lock_free);  // usable in a signal handler

// One guarded map, written only by the guard that took the slot, read by the
// handler on any thread. The range is published as a sequence lock: the
// version is odd while it changes, so that the handler never takes the
// begin of one map with the end of another (which could cover an address
// of a third). A faulting thread's own slot cannot change during its fault.
struct Slot {
  std::atomic<bool> taken{false};
  std::atomic<std::uint32_t> version{0};
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> faulted{false};

  void publish(std::uintptr_t first, std::uintptr_t last) {
    version.fetch_add(1);
    begin.store(first);
    end.store(last);
    version.fetch_add(1);
  }
  bool holds(std::uintptr_t address) const {
    const std::uint32_t before = version.load();
    if (before % 2 != 0) return false;
    const bool inside = address >= begin.load() && address < end.load();
    return inside && version.load() == before;
  }
};
Slot slots[BusErrorGuard::kSlots];

const std::uintptr_t kPageSize = pageSize();  // set before main, only read afterwards

// The handler is installed while at least one guard stands. Installing and
// restoring happen under this mutex, never in the handler.
std::mutex handlerMutex;
int standing = 0;                            // guards installed, under handlerMutex
struct sigaction previousBusErrorAction = {};  // written before the handler is installed

extern "C" void onBusError(int signal, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  // si_code > 0: raised by a fault at si_addr; otherwise sent by someone.
  const bool fault = info->si_code > 0;
  for (Slot& slot : slots) {
    if (!fault || !slot.holds(address)) continue;
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
  const struct sigaction& previous = previousBusErrorAction;
  if (!fault && previous.sa_handler != SIG_DFL) {
    // Sent: taken as the action that was there before would take it, and
    // this handler stays for the guards that stand.
    if ((previous.sa_flags & SA_SIGINFO) != 0) {
      previous.sa_sigaction(signal, info, context);
    } else if (previous.sa_handler != SIG_IGN) {
      previous.sa_handler(signal);
    }
    return;
  }
  // Not ours to mend: the action that was there before takes over. A fault
  // happens again on return; a sent signal, blocked while this handler
  // runs, is raised again and taken on return.
  sigaction(signal, &previous, nullptr);
  if (!fault) ::raise(signal);
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
  slot.publish(reinterpret_cast<std::uintptr_t>(map), reinterpret_cast<std::uintptr_t>(map) + size);
  slot_ = found;
}

BusErrorGuard::~BusErrorGuard() {
  if (slot_ < 0) return;
  Slot& slot = slots[slot_];
  slot.publish(0, 0);
  {
    const std::lock_guard lock(handlerMutex);
    if (--standing == 0) sigaction(SIGBUS, &previousBusErrorAction, nullptr);
  }
  slot.taken.store(false);
}

bool BusErrorGuard::faulted() const { return slot_ >= 0 && slots[slot_].faulted.load(); }
