#!/usr/bin/env python3
"""Counts the aarch64 instructions a whole uexpmod run executes, as phones run it.

Runs the static aarch64 build under qemu-aarch64 with a TCG plugin
(bench/qemu_plugin/insn_count.c) that adds each translated block's
instruction count at every execution of the block, and prints, for the
bench tree and each rule family (translators' rules_t*, chains rules_c*,
and the mix rules_x* of bench/make_rules.py):
  - the first run (no selection index), with 1 rule and with 1,000;
  - the repeated run (the tree unchanged since a run that kept its index),
    with 1 rule and with 1,000;
and Debian's arm64 ripgrep listing the same targets (rg -j1 -l -F -a) as the
peer; then the ratios: 1,000 ÷ 1 rule, first and repeated, and the first run
with one rule of each family ÷ the rg listing. Before counting, the plugin
must count a loop of known length exactly (bench/qemu_plugin/calibrate.c).

Instructions are a proxy for time: they leave out memory stalls and system
calls. They are exact and repeat from run to run (the tree is read into the
page cache first, so the tool takes the same path every time), so one run
shows a change's effect on the phone's code path, on a loaded machine too.
They depend on the tree's path (its length), so compare counts taken on the
same --tree.

    python3 bench/insn_count.py                          # this worktree's code
    python3 bench/insn_count.py --source /path/to/worktree --tree /tmp/insn-tree
    python3 bench/insn_count.py --tool BUILD/uexpmod     # a static aarch64 build whose
                                                         # root is <tree>/ws
    python3 bench/insn_count.py --families x --profile x1000 --profile-repeated
                                                         # and where a run's instructions went

--source builds the static aarch64 uexpmod of that worktree (the cross
toolchain's settings of scripts/build_android.sh) in SOURCE/build-insn, with
the tree's workspace compiled in; --tool takes a build made so
(-DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DUEXPMOD_STATIC=ON
-DUEXPMOD_WORKSPACE_ROOT=<tree>/ws). Two people counting at the same time
need a --tree each: a run rewrites the tree's rule folder and cache.

The tree is bench/workspace-insn at --scale 0.3 (about 300 MiB, 13 targets),
made by make_workspace.py with --seed. Needs qemu-user,
g++-aarch64-linux-gnu, libc6-arm64-cross, ripgrep (installed when run as
root), and the arm64 ripgrep package (scripts/packages.sh,
need_arm64_ripgrep). The x86-64 wall-clock ratios come from bench/run.py on
the same tree (the commands are printed at the end).
"""
import argparse
import atexit
import bisect
import os
import shutil
import subprocess
import sys
import tempfile
import time

from run import MARKER, REPO, ensure_tree

FAMILIES = {"t": "translator", "c": "chained", "x": "mix"}


def shell_helper(command):
    """Runs a function of scripts/packages.sh."""
    subprocess.run(["bash", "-c", '. "%s/scripts/packages.sh" && %s' % (REPO, command)], check=True)


def build_tool(source, ws):
    """The static aarch64 uexpmod of `source`, with `ws` as its workspace root."""
    build = os.path.join(source, "build-insn")
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    subprocess.run(["cmake", "-S", source, "-B", build] + generator +
                   ["-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(source, "cmake", "aarch64-linux-gnu.cmake"),
                    "-DCMAKE_BUILD_TYPE=Release", "-DUEXPMOD_STATIC=ON", "-DUEXPMOD_BUILD_TESTS=OFF",
                    "-DUEXPMOD_WORKSPACE_ROOT=" + ws], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--target", "uexpmod", "--parallel", "2"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build, "uexpmod")


def build_plugin(folder):
    os.makedirs(folder, exist_ok=True)
    plugin = os.path.join(folder, "insn_count.so")
    subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-Wall", "-Wextra", "-o", plugin,
                    os.path.join(REPO, "bench", "qemu_plugin", "insn_count.c")], check=True)
    return plugin


class Counter:
    """Runs aarch64 programs under qemu-aarch64 with the counting plugin."""

    def __init__(self, plugin):
        self.plugin = plugin
        fd, self.out = tempfile.mkstemp(prefix="insn-")
        os.close(fd)
        atexit.register(lambda: os.path.exists(self.out) and os.unlink(self.out))

    def run(self, argv, stdin_text="", env=None, count=True, profile=None):
        """(instructions or None, wall seconds under qemu, standard output);
        with `profile`, the plugin's per-block counts go to that file."""
        if os.path.exists(self.out):
            os.unlink(self.out)
        options = "%s,out=%s" % (self.plugin, self.out) + (",profile=" + profile if profile else "")
        qemu = ["qemu-aarch64"] + (["-plugin", options] if count else [])
        start = time.perf_counter()
        done = subprocess.run(qemu + argv, input=stdin_text.encode(), capture_output=True,
                              env=dict(os.environ, **(env or {})))
        seconds = time.perf_counter() - start
        if done.returncode != 0:
            sys.exit("failed (%d): %s\n%s" % (done.returncode, " ".join(argv),
                                              done.stderr.decode(errors="replace")[-2000:]))
        if not count:
            return None, seconds, done.stdout.decode(errors="replace")
        with open(self.out) as f:
            return int(f.read()), seconds, done.stdout.decode(errors="replace")


def print_profile(profile, binary, total, top=25):
    """The functions of `binary` that executed the most of `total`
    instructions, from the plugin's per-block counts (a block is charged to
    the symbol at or below its first address)."""
    listing = subprocess.run(["aarch64-linux-gnu-nm", "-C", "-n", "--defined-only", binary],
                             capture_output=True, text=True).stdout
    starts, names = [], []
    for line in listing.splitlines():
        parts = line.split(" ", 2)
        if len(parts) == 3 and parts[1] in "tTwW":
            starts.append(int(parts[0], 16))
            names.append(parts[2])
    by_name = {}
    with open(profile) as f:
        for line in f:
            vaddr, insns, runs = line.split()
            k = bisect.bisect_right(starts, int(vaddr, 16)) - 1
            name = names[k] if k >= 0 else "0x" + vaddr
            by_name[name] = by_name.get(name, 0) + int(insns) * int(runs)
    if sum(by_name.values()) != total:
        sys.exit("the profile's blocks add up to %d instructions, not %d" % (sum(by_name.values()), total))
    if not starts:
        print("  (no symbols in %s: profile an unstripped build)" % binary)
    for name, n in sorted(by_name.items(), key=lambda item: -item[1])[:top]:
        print("  %6.2f %%  %12d  %s" % (100.0 * n / total, n, name[:110]))


def calibrate(counter, folder):
    """Fails unless the plugin counts a loop of a known number of
    instructions exactly: two runs of bench/qemu_plugin/calibrate.c, one
    million and two million iterations of two instructions, differ by two
    million."""
    program = os.path.join(folder, "calibrate")
    subprocess.run(["aarch64-linux-gnu-gcc", "-O1", "-static", "-o", program,
                    os.path.join(REPO, "bench", "qemu_plugin", "calibrate.c")], check=True)
    once = counter.run([program, "1000000"])[0]
    twice = counter.run([program, "2000000"])[0]
    if twice - once != 2000000:
        sys.exit("the counting plugin is off: %d and %d instructions for 1 and 2 million "
                 "iterations of 2" % (once, twice))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    which = ap.add_mutually_exclusive_group()
    which.add_argument("--tool", help="a static aarch64 uexpmod whose workspace root is <tree>/ws")
    which.add_argument("--source", default=REPO, help="a worktree to build the tool from (default: this one)")
    ap.add_argument("--tree", default=os.path.join(REPO, "bench", "workspace-insn"))
    ap.add_argument("--scale", type=float, default=0.3)
    ap.add_argument("--seed", type=int, default=20261207, help="the tree's seed (make_workspace.py)")
    ap.add_argument("--families", default="t,c,x", help="rule families: t translator, c chained, x mix")
    ap.add_argument("--rules", default="1,1000", help="rule counts per family (1, 10, 100, 1000)")
    ap.add_argument("--no-rg", action="store_true", help="skip the arm64 ripgrep peer")
    ap.add_argument("--profile", metavar="RULES",
                    help="also print the functions that ran the most instructions in a run with "
                         "rules_RULES.txt (t1000, x1000, ...), a first run unless --profile-repeated")
    ap.add_argument("--profile-repeated", action="store_true", help="profile a repeated run")
    args = ap.parse_args()

    shell_helper("need_packages cmake g++ qemu-user g++-aarch64-linux-gnu libc6-arm64-cross ripgrep")
    tree = os.path.abspath(args.tree)
    ws = os.path.join(tree, "ws")
    unpack = os.path.join(ws, "uexp解包")
    config = os.path.join(ws, "配置")
    cache = os.path.join(tree, "cache")
    ensure_tree(tree, args.scale, args.seed)
    tools = os.path.join(REPO, "build-insn-tools")
    plugin = build_plugin(tools)
    if args.tool:
        tool = os.path.abspath(args.tool)
        with open(tool, "rb") as f:
            if ws.encode() not in f.read():
                sys.exit("%s does not hold the workspace root %s: build it with "
                         "-DUEXPMOD_WORKSPACE_ROOT=%s (or use --source)" % (tool, ws, ws))
    else:
        tool = build_tool(os.path.abspath(args.source), ws)
    rg_root = os.path.join(tools, "rg-arm64")
    if not args.no_rg:
        shell_helper('need_arm64_ripgrep "%s"' % rg_root)
    os.environ["XDG_CACHE_HOME"] = cache
    counter = Counter(plugin)
    calibrate(counter, tools)

    # The tree in the page cache, so every run takes the same path.
    subprocess.run("find '%s' -type f -print0 | xargs -0 cat > /dev/null" % unpack, shell=True, check=True)
    expected = subprocess.run("rg -l -F -a -j1 -g '*.uexp' '%s' '%s' | wc -l" % (MARKER, unpack),
                              shell=True, capture_output=True, text=True, check=True).stdout.strip()

    def use_rules(name, keep_index):
        shutil.rmtree(config, ignore_errors=True)
        os.makedirs(config)
        shutil.copy(os.path.join(tree, "rules", "rules_%s.txt" % name), os.path.join(config, "rules.txt"))
        if not keep_index:
            shutil.rmtree(cache, ignore_errors=True)

    # One thread, where the build takes -j: the plugin's count is exact only
    # for a program that runs guest code on one thread at a time (the tool
    # takes a thread a processor by default). A build from before the
    # command line would start a run instead of printing its version.
    version = counter.run([tool, "-j", "1", "--version"], count=False)[2]
    command = [tool, "-j", "1"] if version.startswith("uexpmod") else [tool]

    def count_tool(name, repeated):
        use_rules(name, keep_index=repeated)
        if repeated:  # the run that leaves the index the counted one finds
            counter.run(command, "1\n1\n", count=False)
        n, seconds, out = counter.run(command, "1\n1\n")
        if ("匹配到 %s 个文件" % expected) not in out:
            sys.exit("uexpmod (rules_%s) and rg disagree on the matches (rg: %s)\n%s" % (name, expected, out))
        return n, seconds

    # A file the index may record has settled for two seconds; and the
    # repack folder holds a run's copies before every counted run (a run
    # removes the copies of the one before it).
    newest = max(os.stat(os.path.join(d, f)).st_mtime for d, _, fs in os.walk(unpack) for f in fs)
    time.sleep(max(0.0, newest + 3 - time.time()))
    use_rules("t1", keep_index=False)
    counter.run(command, "1\n1\n", count=False)

    counts = {}
    rows = []
    families = [f for f in args.families.split(",") if f]
    sizes = [int(n) for n in args.rules.split(",")]
    for family in families:
        for repeated in (False, True):
            for n in sizes:
                name = "%s%d" % (family, n)
                counts[(family, repeated, n)], seconds = count_tool(name, repeated)
                rows.append(("%s %d, %s" % (FAMILIES.get(family, family), n, "repeated" if repeated else "first run"),
                             counts[(family, repeated, n)], seconds))
                print("  %-32s %14d  (%.1f s under qemu)" % rows[-1], file=sys.stderr)
    rg = None
    if not args.no_rg:
        rg, seconds, out = counter.run(
            [os.path.join(rg_root, "usr", "bin", "rg"), "-j1", "-l", "-F", "-a", "-g", "*.uexp", MARKER, unpack],
            env={"QEMU_LD_PREFIX": rg_root})
        if str(len(out.splitlines())) != expected:
            sys.exit("arm64 rg listed %d files, x86-64 rg %s" % (len(out.splitlines()), expected))
        rows.append(("aarch64 rg -j1 -l -F -a", rg, seconds))

    profile = None
    if args.profile:
        profile = os.path.join(tools, "profile.txt")
        use_rules(args.profile, keep_index=args.profile_repeated)
        if args.profile_repeated:
            counter.run([tool], "1\n1\n", count=False)
        profiled = counter.run(command, "1\n1\n", profile=profile)[0]

    size = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(unpack) for f in fs if f.endswith(".uexp"))
    print("tree: %s, %.0f MiB of .uexp, %s targets; tool: %s" % (tree, size / 2**20, expected, tool))
    print("aarch64 instructions executed (qemu-aarch64 with bench/qemu_plugin/insn_count.c):")
    print("  %-32s %12s %14s" % ("run", "millions", "exact"))
    for label, n, seconds in rows:
        print("  %-32s %12.1f %14d" % (label, n / 1e6, n))
    print("ratios:")
    big, small = max(sizes), min(sizes)
    for family in families:
        for repeated, target in ((False, 1.1), (True, 2.5)):
            print("  %-10s %-9s %d ÷ %d rules = %6.2f  (target <= %.1f)" % (
                FAMILIES.get(family, family), "repeated" if repeated else "first run", big, small,
                counts[(family, repeated, big)] / counts[(family, repeated, small)], target))
    if rg:
        for family in families:
            print("  %-10s first run, %d rule ÷ rg -j1 listing = %.2f  (target <= 0.5)" % (
                FAMILIES.get(family, family), small, counts[(family, False, small)] / rg))
    if profile:
        print("where the instructions of a %s run with rules_%s.txt went (%d in all):"
              % ("repeated" if args.profile_repeated else "first", args.profile, profiled))
        print_profile(profile, tool, profiled)
    same = "--tree '%s' --scale %s --seed %d" % (tree, args.scale, args.seed)
    print("x86-64 wall-clock ratios on the same tree (first run, then the repeated run; --pages for single pages):")
    print("  python3 bench/run.py %s --rounds 9 --no-memory" % same)
    print("  python3 bench/run.py %s --rounds 9 --no-memory --repeated" % same)


if __name__ == "__main__":
    main()
