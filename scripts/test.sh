#!/usr/bin/env bash
# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer; the
# concurrency tests again under ThreadSanitizer when there are any. Every step
# runs even after an earlier one failed; each failed step prints one
# "test: STEP failed: WHY" line under its own output, and the run exits 1.
set -uo pipefail
cd "$(dirname "$0")/.."
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
failed=()

fail() {
  echo "test: $1 failed: $2"
  failed+=("$1")
}

# Runs a script with its output shown and kept; when it fails, its last line
# (without the script's "name: " prefix) is the reason given.
run_script() {
  local step=$1 log=$logs/$2.log
  shift 2
  "$@" 2>&1 | tee "$log" && return 0
  local why
  why=$(grep -v '^[[:space:]]*$' "$log" | tail -n 1 | sed 's/^[a-z]*: //')
  fail "$step" "${why:-$* exited without a message}"
}

# Runs ctest in a build folder and names the tests that failed.
run_ctest() {
  local step=$1 dir=$2
  shift 2
  local failures=$dir/Testing/Temporary/LastTestsFailed.log
  rm -f "$failures"
  (cd "$dir" && ctest --output-on-failure -j 2 "$@") && return 0
  if [[ -s "$failures" ]]; then
    fail "$step" "$(wc -l < "$failures") test(s) failed: $(sed 's/^[0-9]*://' "$failures" | paste -sd ' ')"
  else
    fail "$step" "ctest failed in $dir without running a test (its output is above)"
  fi
}

check_format() {
  find src tests bench fuzz tools \( -name '*.cpp' -o -name '*.h' \) -print0 |
    xargs -0 clang-format --dry-run -Werror
  case $? in
    0) ;;
    123) fail "format check" "the files above differ from .clang-format (clang-format -i FILE fixes them)" ;;
    *) fail "format check" "clang-format could not run (is it installed? make setup installs it)" ;;
  esac
}

run_thread_sanitizer() {
  compgen -G "tests/*/*_concurrency_test.cpp" > /dev/null || return 0
  local step="ThreadSanitizer tests" targets
  if ! cmake -G Ninja -Wno-dev -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DTALVEX_TSAN=ON > /dev/null; then
    fail "$step" "cmake could not configure build-tsan (its errors are above)"
    return
  fi
  targets=$(ninja -C build-tsan -t targets all | sed -n 's/^\([a-z]*_[a-z0-9_]*_concurrency_test\): .*/\1/p')
  if [[ -z "$targets" ]]; then
    fail "$step" "build-tsan has no *_concurrency_test target"
  elif ! cmake --build build-tsan -j "$(nproc)" --target $targets; then
    fail "$step" "building them failed (the compiler's errors are above)"
  else
    rm -rf build-tsan/testhome
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_ctest "$step" build-tsan -L concurrency
  fi
}

rm -rf build-asan/testhome
check_format
run_thread_sanitizer
run_script fuzzers fuzz bash scripts/fuzz.sh
run_ctest ctest build-asan
run_script "package check" package bash scripts/test-package.sh

if ((${#failed[@]})); then
  printf -v list '%s, ' "${failed[@]}"
  echo "test: ${#failed[@]} step(s) failed: ${list%, }"
  exit 1
fi
echo "test: every step passed"
