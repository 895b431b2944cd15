# Top-level entry points: `make demo` and `make test` set up everything they need.
SHELL := /bin/bash
TOP := $(abspath .)
BUILD := $(TOP)/build
CORPUS := $(BUILD)/corpus
FUZZ_SECONDS ?= 30

.PHONY: all setup win32 win64 native corpus test fuzz demo dist clean

all: win32 win64 native

setup:
	@bash scripts/setup.sh

# The samples of filters newer than the system's xz come from a native xz
# built from liblzma's own source (scripts/build-native-xz.sh).
corpus: setup
	@bash scripts/build-native-xz.sh $(BUILD)/xz-native
	@bash scripts/make-corpus.sh $(CORPUS) $(BUILD)/xz-native

# win32 and win64: the module for 32-bit and for 64-bit hosts (dist/ and
# dist/x64/). Where the kernel cannot run 32-bit programs, the module tests
# run under 64-bit Wine only.
ARCH_32 := i686
ARCH_64 := x86_64
win32 win64: win%: setup
	@bash scripts/build-liblzma.sh $(BUILD)/liblzma$* $(ARCH_$*)-w64-mingw32
	@bash scripts/configure-win.sh $*
	@cmake --build $(BUILD)/win$*

native: setup corpus
	@cmake -S . -B $(BUILD)/native -G Ninja --log-level=WARNING \
	    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	    -DCMAKE_BUILD_TYPE=Debug -DXZ_CORPUS_DIR=$(CORPUS) >/dev/null
	@cmake --build $(BUILD)/native

test: win32 win64 native corpus
	@bash scripts/run-tests.sh $(FUZZ_SECONDS)

fuzz: native corpus
	@bash scripts/fuzz.sh $(FUZZ_SECONDS)

# Installs, fetches and builds only what the demo runs, a line per stage.
demo:
	@bash scripts/demo.sh

dist: win32 win64
	@bash scripts/make-dist.sh

clean:
	rm -rf $(BUILD) dist

# A measurement under Wine, not a test: see bench/README.md.
.PHONY: bench
bench: win32 win64 native
	@bash bench/run.sh
