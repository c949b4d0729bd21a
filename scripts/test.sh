#!/usr/bin/env bash
# Configures, builds and runs every test suite.
#   scripts/test.sh                       build in ./build
#   BUILD_DIR=build-asan scripts/test.sh -DUEXPMOD_SANITIZE=address,undefined
# Extra arguments go to the CMake configure step.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$repo/build}
. "$repo/scripts/packages.sh"
# bindfs: the tests mount FUSE storage whose change time follows the
# modification time, where the selection index must not be used.
need_packages cmake g++ ninja-build googletest bindfs
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
if [ ! -f "$build/CMakeCache.txt" ]; then cmake -S "$repo" -B "$build" "${generator[@]}" "$@"; else cmake -S "$repo" -B "$build" "$@"; fi
cmake --build "$build" --parallel
ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)"
