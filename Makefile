# The README's commands. Each target runs the set-up first: it installs the
# missing Debian packages and is quick when everything is there.
JOBS ?= $(shell nproc)
CMAKE_CONFIGURE = cmake -G Ninja -Wno-dev

.PHONY: all setup build run test bench package clean

all: build

setup:
	@bash scripts/setup.sh

build: setup
	@$(CMAKE_CONFIGURE) -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVEX_BUILD_TESTS=OFF > /dev/null
	@cmake --build build -j $(JOBS)

run: build
	@bash scripts/run.sh

test: setup
	@$(CMAKE_CONFIGURE) -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTALVEX_SANITIZE=ON > /dev/null || \
	  { echo "test: configure failed: cmake could not configure build-asan (its errors are above)"; exit 1; }
	@cmake --build build-asan -j $(JOBS) || \
	  { echo "test: build failed: build-asan did not build (the compiler's errors are above)"; exit 1; }
	@bash scripts/test.sh

bench: setup
	@$(CMAKE_CONFIGURE) -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DTALVEX_BUILD_TESTS=OFF -DTALVEX_BUILD_BENCH=ON > /dev/null
	@cmake --build build-release -j $(JOBS)
	@bash scripts/bench.sh

package: setup
	@bash scripts/package.sh

clean:
	rm -rf build build-asan build-tsan build-release build-package talvex_*.deb
