#!/usr/bin/env python3
"""Peak memory of whole uexpmod runs on inputs that used to need memory in
proportion to their size: a huge target dense with hits of the rules, and
rule files with very long texts.

A phone's system kills a terminal app that holds too much memory, so a run
must stay within a bound whatever the user's files are: 64 MiB however large
a target is and however dense its hits, and 64 MiB plus three times the rule
file (its texts as UTF-8 and as UTF-16LE) however long the rules are.

The script builds uexpmod with its own workspace root (build-bench-memory/),
writes each case's workspace there, runs the tool once per case under GNU
time and prints the peak resident memory against the bound. With --tool, it
runs another build instead (one configured with the same workspace root, an
older commit's for example).

The cases:
  - a 1 GiB target with an occurrence of the rule every 64 bytes, one rule;
  - the same with 1,000 rules, each occurring in turn;
  - four rules, one of them with an 8 MiB search text, over a 64 MiB target
    that holds that text twice;
  - 1,000 rules of 8 KiB texts over the same target, holding 100 of them;
  - one rule with a 100 MB search text, over the same target.

usage: bench/memory.py [--tool UEXPMOD] [--only NAME] [--keep]
needs: cmake, a C++ compiler, GNU time (apt-get install time)
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(REPO, "build-bench-memory")
WS = os.path.join(BUILD, "workspace")
MARKER = b"Game/Mod/Escape/Audio/WwiseBank/"
MIB = 1 << 20


def build():
    subprocess.run(["cmake", "-S", REPO, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
                    "-DUEXPMOD_WORKSPACE_ROOT=" + WS, "-DUEXPMOD_BUILD_TESTS=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "--target", "uexpmod"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(BUILD, "uexpmod")


def workspace(rules, target_size, fill):
    """A workspace with one pak, the rule file `rules` (bytes) and one target
    of `target_size` bytes written by fill(file, size), the marker at its
    end."""
    shutil.rmtree(WS, ignore_errors=True)
    for sub in ("pak", "配置", "uexp解包"):
        os.makedirs(os.path.join(WS, sub))
    with open(os.path.join(WS, "pak", "m.pak"), "wb") as f:
        f.write(b"PAK")
    with open(os.path.join(WS, "配置", "r.txt"), "wb") as f:
        f.write(rules)
    with open(os.path.join(WS, "uexp解包", "big.uexp"), "wb") as f:
        fill(f, target_size - len(MARKER))
        f.write(MARKER)
    return len(rules)


def repeat(f, block, size):
    """Writes `size` bytes of `block` repeated, a megabyte-ish at a time."""
    chunk = block * max(1, MIB // len(block))
    left = size
    while left > 0:
        f.write(chunk[:left])
        left -= min(left, len(chunk))


def dense_one(f, size):
    repeat(f, b"\0" * 17 + b"VoiceLine_00001" + b"/Script/Game_Mod/Au" + b"\1" * 13, size)


def dense_thousand(f, size):
    # 1,000 blocks of 64 bytes, each holding the text of one rule.
    blocks = b"".join(b"\0" * 17 + (b"VoiceLine_%05d" % i) + b"/Script/Game_Mod/Au" + b"\1" * 13
                      for i in range(1000))
    repeat(f, blocks, size)


def thousand_rules():
    return b"".join(b"VoiceLine_%05d=ModLine_X_%05d\n" % (i, i) for i in range(1000))


def long_text(size, seed):
    """An ASCII text of `size` bytes, different for each seed."""
    head = b"LongText%04d_" % seed
    return (head + b"abcdefghijklmnopqrstuvwxyz0123456789" * (size // 36 + 1))[:size]


def with_texts(texts, copies):
    """A filler for a 64 MiB target that holds each of `texts` `copies` times."""
    def fill(f, size):
        written = 0
        for text in texts:
            for _ in range(copies):
                f.write(b"\0" * 4096 + text)
                written += 4096 + len(text)
        repeat(f, b"\0" * 60 + b"tail", size - written)
    return fill


def cases():
    t8 = long_text(8 * MIB, 1)
    texts8k = [long_text(8 << 10, i) for i in range(1000)]
    t100 = long_text(100_000_000, 2)
    return [
        ("1 GiB target, dense, 1 rule", lambda: workspace(
            b"VoiceLine_00001=ModLine_X_00001\n", 1 << 30, dense_one), False),
        ("1 GiB target, dense, 1,000 rules", lambda: workspace(
            thousand_rules(), 1 << 30, dense_thousand), False),
        ("one 8 MiB text among 4 rules", lambda: workspace(
            b"a=b\n" + t8 + b"=x\nVoiceLine=ModLineXY\n\xe4\xbd\xa0\xe5\xa5\xbd=AB\n",
            64 * MIB, with_texts([t8], 2)), True),
        ("1,000 texts of 8 KiB", lambda: workspace(
            b"".join(t + b"=" + t[:-1] + b"!\n" for t in texts8k),
            64 * MIB, with_texts(texts8k[::10], 1)), True),
        ("one 100 MB text", lambda: workspace(t100 + b"=x\n", 64 * MIB, with_texts([], 0)), True),
    ]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tool", help="another build of uexpmod with the workspace root " + WS)
    ap.add_argument("--only", help="run the cases whose name holds this text")
    ap.add_argument("--keep", action="store_true", help="keep the last workspace")
    args = ap.parse_args()
    tool = os.path.abspath(args.tool) if args.tool else build()
    print("%-36s %12s %10s %14s" % ("case", "peak RSS MiB", "seconds", "bound MiB"))
    failed = False
    for name, make, rules_count in cases():
        if args.only and args.only not in name:
            continue
        rule_bytes = make()
        bound = 64 + (3 * rule_bytes / MIB if rules_count else 0)
        shutil.rmtree(os.path.join(BUILD, "cache"), ignore_errors=True)
        start = time.perf_counter()
        done = subprocess.run(["/usr/bin/time", "-f", "%M", tool], input=b"1\n1\n",
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=dict(os.environ, XDG_CACHE_HOME=os.path.join(BUILD, "cache")))
        seconds = time.perf_counter() - start
        peak = int(done.stderr.decode().strip().splitlines()[-1]) / 1024
        out = done.stdout.decode(errors="replace")
        ok = done.returncode == 0 and "匹配到 1 个文件" in out
        failed |= not ok or peak > bound
        print("%-36s %12.1f %10.2f %14.1f%s" % (name, peak, seconds, bound,
                                                "" if ok else "  (the run failed: status %d)"
                                                % done.returncode))
    if not args.keep:
        shutil.rmtree(WS, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
