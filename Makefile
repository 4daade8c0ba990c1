# Thin wrapper over CMake: `make demo` and `make test` are the two commands of the README.
BUILD ?= build
WERROR ?= OFF
SANITIZE ?= OFF
JOBS ?= 2
CMAKE_FLAGS = -DZORBEL_WERROR=$(WERROR) -DZORBEL_SANITIZE=$(SANITIZE)
PREFIX ?= /usr/local
# The version is kept once, in the project() line of CMakeLists.txt.
VERSION := $(shell sed -n '/^project/s/.* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
LINUX_DIST = zorbel-$(VERSION)-linux-x86_64
WINDOWS_DIST = zorbel-$(VERSION)-windows-x86_64

.PHONY: all build demo test test-sanitize release install windows test-windows dist bench clean

all: build

build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

# Captions of the bundled sample, written to build-demo/out/ (the tool alone: no test
# libraries needed).
demo:
	cmake -S . -B build-demo -DZORBEL_TESTS=OFF
	cmake --build build-demo -j$(JOBS) --target zorbel
	mkdir -p build-demo/out
	build-demo/zorbel samples/sample.mpg /dbuild-demo/out/ > build-demo/out/console.txt
	@echo "--- console (last lines of build-demo/out/console.txt)"; tail -n 6 build-demo/out/console.txt
	@echo "--- build-demo/out/sample.srt (first entries)"; head -n 12 build-demo/out/sample.srt
	@echo "--- build-demo/out/sample.smi (first captions)"; sed -n '18,24p' build-demo/out/sample.smi

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-sanitize:
	$(MAKE) test BUILD=build-asan SANITIZE=ON

# The tool alone, optimised, as it is installed and shipped.
release:
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DZORBEL_TESTS=OFF -DZORBEL_WERROR=$(WERROR)
	cmake --build build-release -j$(JOBS) --target zorbel

# bin/zorbel and share/man/man1/zorbel.1 under PREFIX (DESTDIR is honoured).
install: release
	cmake --install build-release --prefix $(PREFIX)

# build-windows/zorbel.exe with MinGW-w64, linked statically: it needs no DLL beyond
# those of Windows itself.
windows:
	cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DZORBEL_TESTS=OFF -DZORBEL_WERROR=ON
	cmake --build build-windows -j$(JOBS) --target zorbel

# zorbel.exe under Wine against the Linux build of the same source.
test-windows: release windows
	tests/windows/wine_test.sh build-release/zorbel build-windows/zorbel.exe build-windows/wine-test

dist: release windows
	rm -rf build-dist
	mkdir -p build-dist/$(WINDOWS_DIST) dist
	cmake --install build-release --prefix build-dist/$(LINUX_DIST) --strip
	cp README.md build-dist/$(LINUX_DIST)/
	tar -C build-dist --owner=0 --group=0 --numeric-owner -czf dist/$(LINUX_DIST).tar.gz $(LINUX_DIST)
	x86_64-w64-mingw32-strip -o build-dist/$(WINDOWS_DIST)/zorbel.exe build-windows/zorbel.exe
	sed 's/$$/\r/' README.md > build-dist/$(WINDOWS_DIST)/README.txt
	rm -f dist/$(WINDOWS_DIST).zip
	cd build-dist && zip -q -X -r ../dist/$(WINDOWS_DIST).zip $(WINDOWS_DIST)
	@ls -l dist/$(LINUX_DIST).tar.gz dist/$(WINDOWS_DIST).zip

# Throughput against cat and ffmpeg on ~1 GB streams (builds them once under build-bench/).
bench:
	bench/run.sh

clean:
	rm -rf build build-asan build-bench build-demo build-fuzz build-release build-windows build-dist dist
