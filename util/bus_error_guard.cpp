#include "util/bus_error_guard.h"

#include <sys/mman.h>

#include <atomic>
#include <csignal>
#include <cstdint>

#include "util/page_size.h"

namespace {

static_assert(std::atomic<std::uintptr_t>::is_always_lock_free &&
              std::atomic<bool>::is_always_lock_free);  // usable in a signal handler
std::atomic<std::uintptr_t> guardedBegin{0};
std::atomic<std::uintptr_t> guardedEnd{0};
const std::uintptr_t kPageSize = pageSize();  // set before main, only read afterwards
std::atomic<bool> guardedFault{false};
std::atomic<bool> guardStands{false};  // one guard at a time
struct sigaction previousBusErrorAction = {};

extern "C" void onBusError(int signal, siginfo_t* info, void* /*context*/) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  if (address >= guardedBegin.load(std::memory_order_relaxed) &&
      address < guardedEnd.load(std::memory_order_relaxed)) {
    // mmap is a bare system call, safe in a handler though POSIX does not
    // list it; MAP_FIXED swaps the page in without touching the rest.
    void* const page = reinterpret_cast<void*>(address & ~(kPageSize - 1));
    if (::mmap(page, kPageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1,
               0) != MAP_FAILED) {
      guardedFault.store(true, std::memory_order_relaxed);
      return;
    }
  }
  // Not ours to mend: hand the fault, which happens again on return, to the
  // action that was there before.
  sigaction(signal, &previousBusErrorAction, nullptr);
}

}  // namespace

BusErrorGuard::BusErrorGuard(const void* map, std::size_t size) {
  // A second guard would save the first one's handler as the action to
  // restore, and once both were gone every SIGBUS would come back to it.
  if (guardStands.exchange(true)) return;
  guardedFault.store(false);
  guardedBegin.store(reinterpret_cast<std::uintptr_t>(map));
  guardedEnd.store(reinterpret_cast<std::uintptr_t>(map) + size);
  struct sigaction action = {};
  action.sa_sigaction = onBusError;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  installed_ = sigaction(SIGBUS, &action, &previousBusErrorAction) == 0;
  if (!installed_) release();
}

BusErrorGuard::~BusErrorGuard() {
  if (!installed_) return;
  sigaction(SIGBUS, &previousBusErrorAction, nullptr);
  release();
}

void BusErrorGuard::release() {
  guardedBegin.store(0);
  guardedEnd.store(0);
  guardStands.store(false);
}

bool BusErrorGuard::faulted() const { return guardedFault.load(); }
