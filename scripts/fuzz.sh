#!/usr/bin/env bash
# Builds every fuzz target with clang and runs each for a bounded time.
# FUZZ_SECONDS sets the time per target (default 20).
set -euo pipefail
cd "$(dirname "$0")/.."
compgen -G "fuzz/fuzz_*.cpp" > /dev/null || exit 0
CC=clang CXX=clang++ cmake -G Ninja -Wno-dev -S fuzz -B build-fuzz -DCMAKE_BUILD_TYPE=Debug > /dev/null
cmake --build build-fuzz -j "$(nproc)"
seconds=${FUZZ_SECONDS:-20}
for target in build-fuzz/fuzz_*; do
  [[ -x "$target" && -f "$target" ]] || continue
  name=$(basename "$target")
  corpus=build-fuzz/corpus/$name
  mkdir -p "$corpus"
  echo "fuzz: $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -max_len=65536 -print_final_stats=0 "$corpus" > "build-fuzz/$name.log" 2>&1 || {
    tail -n 60 "build-fuzz/$name.log"
    echo "fuzz: $name found a failure"
    exit 1
  }
done
