# SPDX-License-Identifier: GPL-3.0-or-later
# The two commands of the quick start: `make run` and `make test`.
# Both install what is missing, configure and build first.
#
# `make run` and `make package` use the `app` preset (optimised, with debug
# information, no tests); `make test` and `make lint` use PRESET (dev: Debug).

PRESET ?= dev
BUILD  := build/$(PRESET)
JOBS   ?= $(shell nproc)

.PHONY: all deps configure build app run test package bench fuzz sanitizers lint mutate clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

# Two builds of one version give the same bytes: Qt's resource compiler
# stamps each resource with its file's time unless SOURCE_DATE_EPOCH says
# otherwise. The newest release's date in the metainfo, as cpack uses it.
app: export SOURCE_DATE_EPOCH ?= $(shell date -u -d "$$(sed -n 's/.*<release version="[^"]*" date="\([0-9-]*\)".*/\1/p' dist/marrowfield.metainfo.xml.in | head -n 1) 00:00:00" +%s)
app: deps
	@cmake --preset app >/dev/null
	@cmake --build build/app -j$(JOBS)

# The window; without a display, a headless trace of the demo target.
run: app
	@scripts/run-window build/app

test: build
	@scripts/run-tests $(PRESET)

# build/app/package/marrowfield_<version>_<arch>.deb and marrowfield-dbgsym_...deb
package: app
	@cd build/app && cpack -G DEB

# Release build and every benchmark, printed as one table.
bench: deps
	@cmake --preset release >/dev/null
	@cmake --build build/release -j$(JOBS)
	@scripts/run-bench build/release

# Each libFuzzer target for a bounded time (FUZZ_SECONDS, default 60), one per
# core at a time (FUZZ_JOBS).
fuzz: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build build/fuzz -j$(JOBS)
	@scripts/run-fuzz build/fuzz

# The whole suite under ASan+UBSan and under TSan. SANITIZER_TESTS narrows
# both runs (CTest arguments, e.g. "-LE apps -E Soak"); TSAN_UI=OFF leaves the
# window out of the TSan build. CI sets both (.ci/run).
SANITIZER_TESTS ?=
TSAN_UI ?= ON
sanitizers: deps
	@cmake --preset asan >/dev/null
	@cmake --build build/asan -j$(JOBS)
	@scripts/run-tests asan $(SANITIZER_TESTS)
	@cmake --preset tsan -DMARROWFIELD_BUILD_UI=$(TSAN_UI) >/dev/null
	@cmake --build build/tsan -j$(JOBS)
	@scripts/run-tests tsan $(SANITIZER_TESTS)

# Each mutant of scripts/mutants.txt, then a random sample of 24 one-operator
# mutants (its seed printed), built in build/mutate and run against the suite;
# prints both kill rates and the survivors (scripts/mutate --help).
mutate: deps
	@scripts/mutate

# clang-tidy over the sources; any finding fails.
lint: build
	@scripts/run-lint $(BUILD)

clean:
	rm -rf build
