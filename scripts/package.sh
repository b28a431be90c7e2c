#!/usr/bin/env bash
# Builds the Debian package from an optimised build of its own (never the
# sanitizer or debug builds) and copies it to the top of the tree. The build
# folder is kept, so a second run only rebuilds what changed. A failure ends
# with one "package: …" line saying why.
set -Eeuo pipefail
trap 'echo "package: stopped at line $LINENO: \"$BASH_COMMAND\" failed"' ERR
cd "$(dirname "$0")/.."
build=build-package

# The reason in a failed build's log: CPack's message under its "CMake Error
# at …" header (wrapped over several lines), else the first compiler error.
reason() {
  local why
  why=$(awk '/^CMake Error/ { grab = 1; next }
    grab && (/^Call Stack/ || /^$/) { exit }
    grab { sub(/^ +/, ""); printf "%s ", $0 }' "$1")
  [[ -n "$why" ]] || why=$(grep -m 1 -E 'error: |CPack Error' "$1" || true)
  echo "${why% }"
}

cmake -G Ninja -Wno-dev -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTALVEX_BUILD_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr > /dev/null || {
  echo "package: cmake could not configure $build (its errors are above)"
  exit 1
}
rm -f "$build"/talvex_*.deb
cmake --build "$build" -j "$(nproc)" --target package > "$build/package.log" 2>&1 || {
  tail -n 40 "$build/package.log"
  why=$(reason "$build/package.log")
  echo "package: building the package failed: ${why:-see the end of $build/package.log above}"
  exit 1
}
deb=$(ls "$build"/talvex_*_*.deb)
cp "$deb" .
echo "package: $(basename "$deb")"
