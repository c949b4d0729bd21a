#!/usr/bin/env python3
"""Writes rule files shaped like real translation lists, and the text the
targets hold for them (the mix family, rules_x*.txt).

Deterministic per seed. The 1,000 rules of the full list:
  - search texts of 2 to 40 characters, Chinese (some with digits and
    full-width punctuation) and English (words joined as keys and UI
    strings are: CamelCase, underscores, digits);
  - texts that are prefixes of other texts, the longer or the shorter rule
    first;
  - a quarter whose UTF-8 lengths differ from their replacement's, so only
    the UTF-16LE form applies (Chinese to English, English to a shorter
    Chinese padded with spaces);
  - texts absent from the tree;
  - chains: a rule that searches an earlier rule's replacement, and rules
    whose text spans the end of an earlier replacement and the text the tree
    holds after it, so that only the earlier rule's writing creates it.
The files of 1, 10 and 100 rules are samples of the full list in its order.

The targets' text (string_table) is serialised as the game's strings are: a
32-bit length (negative for UTF-16LE), the text and its terminator, entry
after entry, each of the texts the rules search for in the form they apply
in and, less often, in the other form; the texts that chains continue with
their continuation; and text no rule names.

Every list is checked against the shape above when it is made (check()).

usage: make_rules.py FOLDER [--seed N]      writes FOLDER/rules_x{1,10,100,1000}.txt and prints its shape
"""
import argparse
import os
import random
import struct

WORDS = ["Dragon", "Crystal", "Forge", "Harbor", "Lantern", "Merchant", "Relic", "Shrine", "Tavern",
         "Voyage", "Cavern", "Ember", "Frost", "Gale", "Hollow", "Ivory", "Jade", "Kingdom", "Lotus",
         "Mystic", "Nomad", "Oath", "Phantom", "Quiver", "Rune", "Sable", "Thorn", "Umbra", "Vale",
         "Warden", "Zenith", "Amber", "Beacon", "Cinder", "Dusk", "Echo", "Falcon", "Glyph", "Haven",
         "Press", "Any", "Key", "To", "Continue", "Reward", "Title", "Desc", "Tooltip", "Daily",
         "Claim", "Unlock", "Upgrade", "Craft", "Equip", "Sell", "Buy", "Open", "Close", "Chest",
         "Guild", "Friend", "Invite", "Accept", "Decline", "Chapter", "Stage", "Boss", "Elite", "Raid"]
HANZI = ("剑盾弓箭枪炮刀斧锤杖法术魔力火冰雷风土光暗毒血骨龙凤虎狼鹰蛇熊狐神圣灵鬼妖魂王后骑士兵将军师"
         "长老村城堡塔门桥山河湖海岛林森洞穴矿石金银铜铁钢玉宝珠晶币卷轴书信药水丹草花果肉鱼酒茶饭面包"
         "衣帽靴甲盔袍戒指项链耳环腰带箱柜桌椅床灯炉锅碗杯盘叉勺任务主线支日常活动就奖励经验等级属性技能"
         "天赋装备道具材料商店仓库设置选项音量画语言确定取消返回继续开始结束暂停退出保存读删除登录注册好友"
         "公会队伍聊邮件排行榜战斗胜利失败复活传送地图坐标距离时间秒分钟小周月年第一二三四五六七八九十百千"
         "万个次回关章节")
PUNCTUATION = "，。！？、"
LETTERS = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
# What splits a rule line (app/replacement_rules.cpp): no text may hold one.
SEPARATORS = (" ", "=", ":", "->", "替换成")


def u16(text):
    return text.encode("utf-16-le")


def chars(text):
    return len(text)


def padded(search, replacement):
    """The replacement as the tool pads it: spaces up to the search's characters."""
    return replacement + " " * max(0, chars(search) - chars(replacement))


def form_of(search, replacement):
    """'utf8', 'utf16' or None: the form in which the tool applies a rule."""
    r = padded(search, replacement)
    if len(search.encode()) == len(r.encode()):
        return "utf8"
    if len(u16(search)) == len(u16(r)):
        return "utf16"
    return None


def encode(text, form):
    return text.encode() if form == "utf8" else u16(text)


def valid(text, shortest=2):
    return (shortest <= chars(text) <= 40 and not text.startswith("#") and text.strip() == text
            and not any(s in text for s in SEPARATORS))


class Texts:
    """Fresh texts, each made once."""

    def __init__(self, rng):
        self.rng = rng
        self.made = set()

    def _fresh(self, make):
        while True:
            text = make()
            if valid(text) and text not in self.made:
                self.made.add(text)
                return text

    def english(self, low=2, high=40):
        rng = self.rng

        def make():
            want = rng.randint(low, high) if rng.random() < 0.3 else rng.randint(low, min(high, 16))
            joiner = rng.choice(["", "_", ""])
            parts = []
            while len(joiner.join(parts)) < want:
                parts.append(rng.choice(WORDS) if rng.random() < 0.85 else str(rng.randrange(1, 100)))
            return joiner.join(parts)[:want].rstrip("_")
        return self._fresh(make)

    def chinese(self, low=2, high=40):
        rng = self.rng

        def make():
            want = rng.randint(low, high) if rng.random() < 0.2 else rng.randint(low, min(high, 8))
            out = []
            for k in range(want):
                pick = rng.random()
                if 0 < k < want - 1 and pick < 0.05:
                    out.append(rng.choice(PUNCTUATION))
                elif pick < 0.10:
                    out.append(rng.choice("0123456789"))
                else:
                    out.append(rng.choice(HANZI))
            return "".join(out)
        return self._fresh(make)

    def like(self, text):
        """Another fresh text of the same script as `text`."""
        return self.chinese() if is_chinese(text) else self.english()


def is_chinese(text):
    return any(ord(c) > 0x7F for c in text)


def same_bytes(rng, search):
    """A replacement applied in UTF-8: each character by one of the same
    bytes (hanzi for hanzi, letters for ASCII), or for a Chinese text now and
    then ASCII of three times its characters (its UTF-8 bytes)."""
    if is_chinese(search) and rng.random() < 0.2 and 3 * chars(search) <= 40 and all(
            ord(c) > 0x7FF for c in search):
        return "".join(rng.choice(LETTERS) for _ in range(3 * chars(search)))
    out = []
    for c in search:
        if ord(c) > 0x7FF:
            out.append(rng.choice(HANZI))
        elif c.isdigit():
            out.append(c)
        else:
            out.append(rng.choice(LETTERS))
    return "".join(out)


def other_script(rng, search):
    """A replacement applied only in UTF-16LE: Chinese to English of its
    characters, English to Chinese of fewer characters (padded by the tool)."""
    if is_chinese(search):
        return "".join(rng.choice(LETTERS) for _ in range(chars(search)))
    n = max(1, min(chars(search) - 1, rng.randint(1, max(1, chars(search) // 2))))
    return "".join(rng.choice(HANZI) for _ in range(n))


def make_mix(seed, count=1000):
    """(rules, pieces, shape): the rules in order as (search, replacement);
    the texts the targets hold, as (text, form, continuation) with
    continuation the text written right after it ('' for none); and what
    each rule is, for check()."""
    rng = random.Random(seed)
    texts = Texts(rng)
    rules, kinds = [], []
    present = []  # indexes of rules whose search text the tree holds
    chainable = {"utf8": [], "utf16": []}  # indexes whose replacement is exactly as long
    continuations = {}  # rule index -> the text after its search text in the tree

    def add(search, replacement, kind, in_tree=True):
        assert valid(search) and valid(replacement, 1), (search, replacement)
        form = form_of(search, replacement)
        rules.append((search, replacement))
        kinds.append(kind)
        index = len(rules) - 1
        if in_tree:
            present.append(index)
        if chars(replacement) == chars(search) and form is not None:
            chainable[form].append(index)
        return index

    def replacement_for(search, form):
        return same_bytes(rng, search) if form == "utf8" else other_script(rng, search)

    while len(rules) < count:
        # Every fourth rule applies in UTF-16LE only; the kind of text varies.
        form = "utf16" if len(rules) % 4 == 3 else "utf8"
        pick = rng.random()
        if pick < 0.15:  # absent from the tree
            search = texts.chinese() if rng.random() < 0.5 else texts.english()
            add(search, replacement_for(search, form), "absent", in_tree=False)
        elif pick < 0.27 and chainable[form]:  # searches an earlier replacement
            earlier = rules[rng.choice(chainable[form])]
            search = earlier[1]
            if form == "utf16" and not is_chinese(search) and chars(search) < 2:
                continue
            add(search, replacement_for(search, form), "chain", in_tree=False)
        elif pick < 0.37 and form == "utf8" and present:  # spans an earlier replacement's end
            i = rng.choice(present)
            s, r = rules[i]
            if is_chinese(s) or form_of(s, r) != "utf8" or chars(r) != chars(s) or chars(s) < 4:
                continue
            tail = continuations.setdefault(i, texts.english(2, 12))
            search = r[rng.randint(1, chars(r) - 1):] + tail
            if not valid(search) or search in texts.made:
                continue
            texts.made.add(search)
            add(search, same_bytes(rng, search), "across", in_tree=False)
        elif pick < 0.55 and present:  # a prefix of another text, or one extended
            base = rules[rng.choice(present)][0]
            if rng.random() < 0.5 and chars(base) > 2:
                search = base[:rng.randint(2, chars(base) - 1)]
            else:
                search = base + texts.like(base)[:rng.randint(1, 12)]
            if not valid(search) or search in texts.made or (form == "utf16" and chars(search) < 2):
                continue
            texts.made.add(search)
            add(search, replacement_for(search, form), "prefix")
        else:
            search = texts.chinese() if rng.random() < 0.5 else texts.english()
            add(search, replacement_for(search, form), "plain")

    pieces = []
    for i in present:
        s, r = rules[i]
        pieces.append((s, form_of(s, r), continuations.get(i, "")))
    # Text no rule names: a third as much as the rules'.
    for _ in range(len(pieces) // 3):
        pieces.append((texts.chinese() if rng.random() < 0.5 else texts.english(), None, ""))
    shape = {"kinds": kinds}
    return rules, pieces, shape


def check(rules, pieces):
    """Fails unless the list has the shape the module's header promises."""
    count = len(rules)
    forms = [form_of(s, r) for s, r in rules]
    assert all(valid(s) and valid(r, 1) for s, r in rules), "a text outside 2 to 40 characters or holding a separator"
    utf16 = forms.count("utf16")
    assert abs(utf16 - count // 4) <= 1, "%d of %d rules apply only in UTF-16LE" % (utf16, count)
    assert all(f is not None for f in forms), "a rule that applies in no form"
    in_tree = {s for s, _, _ in pieces}
    if count < 100:
        return
    searches = [s for s, _ in rules]
    by_text = sorted(set(searches))
    prefixes = sum(1 for k in range(len(by_text) - 1) if by_text[k + 1].startswith(by_text[k]))
    assert prefixes >= count // 20, "%d texts are prefixes of others" % prefixes
    absent = sum(1 for s in searches if s not in in_tree)
    assert absent >= count // 10, "%d texts absent from the tree" % absent
    replaced = {}
    chained = 0
    for k, (s, r) in enumerate(rules):
        if s in replaced and replaced[s] < k:
            chained += 1
        replaced.setdefault(r, k)
    assert chained >= count // 20, "%d rules search an earlier replacement" % chained
    # A text the tree holds only once an earlier rule wrote the start of it.
    first_at = {}
    for k, (s, _) in enumerate(rules):
        first_at.setdefault(s, k)
    created = set()
    for text, form, tail in pieces:
        i = first_at.get(text)
        if not tail or i is None or form != "utf8":
            continue
        r = rules[i][1]
        created |= {k for k, (s, _) in enumerate(rules) if k > i and s.endswith(tail) and len(s) > len(tail)
                    and r.endswith(s[:-len(tail)]) and s not in in_tree}
    assert len(created) >= count // 50, "%d texts are created across a replacement's end" % len(created)
    lengths = [chars(s) for s in searches]
    assert min(lengths) == 2 and max(lengths) >= 30, "search texts of %d to %d characters" % (min(lengths), max(lengths))
    assert any(is_chinese(s) for s in searches) and any(not is_chinese(s) for s in searches)


def rule_files(seed, full=1000):
    """{n: rules} for the files of 1, 10, 100 and `full` rules, and the pieces."""
    rules, pieces, _ = make_mix(seed, full)
    check(rules, pieces)
    rng = random.Random(seed + 1)
    present = [k for k, (s, r) in enumerate(rules) if s in {p for p, _, _ in pieces}]
    files = {full: rules, 1: [rules[rng.choice(present)]]}
    for n in (10, 100):
        files[n] = [rules[k] for k in sorted(rng.sample(range(full), n))]
    return files, pieces


def string_table(rng, pieces, size):
    """`size` bytes of serialised strings drawn from `pieces`: a text in the
    form its rule applies in three times out of four, else in the other."""
    out = bytearray()
    while len(out) < size:
        text, form, tail = rng.choice(pieces)
        if form is None or rng.random() < 0.25:
            form = "utf16" if form == "utf8" or (form is None and rng.random() < 0.5) else "utf8"
        whole = text + tail
        if form == "utf8":
            data = whole.encode() + b"\0"
            out += struct.pack("<i", len(data)) + data
        else:
            out += struct.pack("<i", -(chars(whole) + 1)) + u16(whole) + b"\0\0"
    return bytes(out[:size])


def write_files(folder, seed):
    files, pieces = rule_files(seed)
    for n, rules in sorted(files.items()):
        with open(os.path.join(folder, "rules_x%d.txt" % n), "w", encoding="utf-8") as f:
            f.write("# %d rules of a translation list\n" % n)
            for s, r in rules:
                f.write("%s=%s\n" % (s, r))
    return files, pieces


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("folder")
    ap.add_argument("--seed", type=int, default=20261237)
    args = ap.parse_args()
    os.makedirs(args.folder, exist_ok=True)
    files, pieces = write_files(args.folder, args.seed)
    rules = files[max(files)]
    kinds = make_mix(args.seed, len(rules))[2]["kinds"]
    forms = [form_of(s, r) for s, r in rules]
    print("%d rules: %s; UTF-16LE only %d; search texts of %d to %d characters; %d texts in the tree"
          % (len(rules), ", ".join("%s %d" % (k, kinds.count(k)) for k in sorted(set(kinds))),
             forms.count("utf16"), min(chars(s) for s, _ in rules), max(chars(s) for s, _ in rules),
             len(pieces)))


if __name__ == "__main__":
    main()
