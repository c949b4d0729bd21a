#!/usr/bin/env python3
"""Writes a deterministic benchmark workspace for uexpmod.

The tree imitates an unpacked game: about 1,500 .uexp files in nested
folders plus other asset files (.uasset, .ubulk) the tool must ignore, sizes
spread log-uniformly from a few KiB to tens of MiB, about 1 GiB in all. The
content mixes zero padding, small integers, ASCII asset paths (many of them
sharing long prefixes with the marker), UTF-16LE text and noise, so a search
meets the near-misses it meets in real files. About 3 % of the .uexp files
contain the marker, at the start, in the middle, in the very last bytes and
straddling 1 MiB boundaries. Rule files of 1, 10, 100 and 1,000 rules mix
UTF-8 and UTF-16LE cases; a tenth of the rules occur in the target files. A
second family (rules_t*.txt) is what translators write: common English item
and UI words and short CJK texts, in UTF-8 and UTF-16LE forms, with chains,
duplicates and rules that never apply; the targets hold game text drawn from
the same vocabulary, about one piece per KiB. A third (rules_c*.txt) chains
rules over that vocabulary (A->B, B->C, ...) in both encodings, so the
targets are dense with occurrences of them. A fourth (rules_x*.txt, from
bench/make_rules.py with a seed of its own) is shaped like real translation
lists, on texts the other families never use; about a quarter of each
target is string tables of its texts, in both encodings.

With --near-misses N, the non-target .uexp files also hold about N near
misses per GiB: the marker with one byte changed, at each of its positions
in turn (a search that tests a few of the marker's bytes first meets them
all). With --extra-files N, N more small .uexp files of 1 to 4 KiB, none a
target, lie in folders of their own: the same targets among more files.

usage: make_workspace.py ROOT [--scale 1.0] [--seed N] [--near-misses N] [--extra-files N]
"""
import argparse
import os
import random
import shutil

import make_rules as translation_lists

MARKER = b"Game/Mod/Escape/Audio/WwiseBank/"
MIB = 1 << 20
NEAR_MISSES = [
    b"/Game/Mod/Escape/Audio/Music/",
    b"/Game/Mod/Escape/UI/Textures/",
    b"/Game/Maps/Escape/Audio/WwiseEvents/",
    b"/Script/CoreUObject",
    b"/Game/Mod/Escape/Audio/Wwise",
    b"None",
    b"WwiseBank",
]


def u16(text):
    return text.encode("utf-16-le")


def make_rules(rng, count):
    """Rules as (search, replacement, form in which they apply, applied bytes)."""
    rules = []
    hanzi = "语音台词音效背景开始结束确认取消返回设置武器弹药地图任务角色"
    for i in range(count):
        kind = i % 4
        if kind == 0:  # ASCII, equal bytes: UTF-8
            s = "VoiceLine_%05d" % (i * 7919 % 100000)
            r = "ModLine_X_%05d" % i
        elif kind == 1:  # hanzi to ASCII with the same character count: UTF-16LE
            n = 2 + i % 4
            s = "".join(rng.choice(hanzi) for _ in range(n)) + str(i)
            r = "".join(rng.choice("ABCDEFGH") for _ in range(n)) + str(i)
        elif kind == 2:  # hanzi to hanzi, same count: UTF-8
            n = 2 + i % 3
            s = "".join(rng.choice(hanzi) for _ in range(n)) + "%03d" % i
            r = "".join(rng.choice(hanzi) for _ in range(n)) + "%03d" % i
        else:  # longer replacement: never applies
            s = "Tag%d" % i
            r = "LongerTag%d" % i
        if len(s.encode()) == len(r.encode()):
            applied = s.encode()
        elif len(u16(s)) == len(u16(r)):
            applied = u16(s)
        else:
            applied = None
        rules.append((s, r, applied))
    return rules


ENGLISH = ["Sword", "Shield", "Rifle", "Pistol", "Ammo", "Armor", "Helmet", "Medkit", "Bandage",
           "Grenade", "Knife", "Backpack", "Level", "Health", "Stamina", "Weapon", "Item", "Map",
           "Quest", "Start", "Exit", "Back", "Confirm", "Cancel", "Settings", "Loading", "Victory",
           "Defeat", "Player", "Team", "Kill", "Score", "Vest", "Scope", "Grip", "Sniper", "Energy"]
CJK = "武器弹药背包头盔护甲医疗箱绷带手雷匕首步枪手枪狙击镜握把能量饮料开始退出返回确认取消设置加载胜利失败玩家队伍击杀得分任务地图物品等级生命体力"


def translator_texts(rng, count):
    """What translators' rules search for: English item and UI words, some
    with numeric suffixes, and CJK texts of 2 to 7 characters."""
    texts = []
    for i in range(count):
        if i % 2 == 0:
            word = rng.choice(ENGLISH)
            texts.append(word if rng.random() < 0.6 else "%s_%d" % (word, rng.randrange(1, 10)))
        else:
            texts.append("".join(rng.choice(CJK) for _ in range(rng.randrange(2, 8))))
    return texts


def make_translator_rules(rng, count, texts):
    """A translator's rule file: English words to Chinese (padded with spaces,
    so they apply in UTF-16LE) or to English of the same length (UTF-8), CJK to
    CJK of the same count (UTF-8), to ASCII of the same count (UTF-16LE) or of
    three times the count (UTF-8); a tenth are duplicates, chains (an earlier
    replacement searched again) or rules that never apply."""
    rules = []
    for i in range(count):
        s = texts[i % len(texts)]
        if i % 10 == 9 and rules:
            pick = rng.randrange(3)
            earlier = rng.choice(rules)
            if pick == 0:
                rules.append(earlier)
                continue
            if pick == 1 and earlier[1].strip() == earlier[1]:
                s = earlier[1]
            else:
                rules.append(("Tag%d" % i, "LongerTag%d" % i))
                continue
        if s.isascii():
            if rng.random() < 0.7:
                r = "".join(rng.choice(CJK) for _ in range(max(1, len(s) // 2)))
            else:
                r = "".join(rng.choice("ABCDEFGHIJKLMNOPQRSTUVWXYZ") for _ in range(len(s)))
        else:
            pick = rng.random()
            if pick < 0.4:
                r = "".join(rng.choice(CJK) for _ in range(len(s)))
            elif pick < 0.7:
                r = "".join(rng.choice("ABCDEFGH") for _ in range(len(s)))
            else:
                r = "".join(rng.choice("abcdefgh") for _ in range(3 * len(s)))
        rules.append((s, r))
    return rules


def make_chained_rules(rng, count, texts):
    """Rules that chain over the targets' vocabulary: each chain turns a text
    into another of the same character count, that one into a third, and so
    on (A->B, B->C, ...), two to five links long. Texts of one script apply
    in UTF-8, an English word to a CJK text and back in UTF-16LE, so almost
    every piece of game text is rewritten, many several times over, and the
    rescans after each rule's writes carry real weight."""
    by_length = {}
    for t in sorted(set(texts)):
        by_length.setdefault(len(t), []).append(t)
    rules = []
    while len(rules) < count:
        s = rng.choice(texts)
        for _ in range(rng.randrange(2, 6)):
            if len(rules) == count:
                break
            r = rng.choice(by_length[len(s)])
            rules.append((s, r))
            s = r
    return rules


def game_text(rng, texts):
    """One piece of game text as the targets hold it: UTF-8 or UTF-16LE."""
    text = rng.choice(texts)
    return text.encode() if rng.random() < 0.5 else u16(text)


def filler(rng, size, rule_bytes):
    """Asset-like bytes of exactly `size`."""
    parts = []
    total = 0
    while total < size:
        pick = rng.random()
        if pick < 0.30:
            chunk = bytes(rng.randrange(16, 2048))
        elif pick < 0.55:
            chunk = rng.randbytes(rng.randrange(16, 4096))
        elif pick < 0.75:
            chunk = bytes(rng.randrange(0, 8) for _ in range(64)) * rng.randrange(1, 32)
        elif pick < 0.92:
            chunk = rng.choice(NEAR_MISSES) + b"%d\x00" % rng.randrange(10000)
        elif pick < 0.97:
            chunk = u16("Text_%d " % rng.randrange(100000)) * rng.randrange(1, 8)
        else:
            chunk = rng.choice(rule_bytes) if rule_bytes else b""
        parts.append(chunk)
        total += len(chunk)
    return b"".join(parts)[:size]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("root")
    ap.add_argument("--scale", type=float, default=1.0, help="fraction of the full size")
    ap.add_argument("--seed", type=int, default=20261207,
                    help="another seed gives another tree: sizes, folders, targets, content")
    ap.add_argument("--near-misses", type=int, default=0, help="near misses of the marker per GiB")
    ap.add_argument("--extra-files", type=int, default=0, help="small non-target .uexp files")
    args = ap.parse_args()
    rng = random.Random(args.seed)
    root = args.root
    if os.path.exists(root):
        shutil.rmtree(root)

    rule_sets = {n: make_rules(random.Random(n), n) for n in (1, 10, 100, 1000)}
    os.makedirs(os.path.join(root, "rules"))
    for n, rules in rule_sets.items():
        with open(os.path.join(root, "rules", "rules_%d.txt" % n), "w", encoding="utf-8") as f:
            f.write("# %d rules\n" % n)
            for s, r, _ in rules:
                f.write("%s=%s\n" % (s, r))
    # A second family: what translators write, in 1 to 1,000 rules over a
    # vocabulary of 600 texts that the targets' game text is drawn from.
    texts = translator_texts(random.Random(7), 600)
    for n in (1, 10, 100, 1000):
        with open(os.path.join(root, "rules", "rules_t%d.txt" % n), "w", encoding="utf-8") as f:
            f.write("# %d translator rules\n" % n)
            for s, r in make_translator_rules(random.Random(n + 1), n, texts):
                f.write("%s=%s\n" % (s, r))

    # A third family: chains of rules over the same vocabulary.
    for n in (1, 10, 100, 1000):
        with open(os.path.join(root, "rules", "rules_c%d.txt" % n), "w", encoding="utf-8") as f:
            f.write("# %d chained rules\n" % n)
            for s, r in make_chained_rules(random.Random(n + 2), n, texts):
                f.write("%s=%s\n" % (s, r))

    # A fourth: translation lists, from a seed of their own per tree.
    _, mix_pieces = translation_lists.write_files(os.path.join(root, "rules"), args.seed + 30)

    # A tenth of the applicable rules of the largest set occur in target files;
    # the smaller sets are prefixes of their own generator, so seed those too.
    occurring = []
    for n, rules in rule_sets.items():
        applicable = [a for _, _, a in rules if a is not None]
        occurring += applicable[:: 10] if len(applicable) > 1 else applicable

    unpack = os.path.join(root, "ws", "uexp解包")
    uexp_count = int(1500 * args.scale) or 1
    other_count = int(500 * args.scale) or 1
    # Log-uniform sizes from 4 KiB to 40 MiB, scaled to about 1 GiB in all.
    sizes = [int(4096 * (10240 ** rng.random())) for _ in range(uexp_count + other_count)]
    factor = (1024 * MIB * args.scale) / sum(sizes)
    sizes = [max(64, int(s * factor)) for s in sizes]

    targets = set(rng.sample(range(uexp_count), max(1, uexp_count * 3 // 100)))
    placements = ["start", "middle", "end", "boundary"]
    total = 0
    for i, size in enumerate(sizes):
        depth = rng.randrange(1, 4)
        folder = os.path.join(unpack, *["Dir%02d" % rng.randrange(12) for _ in range(depth)])
        os.makedirs(folder, exist_ok=True)
        if i < uexp_count:
            name = "Asset_%04d.uexp" % i
            if i in targets:
                size = min(size, 4 * MIB)  # targets stay small; the largest files are scanned only
        else:
            name = "Asset_%04d.%s" % (i, rng.choice(["uasset", "ubulk"]))
        data = bytearray(filler(rng, size, occurring if i in targets else []))
        if i in targets:
            # String tables of the translation lists' texts over a quarter of
            # the target, from a generator of its own, under what follows.
            table_rng = random.Random(args.seed * 7 + i)
            covered = 0
            while covered < len(data) // 4:
                n = min(table_rng.randrange(1024, 16384), len(data))
                p = table_rng.randrange(0, len(data) - n + 1)
                data[p:p + n] = translation_lists.string_table(table_rng, mix_pieces, n)
                covered += n
            where = placements[i % len(placements)]
            if where == "boundary" and len(data) > MIB + 64:
                at = MIB - rng.randrange(1, len(MARKER))
            elif where == "end":
                at = len(data) - len(MARKER)
            elif where == "middle":
                at = len(data) // 2
            else:
                at = 0
            at = max(0, min(at, len(data) - len(MARKER)))
            data[at:at + len(MARKER)] = MARKER
            for extra in rng.sample(occurring, min(8, len(occurring))):
                p = rng.randrange(0, max(1, len(data) - len(extra)))
                if not (p + len(extra) > at and p < at + len(MARKER)):
                    data[p:p + len(extra)] = extra
            # Game text, about one piece per KiB, from a generator of its own
            # so the rest of the tree stays as it was.
            text_rng = random.Random(i)
            for _ in range(len(data) // 1024):
                piece = game_text(text_rng, texts)
                p = text_rng.randrange(0, max(1, len(data) - len(piece)))
                if not (p + len(piece) > at and p < at + len(MARKER)):
                    data[p:p + len(piece)] = piece
        if args.near_misses and i < uexp_count and i not in targets:
            # From a generator of its own, so the tree is otherwise the same.
            miss_rng = random.Random(1_000_000 + i)
            for _ in range(int(args.near_misses * len(data) / (1024 * MIB)) + (miss_rng.random() < 0.5)):
                if len(data) <= len(MARKER):
                    break
                k = miss_rng.randrange(len(MARKER))
                miss = bytearray(MARKER)
                miss[k] = (miss[k] + 1 + miss_rng.randrange(254)) % 256
                p = miss_rng.randrange(0, len(data) - len(MARKER))
                data[p:p + len(MARKER)] = miss
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
        total += len(data)

    extra_rng = random.Random(args.seed + 5)
    for i in range(args.extra_files):
        folder = os.path.join(unpack, "Extra", "E%03d" % (i // 500), "S%02d" % (i % 500 // 50))
        os.makedirs(folder, exist_ok=True)
        data = filler(extra_rng, extra_rng.randrange(1024, 4096), [])
        with open(os.path.join(folder, "Small_%06d.uexp" % i), "wb") as f:
            f.write(data)
        total += len(data)

    ws = os.path.join(root, "ws")
    for sub in ("pak", "uexp打包", "配置", "提取的pak/地铁水印"):
        os.makedirs(os.path.join(ws, sub), exist_ok=True)
    with open(os.path.join(ws, "pak", "bench.pak"), "wb") as f:
        f.write(b"PAK")
    print("wrote %d files, %.1f MiB, %d targets under %s"
          % (len(sizes) + args.extra_files, total / MIB, len(targets), root))


if __name__ == "__main__":
    main()
