#!/usr/bin/env python3
"""The run after an edit of the rule file, against the run of the same file
again: what the kept occurrences save and what a new search text costs.

    python3 bench/edit_run.py UEXPMOD [--tree T] [--rules t1000] [--edits 10] [--runs 15]

UEXPMOD must have the tree's workspace compiled in (as bench/ab.py's builds).
The rule file is edited two ways, N rules each: their replacements changed
(the characters reversed: the same length and form, the same search texts),
or their search texts changed (an "X" added to both texts). Before every
timed run of an edited file, the cache folder is put back as the unedited
file's run left it, so each is the first run after the edit. Also timed:
the unedited file again (its own cache), and one rule again.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import time


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tool")
    ap.add_argument("--tree", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "workspace"))
    ap.add_argument("--rules", default="t1000")
    ap.add_argument("--edits", type=int, default=10)
    ap.add_argument("--runs", type=int, default=15)
    args = ap.parse_args()
    config = os.path.join(args.tree, "ws", "配置")
    base = os.path.join(args.tree, "cache-edit")

    with open(os.path.join(args.tree, "rules", "rules_%s.txt" % args.rules), encoding="utf-8") as f:
        lines = f.read().split("\n")
    rules = [i for i, line in enumerate(lines) if "=" in line and not line.startswith("#")]
    step = max(1, len(rules) // args.edits)
    picked = rules[::step][:args.edits]

    def edited(how):
        out = list(lines)
        for i in picked:
            search, replacement = out[i].split("=", 1)
            out[i] = search + "=" + replacement[::-1] if how == "replacements" else \
                search + "X=" + replacement + "X"
        return "\n".join(out)

    files = {"again": "\n".join(lines), "replacements edited": edited("replacements"),
             "search texts edited": edited("search texts")}
    with open(os.path.join(args.tree, "rules", "rules_1.txt"), encoding="utf-8") as f:
        files["one rule again"] = f.read()

    def run(text, cache):
        shutil.rmtree(config, ignore_errors=True)
        os.makedirs(config)
        with open(os.path.join(config, "rules.txt"), "w", encoding="utf-8") as f:
            f.write(text)
        os.sync()
        start = time.perf_counter()
        subprocess.run([args.tool], input=b"1\n1\n", stdout=subprocess.DEVNULL, check=True,
                       env=dict(os.environ, XDG_CACHE_HOME=cache))
        return time.perf_counter() - start

    # The caches the unedited file and one rule leave.
    kept = base + "-kept"
    for name, cache in (("again", kept), ("one rule again", base + "-one")):
        shutil.rmtree(cache, ignore_errors=True)
        for _ in range(2):
            run(files[name], cache)
    times = {name: [] for name in files}
    for i in range(args.runs):
        for name in (list(files) if i % 2 == 0 else list(files)[::-1]):
            if name == "again":
                cache = kept
            elif name == "one rule again":
                cache = base + "-one"
            else:
                cache = base + "-edited"
                shutil.rmtree(cache, ignore_errors=True)
                shutil.copytree(kept, cache)
            times[name].append(run(files[name], cache))
    again = statistics.median(times["again"])
    one = statistics.median(times["one rule again"])
    for name, t in times.items():
        m = statistics.median(t)
        print("%-22s median %6.1f ms   ÷ again %.2f   ÷ one rule %.2f" % (name, m * 1e3, m / again, m / one))


if __name__ == "__main__":
    main()
