#!/usr/bin/env bash
# Builds uexpmod with a workspace inside build-demo/, fills that workspace with
# a small sample (a source pak, unpacked .uexp files, a rule file) and runs
# the tool on it. Answer the menu yourself, or pipe the answer:
#   echo 1 | scripts/demo.sh
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build-demo
ws=$build/workspace
generator=()
if command -v ninja >/dev/null 2>&1 && [ ! -f "$build/CMakeCache.txt" ]; then generator=(-G Ninja); fi
cmake -S "$repo" -B "$build" "${generator[@]}" -DUEXPMOD_WORKSPACE_ROOT="$ws" -DUEXPMOD_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target uexpmod --parallel >/dev/null

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

"$build/uexpmod" && status=0 || status=$?
echo
echo "exit status: $status; edited copies are in $ws/uexp打包"
exit "$status"
