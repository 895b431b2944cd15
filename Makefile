# Top-level entry points: `make demo` and `make test` set up everything they need.
SHELL := /bin/bash
TOP := $(abspath .)
BUILD := $(TOP)/build
LIBLZMA := $(BUILD)/liblzma
WIN := $(BUILD)/win
NATIVE := $(BUILD)/native
CORPUS := $(BUILD)/corpus
FUZZ_SECONDS ?= 30

.PHONY: all setup liblzma win native corpus test test-win test-native fuzz demo dist clean

all: win native

setup:
	@bash scripts/setup.sh

liblzma: setup
	@bash scripts/build-liblzma.sh $(LIBLZMA)

corpus: setup
	@bash scripts/make-corpus.sh $(CORPUS)

win: liblzma
	@cmake -S . -B $(WIN) -G Ninja --log-level=WARNING \
	    -DCMAKE_TOOLCHAIN_FILE=$(TOP)/cmake/mingw-i686.cmake \
	    -DCMAKE_BUILD_TYPE=Release \
	    -DLIBLZMA_DIR=$(LIBLZMA) -DXZ_CORPUS_DIR=$(CORPUS) >/dev/null
	@cmake --build $(WIN)

native: setup
	@cmake -S . -B $(NATIVE) -G Ninja --log-level=WARNING \
	    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	    -DCMAKE_BUILD_TYPE=Debug -DXZ_CORPUS_DIR=$(CORPUS) >/dev/null
	@cmake --build $(NATIVE)

test: win native corpus
	@bash scripts/run-tests.sh $(FUZZ_SECONDS)

fuzz: native corpus
	@bash scripts/fuzz.sh $(FUZZ_SECONDS)

demo: win
	@bash scripts/demo.sh

dist: win

clean:
	rm -rf $(BUILD) dist
