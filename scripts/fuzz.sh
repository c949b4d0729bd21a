#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UBSan on) and
# runs each for a bounded time, starting from the seeds in fuzz/corpus/.
#   scripts/fuzz.sh            60 seconds per target
#   scripts/fuzz.sh 3600       an hour per target
# New inputs go to build-fuzz/corpus/<target>; crashes to build-fuzz/.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=$repo/build-fuzz
generator=()
if command -v ninja >/dev/null 2>&1 && [ ! -f "$build/CMakeCache.txt" ]; then generator=(-G Ninja); fi
CC=clang CXX=clang++ cmake -S "$repo" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DUEXPMOD_BUILD_TESTS=OFF -DUEXPMOD_BUILD_FUZZ=ON -DUEXPMOD_SANITIZE=address,undefined >/dev/null
cmake --build "$build" --parallel
for target in rules utf8 replace index; do
  mkdir -p "$build/corpus/$target"
  echo "== fuzz_$target for ${seconds}s"
  dict=()
  if [ -f "$repo/fuzz/$target.dict" ]; then dict=(-dict="$repo/fuzz/$target.dict"); fi
  (cd "$build" && "./fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 "${dict[@]}" \
     "corpus/$target" "$repo/fuzz/corpus/$target" 2>&1 | grep -E "^(#[0-9]+ +DONE|stat::number_of_executed_units|==|SUMMARY|ERROR)" || true)
  # libFuzzer's exit status is lost in the pipe above; a crash leaves a file.
  if ls "$build"/crash-* "$build"/leak-* "$build"/timeout-* >/dev/null 2>&1; then
    echo "fuzz_$target found a failing input:"; ls "$build"/crash-* "$build"/leak-* "$build"/timeout-* 2>/dev/null
    exit 1
  fi
done
