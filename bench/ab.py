#!/usr/bin/env python3
"""Times two builds of uexpmod against each other, run by run.

Both executables must have the benchmark tree's workspace compiled in
(-DUEXPMOD_WORKSPACE_ROOT=<tree>/ws, as bench/run.py builds it). The chosen
rule file becomes the workspace's only one; each round then runs both, in
turns that swap every round, with `sync` before each run (and with --cold the
unpacked tree evicted from the page cache), answering "1" to both menus, and
the script prints each build's median and mean.

    python3 bench/ab.py OLD_UEXPMOD NEW_UEXPMOD [--rules 1|t1000|...] [--runs 40] [--cold]
    python3 bench/ab.py UEXPMOD UEXPMOD --rules t1,t1000     (the same build, two rule files)

Every run is a first run: the tool's cache folder ($XDG_CACHE_HOME, a folder
of the tree) is emptied before it, unless --keep-index keeps the selection
index and the rules' occurrences from run to run. Each build and rule file
has a cache folder of its own, as a user running one rule file again has.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import time

from run import evict

UNPACK = None
CACHE = None
KEEP_INDEX = False


def run_once(tool, slot, cold=False):
    cache = CACHE if slot == 0 else CACHE + "-%d" % slot
    if not KEEP_INDEX:
        shutil.rmtree(cache, ignore_errors=True)
    os.sync()
    if cold:
        evict(UNPACK)
    start = time.perf_counter()
    subprocess.run([tool], input=b"1\n1\n", stdout=subprocess.DEVNULL, check=True,
                   env=dict(os.environ, XDG_CACHE_HOME=cache))
    return time.perf_counter() - start


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tools", nargs=2)
    ap.add_argument("--rules", default="1",
                    help="1, 10, 100, 1000, or t1 ... t1000; or two, comma-separated, one per build")
    ap.add_argument("--runs", type=int, default=40)
    ap.add_argument("--cold", action="store_true",
                    help="evict the unpacked tree from the page cache before every run")
    ap.add_argument("--tree", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                   "workspace"))
    ap.add_argument("--keep-index", action="store_true",
                    help="keep the selection index from run to run (the repeated run)")
    args = ap.parse_args()
    global UNPACK, CACHE, KEEP_INDEX
    UNPACK = os.path.join(args.tree, "ws", "uexp解包")
    CACHE = os.path.join(args.tree, "cache")
    KEEP_INDEX = args.keep_index

    config = os.path.join(args.tree, "ws", "配置")
    shutil.rmtree(config, ignore_errors=True)
    os.makedirs(config)
    # One rule file for both, or one each ("t1,t1000": the same build with
    # two rule files, to weigh the rules rather than the builds).
    rule_files = args.rules.split(",")
    if len(rule_files) == 1:
        rule_files *= 2
    runs = list(zip(args.tools, rule_files))

    def use(rules):
        shutil.copy(os.path.join(args.tree, "rules", "rules_%s.txt" % rules),
                    os.path.join(config, "rules.txt"))

    for k, (tool, rules) in enumerate(runs):  # warm the page cache and the repack folder
        use(rules)
        for _ in range(3):
            run_once(tool, k)
    times = [[] for _ in runs]
    for i in range(args.runs):
        for k in (0, 1) if i % 2 == 0 else (1, 0):
            tool, rules = runs[k]
            use(rules)
            times[k].append(run_once(tool, k, args.cold))
    for (tool, rules), t in zip(runs, times):
        print("%-40s %-6s median %6.1f ms   mean %6.1f ms   min %6.1f   max %6.1f" % (
            tool, rules, statistics.median(t) * 1e3, statistics.mean(t) * 1e3, min(t) * 1e3,
            max(t) * 1e3))
    print("second / first: median %.3f   mean %.3f" % (
        statistics.median(times[1]) / statistics.median(times[0]),
        statistics.mean(times[1]) / statistics.mean(times[0])))

if __name__ == "__main__":
    main()
