# The two commands of the quick start: `make run` and `make test`.
# Both install what is missing, configure and build first.

PRESET ?= dev
BUILD  := build/$(PRESET)
JOBS   ?= $(shell nproc)

.PHONY: all deps configure build run test bench fuzz sanitizers lint clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

run: build
	@scripts/run-window $(BUILD)

test: build
	@scripts/run-tests $(PRESET)

# Release build and every benchmark, printed as one table.
bench: deps
	@cmake --preset release >/dev/null
	@cmake --build build/release -j$(JOBS)
	@scripts/run-bench build/release

# Each libFuzzer target for a bounded time (FUZZ_SECONDS, default 60).
fuzz: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build build/fuzz -j$(JOBS)
	@scripts/run-fuzz build/fuzz

# The whole suite under ASan+UBSan and under TSan.
sanitizers: deps
	@for preset in asan tsan; do \
	  cmake --preset $$preset >/dev/null && \
	  cmake --build build/$$preset -j$(JOBS) && \
	  scripts/run-tests $$preset || exit 1; \
	done

# clang-tidy over the sources; any finding fails.
lint: build
	@scripts/run-lint $(BUILD)

clean:
	rm -rf build
