# Thin wrapper over the CMake presets.
JOBS ?= $(shell nproc)

.PHONY: all build test asan tsan run bench clean deps

all: build

deps:
	bash .ci/deps

build:
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

test: build
	ctest --preset default

asan:
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 ctest --preset asan

tsan:
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --preset tsan

run: build
	./build/bin/movasim

bench: build
	./build/bin/bench-signal-path --benchmark_format=json

clean:
	rm -rf build build-asan build-tsan
