#!/usr/bin/env bash
# Fills a workspace folder with a small sample: a pak in the source folder,
# unpacked .uexp files with and without the marker (UTF-8 and UTF-16LE texts)
# and one rule file. Anything already in the folder is removed first.
#   scripts/make_sample_workspace.sh /path/to/workspace
set -euo pipefail
ws=${1:?usage: make_sample_workspace.sh WORKSPACE}
rm -rf "$ws"
marker='Game/Mod/Escape/Audio/WwiseBank/'
mkdir -p "$ws/提取的pak/地铁水印" "$ws/uexp解包/Audio/Banks" "$ws/uexp解包/Maps" "$ws/配置"
printf 'PAK-SAMPLE' > "$ws/提取的pak/地铁水印/voice_mod.pak"
# UTF-8 text, and "开始" (U+5F00 U+59CB) in UTF-16LE: 00 5F CB 59.
printf '\x00\x01%s\x00旧文本\x00\x00\x5f\xcb\x59\x00' "$marker" > "$ws/uexp解包/Audio/Banks/voice_01.uexp"
printf '\x00%s\x00音量\x00' "$marker" > "$ws/uexp解包/Audio/music.uexp"
printf '\x00旧文本 without the marker\x00' > "$ws/uexp解包/Maps/level.uexp"
printf 'not a .uexp file' > "$ws/uexp解包/readme.txt"
cat > "$ws/配置/示例规则.txt" <<'RULES'
# 示例规则：搜索文本=替换文本
旧文本=新文本
音量:Volume
开始->GO
RULES
