#!/usr/bin/env bash
# Builds the phone binary: a statically linked aarch64 uexpmod that needs no
# library of the device (build-android/uexpmod), then checks it: `file` must
# call it a static ARM aarch64 executable, and the same build with a scratch
# workspace root must run a whole pass on the sample workspace under
# qemu-aarch64 and leave the expected bytes.
# Needs g++-aarch64-linux-gnu, qemu-user and file.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build-android
toolchain=$repo/cmake/aarch64-linux-gnu.cmake
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi

configure() {  # folder, extra arguments
  local dir=$1; shift
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$dir" "${generator[@]}" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
      -DUEXPMOD_STATIC=ON -DUEXPMOD_BUILD_TESTS=OFF "$@" >/dev/null
  fi
  cmake --build "$dir" --target uexpmod --parallel >/dev/null
}

configure "$build/phone"
# The shipped file drops the symbols; the build keeps them for the system call audit.
aarch64-linux-gnu-strip -o "$build/uexpmod" "$build/phone/uexpmod"
description=$(file -b "$build/uexpmod")
echo "build-android/uexpmod: $description"
case "$description" in
  *"ARM aarch64"*"statically linked"*) ;;
  *) echo "not a static aarch64 executable" >&2; exit 1 ;;
esac

ws=$build/check-workspace
configure "$build/check" -DUEXPMOD_WORKSPACE_ROOT="$ws"
"$repo/scripts/make_sample_workspace.sh" "$ws"
out=$(printf '1\n' | qemu-aarch64 "$build/check/uexpmod")
grep -q "修改完成，共处理 2 个文件" <<<"$out" || { echo "$out"; echo "the pass did not finish as expected" >&2; exit 1; }
grep -q "新文本" "$ws/uexp打包/Audio/Banks/voice_01.uexp"
grep -q "Volume" "$ws/uexp打包/Audio/music.uexp"
cmp -s <(printf 'PAK-SAMPLE') "$ws/pak/voice_mod.pak"
echo "static aarch64 build ran the sample pass under qemu-aarch64: ok"
