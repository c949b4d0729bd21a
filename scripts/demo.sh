#!/usr/bin/env bash
# Builds uexpmod with a workspace inside build-demo/, fills that workspace with
# a small sample (a source pak, unpacked .uexp files, a rule file) and runs
# the tool on it. Answer the menu yourself, pipe the answer, or give it on
# the command line (arguments go to the tool):
#   echo 1 | scripts/demo.sh
#   scripts/demo.sh --rules 示例规则.txt
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build-demo
ws=$build/workspace
. "$repo/scripts/packages.sh"
need_packages cmake g++ ninja-build
generator=()
if command -v ninja >/dev/null 2>&1 && [ ! -f "$build/CMakeCache.txt" ]; then generator=(-G Ninja); fi
cmake -S "$repo" -B "$build" "${generator[@]}" -DUEXPMOD_WORKSPACE_ROOT="$ws" -DUEXPMOD_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target uexpmod --parallel >/dev/null

"$repo/scripts/make_sample_workspace.sh" "$ws"

"$build/uexpmod" "$@" && status=0 || status=$?
echo
echo "exit status: $status; edited copies are in $ws/uexp打包"
exit "$status"
