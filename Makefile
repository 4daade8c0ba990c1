# Thin wrapper over CMake: `make demo` and `make test` are the two commands of the README.
BUILD ?= build
WERROR ?= OFF
SANITIZE ?= OFF
JOBS ?= 2
CMAKE_FLAGS = -DZORBEL_WERROR=$(WERROR) -DZORBEL_SANITIZE=$(SANITIZE)

.PHONY: all build demo test test-sanitize bench clean

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

# Throughput against cat and ffmpeg on ~1 GB streams (builds them once under build-bench/).
bench:
	bench/run.sh

clean:
	rm -rf build build-asan build-bench build-demo build-fuzz
