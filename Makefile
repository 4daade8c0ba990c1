# Thin wrapper over the CMake presets of CMakePresets.json (`cmake --list-presets`):
# `make demo` and `make test` are the two commands of the README.
WERROR ?= OFF
JOBS ?= 2
PREFIX ?= /usr/local

# $(call preset,NAME): configure and build one preset (its folder is build-NAME, build/ for
# the default).
preset = cmake --preset $(1) -DZORBEL_WERROR=$(WERROR) && cmake --build --preset $(1) -j$(JOBS)

.PHONY: all build demo test test-slow test-sanitize fuzz release install windows test-windows dist test-dist bench clean

all: build

build:
	$(call preset,default)

# Captions of the bundled sample, written to build-demo/out/ (the tool alone: no test
# libraries needed).
demo:
	$(call preset,demo)
	mkdir -p build-demo/out
	build-demo/zorbel samples/sample.mpg /dbuild-demo/out/ > build-demo/out/console.txt
	@echo "--- console (last lines of build-demo/out/console.txt)"; tail -n 6 build-demo/out/console.txt
	@echo "--- build-demo/out/sample.srt (first entries)"; head -n 12 build-demo/out/sample.srt
	@echo "--- build-demo/out/sample.smi (first captions)"; sed -n '18,24p' build-demo/out/sample.smi

# The tests over multi-gigabyte inputs (label slow) and those of the packages (label package,
# make test-dist) are left out: `ctest --preset default -L slow` runs the slow ones.
test: build
	ctest --preset default -j$(JOBS) -LE 'slow|package'
	@echo "(left out: the slow tests, ctest --preset default -L slow; the package tests, make test-dist)"

test-slow: build
	ctest --preset default -j$(JOBS) -L slow

test-sanitize:
	$(call preset,asan)
	ctest --preset asan -j$(JOBS) -LE 'slow|package'

# The fuzz harness built with libFuzzer (clang); fuzz/run-campaign.sh runs it.
fuzz:
	$(call preset,fuzz)

# The tool alone, optimised and linked statically, as it is installed and shipped.
release:
	$(call preset,release)

# bin/zorbel and share/man/man1/zorbel.1 under PREFIX (DESTDIR is honoured).
install: release
	cmake --install build-release --prefix $(PREFIX)

# build-windows/zorbel.exe with MinGW-w64, linked statically: it needs no DLL beyond
# those of Windows itself.
windows:
	$(call preset,windows)

# zorbel.exe under Wine against the Linux build of the same source.
test-windows: release windows
	tests/windows/wine_test.sh build-release/zorbel build-windows/zorbel.exe build-windows/wine-test

# The Linux .tar.gz and .deb and the Windows .zip, all made by CPack (cmake/packaging.cmake).
dist: release windows
	rm -rf dist
	cd build-release && cpack -D CPACK_OUTPUT_FILE_PREFIX=$(CURDIR)/dist
	cd build-windows && cpack -D CPACK_OUTPUT_FILE_PREFIX=$(CURDIR)/dist
	@ls -l dist

# The packages as a user meets them: the static binary alone in an empty root against the
# test build, the .deb through lintian, dpkg -i and dpkg -r. Needs root, so CI runs it
# rather than `make test`.
test-dist: build dist
	ctest --preset default -L package

# Throughput against cat and ffmpeg on ~1 GB streams (builds them once under build-bench/).
bench:
	bench/run.sh

clean:
	rm -rf build build-* dist
