#!/usr/bin/env bash
# Cross-builds everything for aarch64 (where char is unsigned) and runs the
# whole test suite under qemu-aarch64. Needs g++-aarch64-linux-gnu,
# qemu-user and the googletest sources (Debian's googletest package), which
# the build compiles for aarch64 since the installed GoogleTest is the build
# machine's.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build-aarch64
toolchain=$repo/cmake/aarch64-linux-gnu.cmake
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi

if [ ! -f "$build/uexpmod/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$build/uexpmod" "${generator[@]}" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DUEXPMOD_WERROR=ON "$@"
fi
cmake --build "$build/uexpmod" --parallel
ctest --test-dir "$build/uexpmod" --output-on-failure --parallel "$(nproc)"
