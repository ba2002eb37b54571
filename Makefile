# The README's commands. Everything is built by CMake in build/ (and build-*/ for other variants).
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all build test demo windows release test-windows test-linux32 bench test-asan test-tsan fuzz package clean

all: build

build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# Every test suite: library over a pseudo-terminal, simulator, CLI, end to end.
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# A tour of the product: orvex-sim plays two drives, orvex drives them. It builds only what it
# runs (the library, orvex, orvex-sim): a fresh clone's first `make demo` takes well under a minute.
demo:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target ORVEX_DLL orvex orvex-sim
	./scripts/demo.sh $(BUILD)

# ORVEX_DLL.dll for x86 (build-win32/) and x64 (build-win64/), their import libraries and the
# Windows test program.
windows:
	./scripts/windows.sh build

# build-release/ORVEX_DLL-<version>-windows.zip: both DLLs, import libraries, header, bindings.
release: windows
	./scripts/windows.sh release

# Checks of the archive, then the Windows tests under wine against both DLLs in it.
test-windows: release
	./scripts/windows.sh test

# The 32-bit Linux build (-m32) in build-linux32/ and its library, end-to-end and CLI suites:
# natively, or emulated where the kernel runs no 32-bit programs (root: binfmt_misc).
test-linux32:
	./scripts/linux32.sh build-linux32

bench:
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DORVEX_BUILD_BENCH=ON -DORVEX_BUILD_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	./scripts/bench.sh build-bench

test-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DORVEX_SANITIZE=address
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

test-tsan:
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DORVEX_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && ctest --output-on-failure -j $(JOBS)

fuzz:
	./scripts/fuzz.sh $(or $(FUZZ_SECONDS),300)

# The Debian package of the build in $(BUILD) (needs dpkg-dev and file); its path is printed last.
package: build
	cd $(BUILD) && cpack -G DEB
	@echo "package: $$(ls -t $(abspath $(BUILD))/orvex_*.deb | head -n 1)"

clean:
	rm -rf build build-*
