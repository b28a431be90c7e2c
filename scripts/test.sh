#!/usr/bin/env bash
# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer; the
# concurrency tests again under ThreadSanitizer when there are any.
set -euo pipefail
cd "$(dirname "$0")/.."
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
rm -rf build-asan/testhome
status=0
# The sources keep the repository's .clang-format style; a difference fails the run.
if ! find src tests bench fuzz tools \( -name '*.cpp' -o -name '*.h' \) -print0 |
  xargs -0 clang-format --dry-run -Werror; then
  echo "test: the files above differ from .clang-format (clang-format -i fixes them)"
  status=1
fi
if compgen -G "tests/*/*_concurrency_test.cpp" > /dev/null; then
  cmake -G Ninja -Wno-dev -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DTALVEX_TSAN=ON > /dev/null
  targets=$(ninja -C build-tsan -t targets all | sed -n 's/^\([a-z]*_[a-z0-9_]*_concurrency_test\): .*/\1/p')
  cmake --build build-tsan -j "$(nproc)" --target $targets
  rm -rf build-tsan/testhome
  (cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest -L concurrency --output-on-failure -j 2) || status=1
fi
bash scripts/fuzz.sh || status=1
(cd build-asan && ctest --output-on-failure -j 2) || status=1
if command -v dpkg-deb > /dev/null; then bash scripts/test-package.sh || status=1; fi
exit $status
