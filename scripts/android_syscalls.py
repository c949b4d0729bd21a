#!/usr/bin/env python3
"""System calls of the static aarch64 phone binary against Android's app
seccomp policy (the lists in tests/android/).

  android_syscalls.py numbers API
      prints the aarch64 numbers of the calls the policy of API level API
      allows, one a line
  android_syscalls.py audit BINARY [TRACE...]
      lists the calls the binary can make: those at its `svc` sites (read from
      the disassembly; the binary must keep its symbols), and those named in
      qemu-aarch64 -strace logs. Prints every call a policy blocks, by name,
      and the calls of a thread's start against every policy. Exits 1 if a
      call blocked at API 26 is not one the binary's SIGSYS handler is known
      to answer with ENOSYS to a C library that falls back, or if the C
      library's clone is reached other than through the binary's own
      (__wrap___clone, which starts each thread with SIGSYS let through).

Needs aarch64-linux-gnu-gcc (for the kernel's numbers) and
aarch64-linux-gnu-objdump.
"""
import pathlib
import re
import subprocess
import sys

POLICIES = pathlib.Path(__file__).resolve().parent.parent / "tests" / "android"

# Calls outside the API-26 list that the C library makes and survives when
# they fail with ENOSYS: robust futex lists and restartable sequences are
# only registered when available, and faccessat2 falls back to faccessat.
# A new thread calls set_robust_list (and rseq, were the main thread's
# registered) before it restores its signal mask: answered there only
# because the binary's clone lets SIGSYS through first (see
# app/seccomp_entry.cpp), which the audit checks.
ANSWERED_WITH_ENOSYS = {"set_robust_list", "rseq", "faccessat2"}

# The functions from pthread_create to the new thread's first call of the
# tool: the C library's, and the clone the binary wraps it with.
THREAD_START = ("__pthread_create", "create_thread", "__clone_internal", "__wrap___clone",
                "__clone", "start_thread", "startWithSigsys")


def kernel_numbers():
    """name -> number, from the kernel headers of the aarch64 cross compiler."""
    defines = subprocess.run(
        ["aarch64-linux-gnu-gcc", "-E", "-dM", "-"], input="#include <asm/unistd.h>\n",
        capture_output=True, text=True, check=True).stdout
    raw = dict(re.findall(r"^#define (__NR\w*_\w+) (\S+)$", defines, re.M))

    def resolve(value, depth=0):
        while value in raw and depth < 8:
            value, depth = raw[value], depth + 1
        return int(value) if value.isdigit() else None

    numbers = {}
    for macro, value in raw.items():
        if macro.startswith("__NR_") and (number := resolve(value)) is not None:
            numbers[macro[len("__NR_"):]] = number
    return numbers


def policy(api):
    path = POLICIES / f"seccomp-app-arm64-{api}.txt"
    return {line.strip() for line in path.read_text().splitlines() if line.strip()}


def policy_levels():
    return sorted(int(re.search(r"-(\d+)\.txt$", p.name).group(1))
                  for p in POLICIES.glob("seccomp-app-arm64-*.txt"))


def svc_calls(binary, names_by_number):
    """Calls made at the binary's svc sites; the functions whose number is not
    a constant at the site; the functions that call or jump to the C
    library's clone other than the binary's wrapper; and whether that
    wrapper exists."""
    listing = subprocess.run(["aarch64-linux-gnu-objdump", "-d", "--no-show-raw-insn", binary],
                             capture_output=True, text=True, check=True).stdout
    calls, unresolved, unwrapped = {}, set(), set()
    wrapped = False
    function, x8 = "?", None
    for line in listing.splitlines():
        if m := re.match(r"^[0-9a-f]+ <(.+)>:$", line):
            function, x8 = m.group(1), None
            wrapped = wrapped or function == "__wrap___clone"
            continue
        parts = line.split("\t")
        if len(parts) < 2:
            continue
        instruction = " ".join(parts[1:]).strip()
        if (re.match(r"bl?\s+[0-9a-f]+ <(__clone|clone)>$", instruction)
                and function != "__wrap___clone"):
            unwrapped.add(function)
        if m := re.match(r"mov\s+[xw]8, #(0x[0-9a-f]+|\d+)", instruction):
            x8 = int(m.group(1), 0)
        elif re.match(r"\w+\s+[xw]8,", instruction):
            x8 = None  # loaded from somewhere else
        elif re.match(r"svc\s", instruction):
            if x8 is None:
                unresolved.add(function)
            else:
                calls.setdefault(names_by_number.get(x8, f"#{x8}"), set()).add(function)
    return calls, unresolved, unwrapped, wrapped


def traced_calls(paths):
    calls = {}
    for path in paths:
        for line in pathlib.Path(path).read_text(errors="replace").splitlines():
            if m := re.match(r"^\d+ (\w+)\(", line):
                calls.setdefault(m.group(1), set()).add("trace")
    return calls


def audit(binary, traces):
    numbers = kernel_numbers()
    names_by_number = {}
    for name, number in sorted(numbers.items()):
        names_by_number.setdefault(number, name)
    calls, unresolved, unwrapped, wrapped = svc_calls(binary, names_by_number)
    thread_start = sorted(n for n, where in calls.items()
                          if any(f == t or t in f for f in where for t in THREAD_START))
    for name, where in traced_calls(traces).items():
        calls.setdefault(name, set()).update(where)
    print(f"{len(calls)} system calls found at svc sites and in {len(traces)} traces")
    if unresolved:
        print("svc sites with a number that is not a constant there (covered by the traces only): "
              + ", ".join(sorted(unresolved)))
    unexpected = []
    for api in policy_levels():
        allowed = policy(api)
        blocked = sorted(n for n in calls if n not in allowed)
        print(f"API {api}: blocked: " + (", ".join(blocked) if blocked else "none"))
        if api == policy_levels()[0]:
            unexpected = [n for n in blocked if n not in ANSWERED_WITH_ENOSYS]
    print("a thread's start: " + (", ".join(thread_start) if thread_start else "none"))
    for api in policy_levels():
        blocked = sorted(n for n in thread_start if n not in policy(api))
        print(f"  API {api}: blocked: " + (", ".join(blocked) if blocked else "none"))
    for name in unexpected:
        print(f"  {name} is blocked and not known to be answered safely; made in: "
              + ", ".join(sorted(calls[name])))
    threads = "start_thread" in calls.get("set_robust_list", set())
    if threads and not wrapped:
        print("  threads start with every signal blocked: no __wrap___clone lets SIGSYS through")
    for function in sorted(unwrapped):
        print(f"  {function} reaches the C library's clone without __wrap___clone")
    return 1 if unexpected or (threads and not wrapped) or unwrapped else 0


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "numbers":
        numbers = kernel_numbers()
        missing = sorted(n for n in policy(sys.argv[2]) if n not in numbers)
        if missing:
            sys.exit("no aarch64 number for: " + ", ".join(missing))
        print("\n".join(str(numbers[n]) for n in sorted(policy(sys.argv[2]))))
        return 0
    if len(sys.argv) >= 3 and sys.argv[1] == "audit":
        return audit(sys.argv[2], sys.argv[3:])
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main())
