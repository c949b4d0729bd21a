#pragma once

// The bytes and rule lists the engine's benchmarks run on, shared by the
// micro-benchmarks and bench/engine_run.cpp (the same work, built for
// aarch64 and counted under qemu).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "util/multi_replacer.h"
#include "util/string_utils.h"

namespace benchinputs {

inline std::vector<char> assetLikeBytes(std::size_t size, std::uint32_t seed,
                                        const std::vector<std::string>& sprinkle = {}) {
  static const char* nearMisses[] = {"/Game/Mod/Escape/Audio/Music/",
                                     "/Game/Mod/Escape/UI/Textures/",
                                     "/Game/Maps/Escape/Audio/WwiseEvents/",
                                     "/Script/CoreUObject",
                                     "/Game/Mod/Escape/Audio/Wwise",
                                     "None",
                                     "WwiseBank"};
  std::mt19937 rng(seed);
  std::vector<char> out;
  out.reserve(size + 8192);
  while (out.size() < size) {
    const double pick = std::uniform_real_distribution<double>(0, 1)(rng);
    if (pick < 0.30) {
      out.insert(out.end(), 16 + rng() % 2032, '\0');
    } else if (pick < 0.55) {
      for (std::size_t n = 16 + rng() % 4080; n > 0; --n) out.push_back(static_cast<char>(rng()));
    } else if (pick < 0.75) {
      std::vector<char> block(64);
      for (char& c : block) c = static_cast<char>(rng() % 8);
      for (std::size_t n = 1 + rng() % 31; n > 0; --n)
        out.insert(out.end(), block.begin(), block.end());
    } else if (pick < 0.92) {
      const std::string s = std::string(nearMisses[rng() % 7]) + std::to_string(rng() % 10000);
      out.insert(out.end(), s.begin(), s.end() + 1);
    } else if (pick < 0.97 || sprinkle.empty()) {
      const std::string s =
          UTF8Utils::utf8ToUtf16LE("Text_" + std::to_string(rng() % 100000) + " ");
      for (std::size_t n = 1 + rng() % 7; n > 0; --n) out.insert(out.end(), s.begin(), s.end());
    } else {
      const std::string& s = sprinkle[rng() % sprinkle.size()];
      out.insert(out.end(), s.begin(), s.end());
    }
  }
  out.resize(size);
  return out;
}

using Texts = std::vector<std::pair<std::string, std::string>>;

// Views of the texts, which must outlive them.
inline std::vector<BytePair> viewsOf(const Texts& texts) {
  std::vector<BytePair> pairs;
  for (const auto& [search, replacement] : texts) pairs.push_back({search, replacement});
  return pairs;
}

// The translator family of bench/make_workspace.py (rules_t*), drawn the
// same way with this file's own generator: English item and UI words, some
// with a number, and CJK texts of 2 to 7 characters; rules to CJK, to
// English of the same length, to ASCII of the same character count (so
// UTF-16LE applies) or never applicable, with duplicates and chains.
inline const char* const kEnglish[] = {
    "Sword",    "Shield",  "Rifle",   "Pistol",   "Ammo",   "Armor",  "Helmet",  "Medkit",
    "Bandage",  "Grenade", "Knife",   "Backpack", "Level",  "Health", "Stamina", "Weapon",
    "Item",     "Map",     "Quest",   "Start",    "Exit",   "Back",   "Confirm", "Cancel",
    "Settings", "Loading", "Victory", "Defeat",   "Player", "Team",   "Kill",    "Score",
    "Vest",     "Scope",   "Grip",    "Sniper",   "Energy"};
inline const std::string kCjk =
    "武器弹药背包头盔护甲医疗箱绷带手雷匕首步枪手枪狙击镜握把能量饮料开始退出返回确认取消"
    "设置加载胜利失败玩家队伍击杀得分任务地图物品等级生命体力";

inline std::string cjkText(std::mt19937& rng, std::size_t characters) {
  std::string out;
  for (std::size_t k = 0; k < characters; ++k)
    out += kCjk.substr(3 * (rng() % (kCjk.size() / 3)), 3);
  return out;
}

inline std::vector<std::string> translatorTexts() {
  std::mt19937 rng(7);
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < 600; ++i) {
    if (i % 2 == 0) {
      std::string word = kEnglish[rng() % std::size(kEnglish)];
      if (rng() % 10 >= 6) word += "_" + std::to_string(1 + rng() % 9);
      texts.push_back(word);
    } else {
      texts.push_back(cjkText(rng, 2 + rng() % 6));
    }
  }
  return texts;
}

// As a rule file holds them: UTF-8, applied in UTF-8 where the byte lengths
// agree, else in UTF-16LE where those agree, else never.
inline Texts translatorRules(std::size_t count) {
  const std::vector<std::string> texts = translatorTexts();
  std::mt19937 rng(static_cast<unsigned>(count + 1));
  Texts rules;
  for (std::size_t i = 0; i < count; ++i) {
    std::string s = texts[i % texts.size()];
    std::string r;
    if (i % 10 == 9 && !rules.empty()) {
      const auto earlier = rules[rng() % rules.size()];
      const unsigned pick = rng() % 3;
      if (pick == 0) {
        rules.push_back(earlier);
        continue;
      }
      if (pick == 2) {
        rules.emplace_back("Tag" + std::to_string(i), "LongerTag" + std::to_string(i));
        continue;
      }
      s = earlier.second;
    }
    const bool ascii = std::all_of(s.begin(), s.end(), [](char c) { return (c & 0x80) == 0; });
    const std::size_t characters = ascii ? s.size() : s.size() / 3;
    const unsigned pick = rng() % 10;
    if (ascii) {
      r = pick < 7 ? cjkText(rng, std::max<std::size_t>(1, characters / 2))
                   : std::string(characters, static_cast<char>('A' + rng() % 26));
    } else if (pick < 4) {
      r = cjkText(rng, characters);
    } else if (pick < 7) {
      r = std::string(characters, static_cast<char>('A' + rng() % 8));
    } else {
      r = std::string(3 * characters, static_cast<char>('a' + rng() % 8));
    }
    rules.emplace_back(s, r);
  }
  return rules;
}

// The forms the engine is handed, as the rule file's loader makes them: the
// replacement padded with spaces to the search text's character count, then
// the UTF-8 form where the byte lengths agree, else the UTF-16LE one.
inline Texts appliedForms(const Texts& rules) {
  const auto characters = [](const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
      return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
  };
  Texts applied;
  for (auto [s, r] : rules) {
    if (characters(r) < characters(s)) r.append(characters(s) - characters(r), ' ');
    if (s.size() == r.size()) {
      applied.emplace_back(s, r);
    } else if (UTF8Utils::utf8ToUtf16LE(s).size() == UTF8Utils::utf8ToUtf16LE(r).size()) {
      applied.emplace_back(UTF8Utils::utf8ToUtf16LE(s), UTF8Utils::utf8ToUtf16LE(r));
    } else {
      applied.emplace_back(s, r);
    }
  }
  return applied;
}

// A target as bench/make_workspace.py writes them: asset-like bytes with a
// piece of game text of the rules' vocabulary here and there.
inline std::vector<char> assetWithTextBytes(std::size_t size) {
  std::vector<std::string> pieces;
  for (const std::string& text : translatorTexts()) {
    pieces.push_back(text);
    pieces.push_back(UTF8Utils::utf8ToUtf16LE(text));
  }
  return assetLikeBytes(size, 3, pieces);
}

// A target dense with text: game text in UTF-8 or UTF-16LE, each piece
// behind a four-byte length as assets store strings, with a block of
// asset-like bytes now and then. One piece in eight is a text of the rules'
// vocabulary; the others share its alphabet and words (CJK texts of the same
// characters, the words with other numbers) and are texts no rule searches
// for, though a word can hold a rule's.
inline std::vector<char> textDenseBytes(std::size_t size) {
  const std::vector<std::string> texts = translatorTexts();
  std::mt19937 rng(11);
  std::vector<char> out;
  out.reserve(size + 8192);
  while (out.size() < size) {
    if (rng() % 16 == 0) {
      const std::vector<char> filler = assetLikeBytes(256 + rng() % 1024, rng());
      out.insert(out.end(), filler.begin(), filler.end());
      continue;
    }
    std::string text;
    const unsigned pick = rng() % 16;
    if (pick < 2) {
      text = texts[rng() % texts.size()];
    } else if (pick < 9) {
      text = cjkText(rng, 2 + rng() % 6);
    } else {
      text = std::string(kEnglish[rng() % std::size(kEnglish)]) + "_" +
             std::to_string(10 + rng() % 990);
    }
    if (rng() % 2 == 0) text = UTF8Utils::utf8ToUtf16LE(text);
    const auto length = static_cast<std::uint32_t>(text.size());
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<char>(length >> (8 * k)));
    out.insert(out.end(), text.begin(), text.end());
  }
  out.resize(size);
  return out;
}

}  // namespace benchinputs
