#!/usr/bin/env python3
"""Times whole uexpmod runs against the tools a user could use instead.

Builds uexpmod with its workspace inside the benchmark tree, generates that
tree once (make_workspace.py), evicts the tree from the page cache and reads
it back once with cat (a defined warm state), then runs in each round,
one after another: uexpmod with 1, 10, 100 and 1,000 rules; ripgrep and GNU
grep listing the files that contain the marker; ripgrep's list followed by
copying those files (what the selection stage does); and the read floor, every
.uexp file read once by cat. Prints the median wall time and peak resident
memory of each, and the ratios the project's targets are stated in.

With --pages, the tree is read back page by page through maps instead of by
cat, so the page cache holds it in single pages, as a phone's kernel does
(cat leaves large folios on kernels that cache ext4 files in them); the
share of large folios is printed, as seen through /proc/kpageflags.

With --cold, the tree is evicted from the page cache before every command
(posix_fadvise DONTNEED on each file after a sync), and only the 1-rule run,
ripgrep with its default threads and with one, ripgrep's list copied, and
the read floor are timed; for each, how long the storage device was busy, the
mean size of its read requests and how many were in flight on average.

--seed makes another tree (sizes, folders, targets and content), one the
tool was not tuned on; --tree puts it elsewhere.

With --repeated, the run modders repeat is timed instead: the tree
unchanged since a run that kept its selection index, so that uexpmod opens
only the targets it copies. Its peers: ripgrep with its default threads
followed by the copies, and the floor of its work, removing the repack folder
and copying just the known targets (rm -rf, cp --parents). Every other
uexpmod run starts without an index ($XDG_CACHE_HOME is a folder of the tree,
emptied before each). --near-misses and --extra-files pass to
make_workspace.py.

usage: bench/run.py [--rounds 5] [--scale 1.0] [--seed N] [--tree /path] [--pages | --cold] [--no-memory]
                    [--search-alone UEXPMOD] [--repeated] [--near-misses N] [--extra-files N]
needs: cmake, a C++ compiler, ripgrep, grep, GNU time (apt-get install ripgrep time)
"""
import argparse
import hashlib
import mmap
import os
import shutil
import statistics
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MARKER = "Game/Mod/Escape/Audio/WwiseBank/"




def run_measured(cmd, stdin_text=None, shell=False):
    """Wall seconds and peak resident memory (KiB) of one command.

    GNU time forks the command from its own small process and reports the
    peak from wait4, so the figure is the command's own (for a shell line, the
    largest of the programs it ran), not this interpreter's.
    """
    argv = ["/bin/sh", "-c", cmd] if shell else list(cmd)
    start = time.perf_counter()
    done = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, input=(stdin_text or "").encode(),
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit("command failed: %s" % (cmd,))
    return elapsed, int(done.stderr.decode().strip().splitlines()[-1])


def evict(folder):
    """Drops every file below `folder` from the page cache (after a sync),
    without touching the rest of the system's cache."""
    for d, _, files in os.walk(folder):
        for name in files:
            fd = os.open(os.path.join(d, name), os.O_RDONLY)
            try:
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            finally:
                os.close(fd)


def settle_in_pages(folder):
    """Evicts `folder` and reads every file back one page at a time through a
    map with read-ahead off, so every cached page is a folio of its own."""
    os.sync()
    evict(folder)
    for d, _, files in os.walk(folder):
        for name in files:
            with open(os.path.join(d, name), "rb") as f:
                size = os.fstat(f.fileno()).st_size
                if size == 0:
                    continue
                with mmap.mmap(f.fileno(), size, prot=mmap.PROT_READ) as m:
                    m.madvise(mmap.MADV_RANDOM)
                    for at in range(0, size, mmap.PAGESIZE):
                        m[at]


def large_folio_share(folder):
    """The share of `folder`'s cached .uexp pages (every 7th file) that sit in
    large folios, or None where /proc/kpageflags cannot be read (not root)."""
    helper = os.path.join(REPO, "build-bench", "page_state")
    subprocess.run(["c++", "-O2", "-o", helper, os.path.join(REPO, "bench", "page_state.cpp")], check=True)
    files = sorted(os.path.join(d, f) for d, _, fs in os.walk(folder) for f in fs if f.endswith(".uexp"))
    done = subprocess.run([helper], input="\n".join(files[::7]), capture_output=True, text=True)
    if done.returncode != 0:
        return None
    cached, large = (int(x) for x in done.stdout.split())
    return large / cached if cached else 0.0


def disk_reads(folder):
    """A function giving the read counters of the block device that holds
    `folder`: (requests, sectors, ms the requests spent queued and served,
    ms the device was busy), from /proc/diskstats; None where the folder is
    on no block device of its own (FUSE, tmpfs)."""
    dev = os.stat(folder).st_dev
    key = (os.major(dev), os.minor(dev))

    def read():
        with open("/proc/diskstats") as stats:
            for line in stats:
                f = line.split()
                if (int(f[0]), int(f[1])) == key:
                    return int(f[3]), int(f[5]), int(f[6]), int(f[12])
        return None
    return read if read() is not None else None


def memory_check(tree):
    """Peak memory of a selection over one huge file, and of a rewrite of one.

    A second build of the tool works on its own small workspace holding a
    single 256 MiB .uexp: first without the marker (the run ends after the
    selection), then with the marker in its last bytes and a rule that occurs
    in it (the file is copied, read whole and rewritten)."""
    ws = os.path.join(tree, "memory-ws")
    build = os.path.join(REPO, "build-bench-memory")
    subprocess.run(["cmake", "-S", REPO, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                    "-DUEXPMOD_WORKSPACE_ROOT=" + ws, "-DUEXPMOD_BUILD_TESTS=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--target", "uexpmod"], check=True, stdout=subprocess.DEVNULL)
    shutil.rmtree(ws, ignore_errors=True)
    for sub in ("pak", "配置", "uexp解包"):
        os.makedirs(os.path.join(ws, sub))
    with open(os.path.join(ws, "pak", "m.pak"), "wb") as f:
        f.write(b"PAK")
    with open(os.path.join(ws, "配置", "r.txt"), "w") as f:
        f.write("VoiceLine_00001=ModLine_X_00001\n")
    size = 256 << 20
    big = os.path.join(ws, "uexp解包", "big.uexp")
    block = (b"\0" * 4000 + b"VoiceLine_00001" + b"/Game/Mod/Escape/Audio/Wwise" + b"\1" * 53)
    with open(big, "wb") as f:
        f.write((block * (size // len(block) + 1))[:size])
    results = []
    for label, tail in (("selection only, 256 MiB file without the marker", None),
                        ("selection, copy and rewrite of a 256 MiB target", MARKER.encode())):
        if tail:
            with open(big, "r+b") as f:
                f.seek(size - len(tail))
                f.write(tail)
        seconds, peak = run_measured([os.path.join(build, "uexpmod")], "1\n1\n")
        results.append((label, seconds, peak / 1024))
    return results


def ensure_tree(tree, scale, seed, near_misses=0, extra_files=0):
    """Makes the benchmark tree with make_workspace.py, again whenever its
    arguments or the generators changed since it was made."""
    stamp = os.path.join(tree, ".scale")
    generator = os.path.join(REPO, "bench", "make_workspace.py")
    digest = hashlib.sha256()
    for name in ("make_workspace.py", "make_rules.py"):
        path = os.path.join(REPO, "bench", name)
        if os.path.exists(path):
            with open(path, "rb") as f:
                digest.update(f.read())
    made_by = "%s %s %s %s %s" % (scale, seed, near_misses, extra_files, digest.hexdigest())
    if not os.path.exists(stamp) or open(stamp).read() != made_by:
        subprocess.run([sys.executable, generator, tree, "--scale", str(scale), "--seed", str(seed),
                        "--near-misses", str(near_misses), "--extra-files", str(extra_files)], check=True)
        with open(stamp, "w") as f:
            f.write(made_by)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--scale", type=float, default=1.0)
    ap.add_argument("--seed", type=int, default=20261207, help="the tree's seed (make_workspace.py)")
    ap.add_argument("--tree", default=os.path.join(REPO, "bench", "workspace"))
    ap.add_argument("--pages", action="store_true",
                    help="warm, with the tree cached in single pages instead of read back by cat")
    ap.add_argument("--cold", action="store_true",
                    help="evict the tree from the page cache before every command")
    ap.add_argument("--no-memory", action="store_true", help="skip the 256 MiB memory check")
    ap.add_argument("--repeated", action="store_true",
                    help="time the repeated run, with the selection index of an unchanged tree")
    ap.add_argument("--near-misses", type=int, default=0, help="make_workspace.py --near-misses")
    ap.add_argument("--extra-files", type=int, default=0, help="make_workspace.py --extra-files")
    ap.add_argument("--search-alone", metavar="UEXPMOD",
                    help="a build whose marker ends in 'WwiseBanQ/', which no file holds: its run "
                         "is the search alone (and emptying the repack folder), timed against rg "
                         "listing with the same marker")
    args = ap.parse_args()

    tree = os.path.abspath(args.tree)
    ws = os.path.join(tree, "ws")
    unpack = os.path.join(ws, "uexp解包")
    ensure_tree(tree, args.scale, args.seed, args.near_misses, args.extra_files)

    build = os.path.join(REPO, "build-bench")
    subprocess.run(["cmake", "-S", REPO, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                    "-DUEXPMOD_WORKSPACE_ROOT=" + ws, "-DUEXPMOD_BUILD_TESTS=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--target", "uexpmod"], check=True,
                   stdout=subprocess.DEVNULL)
    tool = os.path.join(build, "uexpmod")

    config = os.path.join(ws, "配置")
    # The peer empties and fills the tool's own repack folder. On ext4 without
    # a journal (this machine's root), a new inode skips those deleted in the
    # last minutes, so files cost more to create where many were deleted
    # lately; in one folder both pay alike (see bench/README.md).
    copies = os.path.join(ws, "uexp打包")

    with open(os.path.join(tree, "rules", "rules_none.txt"), "w") as f:
        f.write("NeverInAnyFile=NotEverWritten\n")

    # The tool's caches: its selection index and the rules' occurrences,
    # emptied before every run but the repeated ones, which keep what the run
    # before them with the same rule file wrote (a folder for each, as a user
    # running one rule file again has).
    cache = os.path.join(tree, "cache")
    os.environ["XDG_CACHE_HOME"] = cache

    def use_rules(n, keep_index=False):
        shutil.rmtree(config, ignore_errors=True)
        os.makedirs(config)
        shutil.copy(os.path.join(tree, "rules", "rules_%s.txt" % n), os.path.join(config, "rules.txt"))
        os.environ["XDG_CACHE_HOME"] = cache + "-%s" % n if keep_index else cache
        if not keep_index:
            shutil.rmtree(cache, ignore_errors=True)

    uexp_glob = "-g '*.uexp'"
    commands = {}
    # Selects and copies like the peers, then reads the copies but writes nothing.
    commands["uexpmod, rule matching none"] = (lambda: use_rules("none"), [tool], "1\n1\n", False)
    for n in (1, 10, 100, 1000):
        commands["uexpmod, %d rules" % n] = (lambda n=n: use_rules(n), [tool], "1\n1\n", False)
    for n in (1, 10, 100, 1000):
        commands["uexpmod, %d translator" % n] = (lambda n=n: use_rules("t%d" % n), [tool], "1\n1\n", False)
    for n in (10, 100, 1000):
        commands["uexpmod, %d chained" % n] = (lambda n=n: use_rules("c%d" % n), [tool], "1\n1\n", False)
    for n in (1, 10, 100, 1000):
        commands["uexpmod, %d mix" % n] = (lambda n=n: use_rules("x%d" % n), [tool], "1\n1\n", False)
    commands["rg -l -F -a -j1"] = (None, "rg -l -F -a -j1 %s '%s' '%s' > /dev/null" % (uexp_glob, MARKER, unpack), None, True)
    commands["rg -l -F -a -j1 + cp"] = (
        None, "rm -rf '%s' && mkdir -p '%s' && cd '%s' && rg -l -0 -F -a -j1 %s '%s' . | xargs -0 -r cp --parents -t '%s'"
        % (copies, copies, unpack, uexp_glob, MARKER, copies), None, True)
    commands["rg -l -F -a + cp"] = (
        None, "rm -rf '%s' && mkdir -p '%s' && cd '%s' && rg -l -0 -F -a %s '%s' . | xargs -0 -r cp --parents -t '%s'"
        % (copies, copies, unpack, uexp_glob, MARKER, copies), None, True)
    commands["grep -rlF -a"] = (None, "grep -rlF -a --include='*.uexp' '%s' '%s' > /dev/null" % (MARKER, unpack), None, True)
    commands["read floor (cat)"] = (None, "find '%s' -name '*.uexp' -print0 | xargs -0 cat > /dev/null" % unpack, None, True)
    if args.search_alone:
        never = MARKER.replace("WwiseBank/", "WwiseBanQ/")
        commands["uexpmod, search alone"] = (lambda: use_rules(1), [os.path.abspath(args.search_alone)], "1\n1\n", False)
        commands["rg -j1, marker never found"] = (
            None, "rg -l -F -a -j1 %s '%s' '%s' > /dev/null; true" % (uexp_glob, never, unpack), None, True)
    if args.cold:
        # Cold: the tree is evicted before every command. rg keeps its
        # default threads, the peer a user would run on a cold tree.
        keep = ("uexpmod, 1 rules", "rg -l -F -a -j1", "rg -l -F -a -j1 + cp", "rg -l -F -a + cp",
                "read floor (cat)")
        commands = {name: commands[name] for name in keep}
        commands["rg -l -F -a"] = (None, "rg -l -F -a %s '%s' '%s' > /dev/null" % (uexp_glob, MARKER, unpack), None, True)
    targets_list = os.path.join(tree, "targets.list")
    read_floor = commands["read floor (cat)"][1]
    if args.repeated:
        # The repeated run against ripgrep with its threads and the copies,
        # and against the floor of its own work.
        commands = {
            "uexpmod, repeated, 1 rule": (lambda: use_rules(1, keep_index=True), [tool], "1\n1\n", False),
            "uexpmod, repeated, 1 translator": (lambda: use_rules("t1", keep_index=True), [tool], "1\n1\n", False),
            "uexpmod, repeated, 1000 translator": (
                lambda: use_rules("t1000", keep_index=True), [tool], "1\n1\n", False),
            "uexpmod, repeated, 1 mix": (lambda: use_rules("x1", keep_index=True), [tool], "1\n1\n", False),
            "uexpmod, repeated, 1000 mix": (lambda: use_rules("x1000", keep_index=True), [tool], "1\n1\n", False),
            "uexpmod, first run, 1 rule": commands["uexpmod, 1 rules"],
            "rg -l -F -a": (None, "rg -l -F -a %s '%s' '%s' > /dev/null" % (uexp_glob, MARKER, unpack), None, True),
            "rg -l -F -a + cp": (
                None, "rm -rf '%s' && mkdir -p '%s' && cd '%s' && rg -l -0 -F -a %s '%s' . | xargs -0 -r cp --parents -t '%s'"
                % (copies, copies, unpack, uexp_glob, MARKER, copies), None, True),
            "floor: rm + cp of the targets": (
                None, "rm -rf '%s' && mkdir -p '%s' && cd '%s' && xargs -0 -r cp --parents -t '%s' < '%s'"
                % (copies, copies, unpack, copies, targets_list), None, True),
        }

    # Same selection as ripgrep, checked once before timing.
    expected = subprocess.run("rg -l -F -a -j1 %s '%s' '%s' | wc -l" % (uexp_glob, MARKER, unpack),
                              shell=True, capture_output=True, text=True).stdout.strip()
    use_rules(1)
    out = subprocess.run([tool], input="1\n1\n", capture_output=True, text=True).stdout
    if ("匹配到 %s 个文件" % expected) not in out:
        sys.exit("uexpmod and rg disagree on the matches (rg: %s)" % expected)
    rewritten = out.count("已修改")
    subprocess.run("cd '%s' && rg -l -0 -F -a %s '%s' . > '%s'" % (unpack, uexp_glob, MARKER, targets_list),
                   shell=True, check=True)
    if args.repeated:
        # The caches the repeated runs find: the tree's files have long
        # settled, so one run with each rule file records them all.
        for n in ("1", "t1", "t1000", "x1", "x1000"):
            shutil.rmtree(cache + "-" + n, ignore_errors=True)
            use_rules(n, keep_index=True)
            subprocess.run([tool], input="1\n1\n", capture_output=True, text=True, check=True)
    copied_mib = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(os.path.join(ws, "uexp打包"))
                     for f in fs) / 2**20

    if not args.cold:
        # Warm, in a state of the cache that does not depend on what ran
        # before: the tree evicted, then read back once by cat. How the pages
        # got into the cache matters: read(2) fills it with large folios,
        # fadvise(WILLNEED) and faults of a map (an earlier --cold run, or
        # the tool on a cold tree) with single pages, and mapping or
        # reading single pages costs more (see bench/README.md).
        if args.pages:
            settle_in_pages(unpack)
        else:
            os.sync()
            evict(unpack)
            run_measured(read_floor, shell=True)
        share = large_folio_share(unpack)
        state = "unknown" if share is None else "%.0f %% of cached pages in large folios" % (100 * share)
        print("warm, read back by %s: %s" % ("single-page faults" if args.pages else "cat", state))
    times = {name: [] for name in commands}
    rss = {name: [] for name in commands}
    disk = disk_reads(unpack) if args.cold else None
    reads = {name: [] for name in commands}  # per run: requests, sectors, queued ms, busy ms
    for _ in range(args.rounds):
        for name, (prepare, cmd, stdin_text, shell) in commands.items():
            if prepare:
                prepare()
            # No command pays for writing back what the one before it wrote.
            os.sync()
            if args.cold:
                evict(unpack)
            before = disk() if disk else None
            t, m = run_measured(cmd, stdin_text, shell)
            if disk:
                reads[name].append([b - a for a, b in zip(before, disk())])
            times[name].append(t)
            rss[name].append(m)

    med = {name: statistics.median(v) for name, v in times.items()}
    size = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(unpack) for f in fs if f.endswith(".uexp"))
    print("tree: %s, %.0f MiB of .uexp, %s target files (%.1f MiB; %d rewritten by the 1-rule file), %d rounds, medians"
          % (tree, size / 2**20, expected, copied_mib, rewritten, args.rounds))
    print("%-36s %10s %12s" % ("command", "seconds", "peak RSS MiB"))
    for name in commands:
        print("%-36s %10.3f %12.1f" % (name, med[name], max(rss[name]) / 1024))
    one = med.get("uexpmod, 1 rules") or med["uexpmod, first run, 1 rule"]
    if disk:
        # How each command used the storage: a device busy for less of the
        # run than another's was left idle; the mean number of requests in
        # flight tells how deep the queue was kept.
        print()
        print("%-26s %12s %12s %12s" % ("reads from storage", "busy ms", "mean KiB", "in flight"))
        for name in commands:
            runs = reads[name]
            busy = statistics.median(r[3] for r in runs)
            print("%-26s %12.0f %12.0f %12.1f" % (
                name, busy, sum(r[1] for r in runs) / 2 / max(1, sum(r[0] for r in runs)),
                sum(r[2] for r in runs) / max(1, sum(r[3] for r in runs))))
    print()
    if args.repeated:
        again = med["uexpmod, repeated, 1 rule"]
        state = "cold" if args.cold else "warm"
        print("%s: repeated / (rg + cp), rg's threads  = %.2f" % (state, again / med["rg -l -F -a + cp"]))
        print("%s: repeated / rg, rg's threads         = %.2f" % (state, again / med["rg -l -F -a"]))
        print("%s: repeated / floor (rm + cp targets)  = %.2f" % (state, again / med["floor: rm + cp of the targets"]))
        print("%s: repeated / first run                = %.2f" % (state, again / med["uexpmod, first run, 1 rule"]))
        for family in ("translator", "mix"):
            print("%s: repeated, %-10s 1000 / 1 rule = %.2f  (target <= 1.3)"
                  % (state, family, med["uexpmod, repeated, 1000 %s" % family] / med["uexpmod, repeated, 1 %s" % family]))
        return
    if args.cold:
        print("cold: uexpmod 1 rule / rg (default threads) = %.2f" % (one / med["rg -l -F -a"]))
        print("cold: uexpmod 1 rule / read floor            = %.2f  (target <= 1.0)" % (one / med["read floor (cat)"]))
        print("cold: uexpmod 1 rule / rg -j1                = %.2f" % (one / med["rg -l -F -a -j1"]))
        print("cold: uexpmod 1 rule / (rg + cp), rg's threads = %.2f" % (one / med["rg -l -F -a + cp"]))
        print("cold: uexpmod 1 rule / (rg -j1 + cp)         = %.2f  (target <= 1.0)" % (one / med["rg -l -F -a -j1 + cp"]))
        return
    print("uexpmod 1 rule / (rg + cp)       = %.2f  (target <= 1.0)" % (one / med["rg -l -F -a -j1 + cp"]))
    print("uexpmod 1 rule / (rg + cp), rg's threads = %.2f  (target <= 1.0)" % (one / med["rg -l -F -a + cp"]))
    print("uexpmod 1 rule / read floor      = %.2f" % (one / med["read floor (cat)"]))
    print("uexpmod no match / (rg + cp)     = %.2f" % (med["uexpmod, rule matching none"] / med["rg -l -F -a -j1 + cp"]))
    print("uexpmod 1 rule / rg -j1 listing  = %.2f" % (one / med["rg -l -F -a -j1"]))
    if args.search_alone:
        print("search alone / rg -j1 listing    = %.2f  (the same marker, found nowhere)"
              % (med["uexpmod, search alone"] / med["rg -j1, marker never found"]))
    for n in (10, 100, 1000):
        print("uexpmod %4d rules / 1 rule      = %.2f" % (n, med["uexpmod, %d rules" % n] / one))
    t1 = med["uexpmod, 1 translator"]
    for n, target in ((10, 1.05), (100, 1.1), (1000, 1.1)):
        print("translator %4d / 1 rule         = %.2f  (target <= %.2f)"
              % (n, med["uexpmod, %d translator" % n] / t1, target))
    for n, target in ((10, 1.05), (100, 1.1), (1000, 1.25)):
        print("chained    %4d / 1 translator   = %.2f  (target <= %.2f)"
              % (n, med["uexpmod, %d chained" % n] / t1, target))
    x1 = med["uexpmod, 1 mix"]
    for n in (10, 100, 1000):
        print("mix        %4d / 1 rule         = %.2f%s"
              % (n, med["uexpmod, %d mix" % n] / x1, "  (target <= 1.10)" if n == 1000 else ""))
    print("uexpmod peak RSS, any run        = %.1f MiB" % (max(max(rss[n]) for n in commands if n.startswith("uexpmod")) / 1024))
    for family in ("translator", "mix"):
        print("peak RSS, 1000 %-10s rules minus 1 rule = %.1f MiB  (target <= 2)"
              % (family, (max(rss["uexpmod, 1000 %s" % family]) - max(rss["uexpmod, 1 %s" % family])) / 1024))
    if args.no_memory:
        return
    print()
    for label, seconds, peak in memory_check(tree):
        print("memory: %-50s peak RSS %6.1f MiB (%.2f s)" % (label, peak, seconds))


if __name__ == "__main__":
    main()
