#!/usr/bin/env bash
# Builds the Debian package from an optimised build of its own (never the
# sanitizer or debug builds) and copies it to the top of the tree. The build
# folder is kept, so a second run only rebuilds what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-package
cmake -G Ninja -Wno-dev -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTALVEX_BUILD_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr > /dev/null
rm -f "$build"/talvex_*.deb
cmake --build "$build" -j "$(nproc)" --target package > "$build/package.log" 2>&1 || {
  tail -n 40 "$build/package.log"
  exit 1
}
deb=$(ls "$build"/talvex_*_*.deb)
cp "$deb" .
echo "package: $(basename "$deb")"
