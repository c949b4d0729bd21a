// Entry point of the static aarch64 phone binary, which runs inside the
// seccomp filter that Android puts on every app process and everything it
// starts. The filter answers a system call outside its list with SIGSYS,
// whose default action kills the process. The C library linked into the
// binary makes such calls (set_robust_list and rseq while it starts, before
// main; set_robust_list again in each thread it starts; faccessat2 in
// realpath), and every one of them has a fallback when the kernel answers
// ENOSYS. So the entry installs, before the C library's own entry runs, a
// SIGSYS handler that answers a trapped call with -ENOSYS, the answer of a
// kernel that lacks the call; and every thread starts with SIGSYS let
// through (see __wrap___clone below).
//
// The handler runs before thread-local storage exists and between any two
// instructions of the C library, so it calls nothing of the library, leaves
// errno alone, and this file is built without the stack protector.
#if defined(__aarch64__) && defined(__linux__)

#include <asm/unistd.h>
#include <signal.h>
#include <sys/types.h>
#include <ucontext.h>

#include <cerrno>
#include <cstdint>
#include <new>

namespace {

// si_code of a SIGSYS raised by a seccomp filter.
constexpr int kSysSeccomp = 1;

// The kernel's struct sigaction on aarch64 (not the C library's).
struct KernelSigaction {
  void (*handler)(int, siginfo_t*, void*);
  unsigned long flags;
  void (*restorer)();
  unsigned long mask;
};

[[gnu::always_inline]] inline long rawSyscall(long number, long a0 = 0, long a1 = 0, long a2 = 0,
                                              long a3 = 0) {
  register long x8 asm("x8") = number;
  register long x0 asm("x0") = a0;
  register long x1 asm("x1") = a1;
  register long x2 asm("x2") = a2;
  register long x3 asm("x3") = a3;
  asm volatile("svc #0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3) : "memory");
  return x0;
}

long setSigsysAction(const KernelSigaction& action) {
  return rawSyscall(__NR_rt_sigaction, SIGSYS, reinterpret_cast<long>(&action), 0,
                    sizeof action.mask);
}

[[gnu::no_stack_protector]] void answerTrappedCall(int, siginfo_t* info, void* context) {
  if (info->si_code == kSysSeccomp) {
    // The call did not run; execution goes on after it with this result.
    static_cast<ucontext_t*>(context)->uc_mcontext.regs[0] = static_cast<unsigned long>(-ENOSYS);
    return;
  }
  // Sent by someone: take the default action, as without this handler. The
  // signal stays blocked until the handler returns, and is taken then.
  setSigsysAction({reinterpret_cast<void (*)(int, siginfo_t*, void*)>(SIG_DFL), 0, nullptr, 0});
  const long pid = rawSyscall(__NR_getpid);
  rawSyscall(__NR_kill, pid, SIGSYS);
}

// A thread's start. glibc's pthread_create blocks every signal around the
// clone that starts a thread, and the new thread calls set_robust_list
// (and rseq, where the main thread's registration worked; under the filter
// it never does) before it restores its mask. A trapped call then meets a
// blocked SIGSYS, which the kernel turns back to the default action: the
// process ends. Every thread start of the C library goes through its
// __clone (this glibc has no clone3 wrapper, and the audit in
// scripts/android_syscalls.py fails where a binary makes that call); the
// binary is linked with --wrap=__clone, so the new thread runs
// startWithSigsys first, which lets SIGSYS alone through before the
// library's own start. The handler may run there: it needs no thread-local
// storage nor anything else of the library. A SIGSYS another process sends
// still ends the process. The library's start then sets the creator's mask,
// which lets SIGSYS through as well.
//
// The start function and its argument travel on the top of the new thread's
// stack, above the stack pointer the thread starts with, so nothing the
// thread pushes overwrites them.
struct ThreadStart {
  int (*function)(void*);
  void* argument;
};

constexpr unsigned long kSigsysBit = 1UL << (SIGSYS - 1);

[[gnu::no_stack_protector]] int startWithSigsys(void* start) {
  rawSyscall(__NR_rt_sigprocmask, SIG_UNBLOCK, reinterpret_cast<long>(&kSigsysBit), 0,
             sizeof kSigsysBit);
  const ThreadStart& thread = *static_cast<const ThreadStart*>(start);
  return thread.function(thread.argument);
}

}  // namespace

extern "C" [[gnu::no_stack_protector, gnu::used]] void uexpmod_install_sigsys_handler() {
  setSigsysAction({answerTrappedCall, SA_SIGINFO, nullptr, 0});
}

extern "C" int __real___clone(int (*function)(void*), void* stack, int flags, void* argument,
                              pid_t* parentTid, void* tls, pid_t* childTid);

extern "C" int __wrap___clone(int (*function)(void*), void* stack, int flags, void* argument,
                              pid_t* parentTid, void* tls, pid_t* childTid) {
  if (function == nullptr || stack == nullptr) {  // the library's own answer: EINVAL
    return __real___clone(function, stack, flags, argument, parentTid, tls, childTid);
  }
  // The stack grows down from `stack`, and a stack pointer is 16-byte aligned.
  constexpr auto kAlignment = std::uintptr_t{16};
  const std::uintptr_t top = reinterpret_cast<std::uintptr_t>(stack) & ~(kAlignment - 1);
  const std::uintptr_t below = (top - sizeof(ThreadStart)) & ~(kAlignment - 1);
  auto* start = new (reinterpret_cast<void*>(below)) ThreadStart{function, argument};
  return __real___clone(startWithSigsys, start, flags, start, parentTid, tls, childTid);
}

// The executable's entry (linked with -e uexpmod_entry). The kernel starts it
// with the stack pointer on argc and x0 holding the dynamic linker's exit
// function (null in a static binary); both pass unchanged to _start.
asm(R"(
  .text
  .globl uexpmod_entry
  .type uexpmod_entry, %function
uexpmod_entry:
  mov x19, x0
  bl uexpmod_install_sigsys_handler
  mov x0, x19
  b _start
  .size uexpmod_entry, . - uexpmod_entry
)");

#endif
