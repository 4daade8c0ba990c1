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

# Captions of the bundled sample, written to $(BUILD)/demo/.
demo: build
	mkdir -p $(BUILD)/demo
	$(BUILD)/zorbel samples/sample.mpg /d$(BUILD)/demo/ > $(BUILD)/demo/console.txt
	tail -n 5 $(BUILD)/demo/console.txt
	@echo "--- $(BUILD)/demo/sample.srt (start)"; head -n 12 $(BUILD)/demo/sample.srt
	@echo "--- $(BUILD)/demo/sample.smi (start)"; head -n 24 $(BUILD)/demo/sample.smi

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-sanitize:
	$(MAKE) test BUILD=build-asan SANITIZE=ON

# Throughput against cat and ffmpeg on ~1 GB streams (builds them once under build-bench/).
bench:
	bench/run.sh

clean:
	rm -rf build build-asan build-bench
