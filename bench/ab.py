#!/usr/bin/env python3
"""Times two builds of uexpmod against each other, run by run.

Both executables must have the benchmark tree's workspace compiled in
(-DUEXPMOD_WORKSPACE_ROOT=<tree>/ws, as bench/run.py builds it). The chosen
rule file becomes the workspace's only one; each round then runs both, in
turns that swap every round, with `sync` before each run (and with --cold the
unpacked tree evicted from the page cache), answering "1" to both menus, and
the script prints each build's median and mean.

    python3 bench/ab.py OLD_UEXPMOD NEW_UEXPMOD [--rules 1|t1000|...] [--runs 40] [--cold]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import time

from run import evict

UNPACK = None


def run_once(tool, cold=False):
    os.sync()
    if cold:
        evict(UNPACK)
    start = time.perf_counter()
    subprocess.run([tool], input=b"1\n1\n", stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tools", nargs=2)
    ap.add_argument("--rules", default="1", help="1, 10, 100, 1000, or t1 ... t1000")
    ap.add_argument("--runs", type=int, default=40)
    ap.add_argument("--cold", action="store_true",
                    help="evict the unpacked tree from the page cache before every run")
    ap.add_argument("--tree", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                   "workspace"))
    args = ap.parse_args()
    global UNPACK
    UNPACK = os.path.join(args.tree, "ws", "uexp解包")

    config = os.path.join(args.tree, "ws", "配置")
    shutil.rmtree(config, ignore_errors=True)
    os.makedirs(config)
    shutil.copy(os.path.join(args.tree, "rules", "rules_%s.txt" % args.rules),
                os.path.join(config, "rules.txt"))

    for tool in args.tools:  # warm the page cache and the repack folder
        for _ in range(3):
            run_once(tool)
    times = {tool: [] for tool in args.tools}
    for i in range(args.runs):
        for tool in args.tools if i % 2 == 0 else reversed(args.tools):
            times[tool].append(run_once(tool, args.cold))
    for tool in args.tools:
        print("%-50s median %6.1f ms   mean %6.1f ms" % (
            tool, statistics.median(times[tool]) * 1e3, statistics.mean(times[tool]) * 1e3))


if __name__ == "__main__":
    main()
