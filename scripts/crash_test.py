#!/usr/bin/env python3
"""Kills uexpmod with SIGKILL at many moments of a run and checks what it leaves.

A phone ends a terminal app with SIGKILL, at any moment. Whatever the moment,
the repack folder (uexp打包) must never hold a half-made copy, and a run that
does not finish its copy stage must leave it exactly as the last complete run
left it; the only other state allowed is a missing folder. What a killed run
leaves elsewhere (a staging folder beside the repack folder, temporary files)
must be cleared by the next run without a word, and never be listed, copied,
rewritten or counted.

The script builds its own uexpmod (in build-crash/, with the workspace root
build-crash/workspace) and makes a workspace: a pak, two rule files A and B
(one of them in 配置 at a time, so the rule menu always reads "[1] ..."), and
under uexp解包 a few hundred small targets in nested folders, three large
targets dense with hits of the rules, and files that are no targets. A and B
turn almost every target into a different copy, so the two whole sets of
copies can be told apart file by file.

First it records, for A and for B, a complete run on a clean workspace: what it
prints and every file it leaves in uexp打包. T, the time a complete run takes,
is the median of all complete runs so far (two to begin with; the time drifts
on a machine shared with other work). Then, for each kill moment t, spread
from the very start to 1.1 T with jitter from the seed, starting from a
complete run of one rule set:
  - it starts a run with the other rule set and kills it with SIGKILL at t;
  - (a) every .uexp in uexp打包 must equal the copy of the previous complete
    run or of the killed run at its path (a torn copy fails, and a truncated
    one is named so);
  - (b) the folder must be missing (allowed, counted) or hold exactly one of
    the two whole sets: every file and folder of it, and nothing else;
  - (c) no file with a .uexp name that neither set has may stand in it;
  - then it runs the same rule set to completion: (d) what it prints must be
    byte for byte what a run on a clean workspace printed (the random colours
    of the menu lines are masked to the shade they stand for), (e) uexp打包
    must hold exactly that run's files and folders, and (f) nothing may be
    left beside the standard folders of the workspace root.
Every other kill point runs with the fault library refusing to exchange two
folders in one step, as Android's shared storage does: the tool then puts its
copies in place with two renames, and only there may a kill leave the folder
missing. A run that ends by itself before t must have succeeded and left its
own set.
At the end the sources under uexp解包 must be unchanged.

With --paks, the paks are what is killed instead: the source pak folder
(提取的pak/地铁水印) holds a few paks of several MiB, in two versions of
other sizes that take turns, and the unpack folder a few small targets, so
that a run is mostly the gathering of the paks into the pak folder. Kill
moments are spread over a complete run in the same way. After each kill,
(g) every pak in the pak folder must be byte for byte the version the last
complete run gathered or the one the killed run was gathering, or absent:
never cut short; the killed run may leave only its hidden temporary files
(".*.uexpmod.tmp") beside them. Every other kill, a second run is started
alongside the killed one and let finish, as a modder might start the tool
twice: (h) it must report every pak copied or already there, and leave each
whole. Then a complete run must (i) report no failed copy, leave every pak
equal to its source, and leave nothing else in the pak folder: the killed
runs' temporary files are gone.

Prints a summary (how many runs were killed, how far each had got by what it
had printed, and what each kill left: the previous set, the new one, a missing
folder or a broken one), then one line per kind of failure; exits 1 on any
failure, else 0.

usage: scripts/crash_test.py [--points 50] [--threads N] [--seed N] [--keep] [--paks]
needs: python3, cmake, a C++ compiler
"""
import argparse
import collections
import os
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(REPO, "build-crash")
WS = os.path.join(BUILD, "workspace")
IO = os.path.join(BUILD, "io")  # the tool's stdin and output, outside the workspace
TOOL = os.path.join(BUILD, "uexpmod")
# Arguments every run of the tool gets (--threads adds "-j N").
TOOL_ARGS = []
# The fault library, for runs where the storage refuses to exchange two
# folders in one step, as Android's shared storage does.
FAULTS = os.path.join(BUILD, "fault_injection.so")
NO_EXCHANGE = {"LD_PRELOAD": FAULTS, "UEXPMOD_FAULT_NOEXCHANGE": "1"}
# The tool's caches (the selection index), kept from run to run as a user's
# are, but in the build folder rather than the home folder.
CACHE = os.path.join(BUILD, "cache")

MARKER = b"Game/Mod/Escape/Audio/WwiseBank/"
UNPACK = os.path.join(WS, "uexp解包")
REPACK = os.path.join(WS, "uexp打包")
CONFIG = os.path.join(WS, "配置")
# What a complete run leaves in the workspace root: the folders it makes and
# those the script fills; anything else is a leftover.
ROOT_ENTRIES = {"pak", "uexp解包", "uexp打包", "配置", "提取的pak"}

# Rules of the same length in UTF-8 (the first) and in UTF-16LE only (the
# second); no search text occurs in another rule's replacement.
RULES = {
    "A": ("VoiceLine", "AlphaLine", "你好", "AB"),
    "B": ("VoiceLine", "BetaLine_", "你好", "CD"),
}
HIT_UTF8 = b"VoiceLine"
HIT_UTF16 = "你好".encode("utf-16-le")

SMALL_TARGETS = 320
SMALL_NON_TARGETS = 60
UNCHANGED_TARGETS = 4  # hold the marker but no rule's text: the same copy under A and B
LARGE_MIB = (12, 16, 20)
LARGE_GAP = (200, 500)  # bytes between hits in a large target

# Gradient colours are drawn at random; each stands for its shade in the row.
SHADE = {"201": 0, "165": 1, "129": 2, "51": 0, "87": 1, "123": 2, "208": 0, "214": 1,
         "220": 2, "84": 0, "120": 1, "156": 2, "199": 0, "205": 1, "211": 2}


def mask_gradients(out):
    return re.sub(rb"\033\[38;5;(\d+)m",
                  lambda m: b"<G%s>" % str(SHADE.get(m.group(1).decode(), "?")).encode(), out)


def build():
    # Ninja where there is one, as scripts/test.sh builds; a build folder
    # keeps the generator it was made with.
    generator = []
    if shutil.which("ninja") and not os.path.exists(os.path.join(BUILD, "CMakeCache.txt")):
        generator = ["-G", "Ninja"]
    subprocess.run(["cmake", "-S", REPO, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
                    "-DUEXPMOD_WORKSPACE_ROOT=" + WS, "-DUEXPMOD_BUILD_TESTS=OFF"] + generator,
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "--target", "uexpmod", "--parallel", "2"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run([os.environ.get("CXX", "c++"), "-std=c++20", "-O2", "-shared", "-fPIC",
                    "-o", FAULTS, os.path.join(REPO, "tests", "fault_injection.cpp"), "-ldl"],
                   check=True)


# ---------------------------------------------------------------- workspace

def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def content(rng, noise, size, hits, gap, marker):
    """About `size` bytes of noise with a hit of a rule every `gap` bytes on
    average (`hits` of them, UTF-8 and UTF-16LE mixed) and the marker at a
    random place when `marker`."""
    parts = []
    total = 0
    for _ in range(hits):
        n = rng.randrange(gap // 2, gap * 3 // 2 + 1)
        at = rng.randrange(len(noise) - n)
        parts.append(noise[at:at + n])
        parts.append(HIT_UTF16 if rng.random() < 0.25 else HIT_UTF8)
        total += n + len(parts[-1])
    if total < size:
        at = rng.randrange(len(noise) - (size - total))
        parts.append(noise[at:at + size - total])
    if marker:
        parts.insert(rng.randrange(len(parts) + 1), MARKER)
    return b"".join(parts)


def make_workspace(rng):
    """Writes the workspace; returns the relative paths of the targets."""
    shutil.rmtree(WS, ignore_errors=True)
    write(os.path.join(WS, "pak", "crash.pak"), b"PAK!")
    os.makedirs(os.path.join(WS, "提取的pak", "地铁水印"))
    noise = rng.randbytes(2 << 20)
    targets = []

    def folder(i):  # 4 + 12 + 12 folders, one to three deep
        deep = ["Audio%d" % (i % 4), "Bank%d" % (i % 3), "Deep"][:1 + i % 5 % 3]
        return os.path.join(*deep)

    for i in range(SMALL_TARGETS):
        rel = os.path.join(folder(i), "t%03d.uexp" % i)
        size = rng.randrange(1 << 10, (64 << 10) + 1)
        hits = 0 if i < UNCHANGED_TARGETS else rng.randrange(1, max(2, size // 2048))
        write(os.path.join(UNPACK, rel), content(rng, noise, size, hits, size // max(hits, 1), True))
        targets.append(rel)
    for i in range(SMALL_NON_TARGETS):
        # Dense with hits, but without the marker (or with it in UTF-16LE,
        # or under another extension): never copied.
        size = rng.randrange(1 << 10, (64 << 10) + 1)
        data = content(rng, noise, size, 8, size // 8, False)
        if i % 3 == 1:
            data += MARKER.decode().encode("utf-16-le")
        ext = ".uexp" if i % 3 != 2 else ".uasset"
        write(os.path.join(UNPACK, folder(i), "n%03d%s" % (i, ext)), data if ext == ".uexp" else data + MARKER)
    for i, mib in enumerate(LARGE_MIB):
        rel = os.path.join("Large", "big%d.uexp" % i)
        size = mib << 20
        gap = rng.randrange(*LARGE_GAP)
        write(os.path.join(UNPACK, rel), content(rng, noise, size, size // gap, gap, True))
        targets.append(rel)
    return sorted(targets)


def use_rules(name):
    shutil.rmtree(CONFIG, ignore_errors=True)
    s1, r1, s2, r2 = RULES[name]
    write(os.path.join(CONFIG, "规则%s.txt" % name), ("# 规则%s\n%s=%s\n%s=%s\n" % (name, s1, r1, s2, r2)).encode())


def modelled_copy(data, name):
    s1, r1, s2, r2 = RULES[name]
    data = data.replace(s1.encode(), r1.encode())
    return data.replace(s2.encode("utf-16-le"), r2.encode("utf-16-le"))


# ---------------------------------------------------------------- the tool

class Run:
    def __init__(self, status, out, err, seconds):
        self.status, self.out, self.err, self.seconds = status, out, err, seconds


# A run that takes this long hangs: the test fails instead of waiting for it.
RUN_DEADLINE = 300


def run_tool(kill_after=None, env=None):
    """Runs the tool with "1\\n1\\n" as its input (the pak menu, then the rule
    menu), with `env` added to its environment. Kills it with SIGKILL
    `kill_after` seconds after its start unless it has ended by then. The
    status is -9 for a killed run."""
    os.makedirs(IO, exist_ok=True)
    with open(os.path.join(IO, "stdin"), "wb") as f:
        f.write(b"1\n1\n")
    paths = [os.path.join(IO, n) for n in ("stdin", "stdout", "stderr")]
    with open(paths[0], "rb") as i, open(paths[1], "wb") as o, open(paths[2], "wb") as e:
        start = time.monotonic()
        proc = subprocess.Popen([TOOL] + TOOL_ARGS, stdin=i, stdout=o, stderr=e, cwd=IO,
                                env=dict(os.environ, XDG_CACHE_HOME=CACHE, **(env or {})))
        if kill_after is not None:
            while proc.poll() is None:
                left = start + kill_after - time.monotonic()
                if left <= 0:
                    # Not reaped yet, so the id is still this process's.
                    os.kill(proc.pid, signal.SIGKILL)
                    break
                time.sleep(min(left, 0.002))
        try:
            status = proc.wait(timeout=RUN_DEADLINE)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            raise SystemExit(f"crash test: failed, a run still going after {RUN_DEADLINE} s")
        seconds = time.monotonic() - start
    with open(paths[1], "rb") as o, open(paths[2], "rb") as e:
        return Run(status, o.read(), e.read(), seconds)


def snapshot(folder, want_bytes=True):
    """(files, folders) below `folder`: relative path -> bytes (or size) of
    every regular file, and the relative paths of the folders. Anything else
    (a link, a device) is listed with None."""
    files, folders = {}, set()
    for d, dirs, names in os.walk(folder):
        for n in dirs:
            p = os.path.join(d, n)
            rel = os.path.relpath(p, folder)
            if os.path.islink(p):
                files[rel] = None
            else:
                folders.add(rel)
        for n in names:
            p = os.path.join(d, n)
            rel = os.path.relpath(p, folder)
            if os.path.islink(p) or not os.path.isfile(p):
                files[rel] = None
            elif want_bytes:
                with open(p, "rb") as f:
                    files[rel] = f.read()
            else:
                files[rel] = os.path.getsize(p)
    return files, folders


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            break
    else:
        i = min(len(a), len(b))
    lo = max(0, i - 60)
    return "at byte %d: expected %r, got %r" % (
        i, a[lo:i + 60].decode("utf-8", "replace"), b[lo:i + 60].decode("utf-8", "replace"))


# ---------------------------------------------------------------- checks

class Failures:
    def __init__(self):
        self.kinds = collections.OrderedDict()

    def add(self, kind, point, detail):
        entry = self.kinds.setdefault(kind, [0, None])
        entry[0] += 1
        if entry[1] is None:
            entry[1] = "%s: %s" % (point, detail)

    def __bool__(self):
        return bool(self.kinds)


def check_killed_state(prev, new, fail, point, may_be_missing):
    """The repack folder after a killed run, against the whole sets `prev`
    (the last complete run's) and `new` (the killed run's). Tells what it
    found: "missing", "previous", "new" or "broken". It may be missing only
    where the folders are swapped in two renames."""
    if not os.path.lexists(REPACK):
        if not may_be_missing:
            fail.add("(b) uexp打包 missing, though the folders are exchanged in one step", point, "")
        return "missing"
    if not os.path.isdir(REPACK) or os.path.islink(REPACK):
        fail.add("(b) uexp打包 is not a folder", point, "")
        return "broken"
    files, folders = snapshot(REPACK)
    pf, pd = prev
    nf, nd = new
    found = collections.defaultdict(list)
    for rel, data in sorted(files.items()):
        want = [w for w in (pf.get(rel), nf.get(rel)) if w is not None]
        if not rel.endswith(".uexp"):
            found["other"].append(rel)
        elif not want:
            found["stray"].append(rel)
        elif data is None or data not in want:
            size = "?" if data is None else len(data)
            sizes = " or ".join(sorted({str(len(w)) for w in want}))
            cut = data is not None and any(len(data) < len(w) and w.startswith(data) for w in want)
            found["truncated" if cut else "torn"].append("%s (%s bytes of %s)" % (rel, size, sizes))
    kinds = (("truncated", "(a) truncated copy in uexp打包"),
             ("torn", "(a) copy in uexp打包 equal to neither run's copy"),
             ("stray", "(c) .uexp in uexp打包 that neither run copied"),
             ("other", "(b) file in uexp打包 that is no .uexp (a temporary file?)"))
    for key, kind in kinds:
        if found[key]:
            fail.add(kind, point, "%d; e.g. %s" % (len(found[key]), found[key][0]))
    if files == pf and folders == pd:
        return "previous"
    if files == nf and folders == nd:
        return "new"
    fail.add("(b) uexp打包 holds neither whole set", point,
             "%d files, %d folders: %d of the previous run's %d files, %d of the killed run's %d"
             % (len(files), len(folders), sum(1 for r in files if r in pf and files[r] == pf[r]), len(pf),
                sum(1 for r in files if r in nf and files[r] == nf[r]), len(nf)))
    return "broken"


def check_complete_run(run, ref, fail, point):
    """A run that ended by itself, against the clean-workspace run `ref` of
    the same rule set (its output, files and folders)."""
    if run.status != 0 or run.err:
        fail.add("complete run failed", point, "status %d, stderr %r" % (run.status, run.err[:200]))
    out = mask_gradients(run.out)
    if out != ref["out"]:
        fail.add("(d) output differs from a clean run's", point, first_difference(ref["out"], out))
    files, folders = snapshot(REPACK) if os.path.isdir(REPACK) else ({}, set())
    if files != ref["files"] or folders != ref["folders"]:
        extra = sorted(set(files) - set(ref["files"])) + sorted(folders - ref["folders"])
        missing = sorted(set(ref["files"]) - set(files)) + sorted(ref["folders"] - folders)
        wrong = sorted(r for r in files if r in ref["files"] and files[r] != ref["files"][r])
        fail.add("(e) uexp打包 differs from a clean run's", point,
                 "%d extra (e.g. %s), %d missing (e.g. %s), %d with other bytes (e.g. %s)"
                 % (len(extra), extra[:2], len(missing), missing[:2], len(wrong), wrong[:2]))
    left = sorted(set(os.listdir(WS)) - ROOT_ENTRIES)
    if left:
        fail.add("(f) leftovers in the workspace root after a complete run", point, ", ".join(left))


# ---------------------------------------------------------------- paks

PAK = os.path.join(WS, "pak")
SPEC_PAK = os.path.join(WS, "提取的pak", "地铁水印")
PAK_MIB = (8, 12, 16, 24)  # the sources' sizes in version A; B's are 1 MiB and a few bytes larger


def pak_versions(rng):
    """The two versions of every source pak: name -> {"A": bytes, "B": bytes}."""
    noise = rng.randbytes(1 << 20)
    paks = {}
    for i, mib in enumerate(PAK_MIB):
        versions = {}
        for v, extra in (("A", 0), ("B", (1 << 20) + 7 * (i + 1))):
            size = (mib << 20) + extra
            head = ("%s%d" % (v, i)).encode() * 64
            versions[v] = (head + noise * (size // len(noise) + 1))[:size]
        paks["p%d.pak" % i] = versions
    return paks


def use_paks(paks, version):
    for name, versions in paks.items():
        write(os.path.join(SPEC_PAK, name), versions[version])


def check_paks(paks, allowed, fail, point, may_have_temporaries):
    """The pak folder against the versions in `allowed`: each pak absent or
    byte for byte one of them. Tells what was found: "whole" when every pak
    is of the last version in `allowed`, else "old or mixed"."""
    found = collections.defaultdict(list)
    names = sorted(os.listdir(PAK)) if os.path.isdir(PAK) else []
    for n in names:
        p = os.path.join(PAK, n)
        if n in paks and os.path.isfile(p) and not os.path.islink(p):
            with open(p, "rb") as f:
                data = f.read()
            want = [paks[n][v] for v in allowed]
            if data not in want:
                cut = any(len(data) < len(w) and w.startswith(data) for w in want)
                found["cut" if cut else "other bytes"].append(
                    "%s (%d bytes of %s)" % (n, len(data), " or ".join(str(len(w)) for w in want)))
        elif n.startswith(".") and n.endswith(".uexpmod.tmp") and may_have_temporaries:
            found["temporary"].append(n)
        else:
            found["stray"].append(n)
    for key, kind in (("cut", "(g) pak cut short in pak"), ("other bytes", "(g) pak equal to no version"),
                      ("stray", "(g) file in pak that is no pak")):
        if found[key]:
            fail.add(kind, point, "%d; e.g. %s" % (len(found[key]), found[key][0]))
    last = allowed[-1]
    whole = all(n in names and open(os.path.join(PAK, n), "rb").read() == paks[n][last] for n in paks)
    return ("whole" if whole else "old or mixed"), len(found["temporary"])


def pak_lines_of(out):
    """What a run reported of each pak: name -> "copied", "there" or "failed"."""
    text = out.decode("utf-8", "replace")
    lines = {}
    for m in re.finditer(r"✓ 已复制：(\S+)", text):
        lines[m.group(1)] = "copied"
    for m in re.finditer(r"✓ 已存在同名同大小：(\S+) 跳过复制", text):
        lines[m.group(1)] = "there"
    for m in re.finditer(r"✗ 复制失败：(\S+)", text):
        lines[m.group(1)] = "failed"
    return lines


def check_pak_run(run, paks, version, fail, point):
    """A run that ended by itself with the sources at `version`."""
    if run.status != 0 or run.err:
        fail.add("(i) complete run failed", point, "status %d, stderr %r" % (run.status, run.err[:200]))
    lines = pak_lines_of(run.out)
    bad = sorted(n for n in paks if lines.get(n) not in ("copied", "there"))
    if bad:
        fail.add("(i) pak not reported copied or there", point, "%s: %s" % (bad[0], lines.get(bad[0])))
    state, _ = check_paks(paks, [version], fail, point, False)
    if state != "whole":
        fail.add("(i) pak folder not the sources' after a complete run", point, "")


def pak_main(args, rng, started, built):
    shutil.rmtree(WS, ignore_errors=True)
    paks = pak_versions(rng)
    noise = rng.randbytes(1 << 16)
    for i in range(3):
        write(os.path.join(UNPACK, "d%d" % i, "t%d.uexp" % i), content(rng, noise, 4096, 4, 1024, True))
    use_rules("A")
    os.makedirs(PAK, exist_ok=True)
    print("crash test: paks, workspace %s, %d source paks of %s MiB, seed %d"
          % (WS, len(paks), "/".join(map(str, PAK_MIB)), args.seed), flush=True)

    fail = Failures()
    durations = []
    state = "B"
    for version in ("A", "B"):
        use_paks(paks, version)
        run = run_tool()
        check_pak_run(run, paks, version, fail, "timed run %s" % version)
        durations.append(run.seconds)
        state = version
    print("crash test: a complete run that copies every pak takes %.3f s" % statistics.median(durations),
          flush=True)

    shares = [(k + 0.5 + rng.uniform(-0.45, 0.45)) / args.points * 1.1 for k in range(args.points)]
    rng.shuffle(shares)
    killed = 0
    found = collections.Counter()
    temporaries = 0
    companions = 0
    reported = collections.Counter()  # killed runs alone by how many paks they had put in place
    for k, share in enumerate(shares):
        version = "A" if state == "B" else "B"
        moment = share * statistics.median(durations)
        point = "point %d (paks %s, kill at %.3f s = %.2f T%s)" % (
            k, version, moment, share, ", with a second run" if k % 2 else "")
        use_paks(paks, version)
        companion = None
        if k % 2 == 1:
            out = open(os.path.join(IO, "companion.out"), "wb+")
            companion = subprocess.Popen([TOOL], stdin=subprocess.PIPE, stdout=out, stderr=out, cwd=IO,
                                         env=dict(os.environ, XDG_CACHE_HOME=CACHE))
            companion.stdin.write(b"1\n1\n")
            companion.stdin.close()
        run = run_tool(kill_after=moment)
        if companion is not None:
            companions += 1
            status = companion.wait(timeout=RUN_DEADLINE)
            out.seek(0)
            text = out.read()
            out.close()
            lines = pak_lines_of(text)
            bad = sorted(n for n in paks if lines.get(n) not in ("copied", "there"))
            if status != 0 or bad:
                fail.add("(h) the second run failed or reported a pak not copied", point,
                         "status %d, %s" % (status, bad[:1]))
            left, _ = check_paks(paks, [version], fail, point + ", after the second run", True)
            if left != "whole":
                fail.add("(h) the second run left a pak that is not its source", point, "")
        if run.status == -signal.SIGKILL:
            killed += 1
            left, temps = check_paks(paks, [state, version], fail, point, True)
            if companion is None:
                reported[sum(1 for n in paks if os.path.isfile(os.path.join(PAK, n)) and
                             open(os.path.join(PAK, n), "rb").read() == paks[n][version])] += 1
            found[left] += 1
            temporaries += temps
        else:
            found["ended by itself"] += 1
            check_pak_run(run, paks, version, fail, point + ", ended by itself")
        run = run_tool()
        check_pak_run(run, paks, version, fail, point + ", the following complete run")
        if all(v == "copied" for v in pak_lines_of(run.out).values()):
            durations.append(run.seconds)  # T: the runs that copied every pak
        state = version
        if (k + 1) % 10 == 0:
            print("  %d of %d moments, %.0f s" % (k + 1, len(shares), time.monotonic() - started), flush=True)

    print("crash test: %d kill moments (T %.3f s, the median of %d complete runs that copied every pak); "
          "%d runs killed, "
          "%d with a second run alongside" % (len(shares), statistics.median(durations), len(durations),
                                              killed, companions))
    print("  after a kill, the pak folder held every pak new %d time(s), some old or absent %d; "
          "%d temporary file(s) left by killed runs, all removed by the next run; %d runs ended before the kill"
          % (found["whole"], found["old or mixed"], temporaries, found["ended by itself"]))
    print("  runs killed alone, by how many of the %d paks they had put in place: %s" % (
        len(paks), ", ".join("%d: %d" % (n, reported[n]) for n in sorted(reported))))
    print("crash test: %.0f s in all (build %.0f s)" % (time.monotonic() - started, built - started))
    if fail:
        for kind, (count, example) in fail.kinds.items():
            print("FAIL %s: %d time(s); first at %s" % (kind, count, example))
        print("crash test: FAILED; workspace kept: %s" % WS)
        return 1
    print("crash test: passed")
    if not args.keep:
        shutil.rmtree(WS, ignore_errors=True)
        shutil.rmtree(IO, ignore_errors=True)
    return 0


# ---------------------------------------------------------------- main

def progress_of(out):
    """How far a run got, by what it printed: its stage and last progress
    figure."""
    if "步骤: 扫描匹配目标UEXP并复制到打包目录".encode() not in out:
        return "nothing printed of the copy stage"
    figures = re.findall(rb"\xe8\xbf\x9b\xe5\xba\xa6: (\d+)/(\d+)", out)  # 进度
    if not figures:
        return "copy stage, no progress printed"
    done, total = (int(x) for x in figures[-1])
    tail = out[out.rfind(b"%d/%d" % (done, total)):]
    if done == total and b"\n" in tail:
        return "after the copy stage"
    return "copy stage, %d%% scanned" % (done * 100 // total // 25 * 25)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--points", type=int, default=50, help="kill moments (default 50)")
    ap.add_argument("--threads", type=int, default=0,
                    help="threads the tool searches and copies on (-j N); default: its own default")
    ap.add_argument("--seed", type=int, default=20261208, help="the workspace's and the moments' seed")
    ap.add_argument("--keep", action="store_true",
                    help="keep the workspace after a passing run too (it is always kept on failure)")
    ap.add_argument("--paks", action="store_true",
                    help="kill runs while they gather the source paks into the pak folder")
    args = ap.parse_args()
    started = time.monotonic()
    if args.threads:
        TOOL_ARGS[:] = ["-j", str(args.threads)]
    rng = random.Random(args.seed)

    build()
    built = time.monotonic()
    if args.paks:
        os.makedirs(IO, exist_ok=True)
        return pak_main(args, rng, started, built)
    targets = make_workspace(rng)
    sources = snapshot(UNPACK, want_bytes=True)[0]
    print("crash test: workspace %s, %d targets (%d large, %s MiB), seed %d"
          % (WS, len(targets), len(LARGE_MIB), "+".join(map(str, LARGE_MIB)), args.seed), flush=True)

    fail = Failures()
    ref = {}
    for name in ("A", "B"):
        shutil.rmtree(REPACK, ignore_errors=True)
        use_rules(name)
        run = run_tool()
        files, folders = snapshot(REPACK)
        ref[name] = {"out": mask_gradients(run.out), "files": files, "folders": folders}
        # The references must be what the tool is meant to make: every
        # target copied with the rules applied, nothing else.
        want = {rel: modelled_copy(sources[rel], name) for rel in targets}
        changed = sum(1 for rel in targets if want[rel] != sources[rel])
        expect_out = [b"[1] crash.pak", ("[1] 规则%s.txt" % name).encode(), "✓ 加载 2 条替换规则".encode(),
                      ("✓ 匹配到 %d 个文件，已复制到打包目录" % len(targets)).encode(),
                      ("✓ 修改完成，共处理 %d 个文件" % changed).encode()]
        if run.status != 0 or run.err or files != want or not all(s in run.out for s in expect_out):
            sys.exit("crash test: the clean run with rules %s is not as expected (status %d); workspace kept: %s"
                     % (name, run.status, WS))
    differ = sum(1 for rel in targets if ref["A"]["files"][rel] != ref["B"]["files"][rel])
    whole_sets = {n: (ref[n]["files"], ref[n]["folders"]) for n in ref}

    # The first two of the complete runs that give T, each over the other
    # set's copies.
    durations = []
    state = "B"
    for name in ("A", "B"):
        use_rules(name)
        run = run_tool()
        check_complete_run(run, ref[name], fail, "timed run %s" % name)
        durations.append(run.seconds)
        state = name
    print("crash test: A and B copies differ for %d of %d targets; a complete run takes %.2f s"
          % (differ, len(targets), statistics.median(durations)), flush=True)

    # Kill moments as shares of T, from the very start to past its end.
    shares = [(k + 0.5 + rng.uniform(-0.45, 0.45)) / args.points * 1.1 for k in range(args.points)]
    rng.shuffle(shares)
    moments = []
    killed = 0
    phases = collections.Counter()
    found = collections.Counter()  # what the kills left: (phase, state) and state
    bins = collections.Counter()
    for k, share in enumerate(shares):
        name = "A" if state == "B" else "B"
        period = statistics.median(durations)
        moment = share * period
        moments.append(moment)
        # Every other run with the exchange refused: the folders then change
        # places in two renames.
        renames = k % 2 == 1
        env = NO_EXCHANGE if renames else None
        point = "point %d (rules %s, kill at %.3f s = %.2f T%s)" % (
            k, name, moment, share, ", two renames" if renames else "")
        use_rules(name)
        run = run_tool(kill_after=moment, env=env)
        bins[min(int(share * 10), 10)] += 1
        if run.status == -signal.SIGKILL:
            killed += 1
            phase = progress_of(run.out)
            phases[phase] += 1
            left = check_killed_state(whole_sets[state], whole_sets[name], fail, point, renames)
            found[left] += 1
            found[phase, left] += 1
        else:
            phases["ended by itself before the kill"] += 1
            check_complete_run(run, ref[name], fail, point + ", ended by itself")
        run = run_tool(env=env)
        check_complete_run(run, ref[name], fail, point + ", the following complete run")
        durations.append(run.seconds)
        state = name
        if (k + 1) % 10 == 0:
            print("  %d of %d moments, %.0f s" % (k + 1, len(shares), time.monotonic() - started), flush=True)

    if snapshot(UNPACK)[0] != sources:
        fail.add("sources under uexp解包 changed", "end", "")

    print("crash test: %d kill moments from %.3f s to %.3f s (T %.2f s, the median of %d complete runs); "
          "%d runs killed, %d ended before their moment"
          % (len(moments), min(moments), max(moments), statistics.median(durations), len(durations),
             killed, len(moments) - killed))
    print("  moments by tenth of T: " + ", ".join(
        ("%.1f-%.1f: %d" % (b / 10, (b + 1) / 10, bins[b])) if b < 10 else ">1: %d" % bins[b] for b in sorted(bins)))
    print("  how far the run had got (by what it printed):")
    order = ["nothing printed of the copy stage", "copy stage, no progress printed"] + \
        ["copy stage, %d%% scanned" % p for p in (0, 25, 50, 75, 100)] + \
        ["after the copy stage", "ended by itself before the kill"]
    for phase in sorted(phases, key=lambda p: order.index(p) if p in order else 99):
        broken = " (%d left uexp打包 broken)" % found[phase, "broken"] if found[phase, "broken"] else ""
        print("    %-36s %2d%s" % (phase, phases[phase], broken))
    print("  after a kill, uexp打包 held the previous set %d time(s), the killed run's set %d, was missing %d, "
          "broken %d" % (found["previous"], found["new"], found["missing"], found["broken"]))
    print("crash test: %.0f s in all (build %.0f s)" % (time.monotonic() - started, built - started))
    if fail:
        for kind, (count, example) in fail.kinds.items():
            print("FAIL %s: %d time(s); first at %s" % (kind, count, example))
        print("crash test: FAILED; workspace kept: %s" % WS)
        return 1
    print("crash test: passed")
    if not args.keep:
        shutil.rmtree(WS, ignore_errors=True)
        shutil.rmtree(IO, ignore_errors=True)
    else:
        print("workspace kept: %s" % WS)
    return 0


if __name__ == "__main__":
    sys.exit(main())
