#!/usr/bin/env bash
# Cross-builds everything for aarch64 (where char is unsigned) and runs the
# whole test suite under qemu-aarch64. Needs g++-aarch64-linux-gnu,
# qemu-user and the googletest sources (Debian's googletest package).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build-aarch64
toolchain=$repo/cmake/aarch64-linux-gnu.cmake
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi

# GoogleTest is only installed for the build machine: build it for aarch64.
if [ ! -f "$build/gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$build/gtest-build" "${generator[@]}" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$build/gtest" >/dev/null
  cmake --build "$build/gtest-build" --target install --parallel >/dev/null
fi

if [ ! -f "$build/uexpmod/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$build/uexpmod" "${generator[@]}" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DUEXPMOD_WERROR=ON -DGTest_DIR="$build/gtest/lib/cmake/GTest" "$@"
fi
cmake --build "$build/uexpmod" --parallel
ctest --test-dir "$build/uexpmod" --output-on-failure --parallel "$(nproc)"
