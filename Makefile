# Two entry points: `make run` (build, then attach to session "main") and `make test` (every test).
# Both install what is missing first (Debian packages, needs root or sudo).

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build

.PHONY: deps build run test clean

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

# Attaches this terminal to session "main"; velmora starts the daemon when none is running.
run: build
	$(BUILD)/client/velmora attach main

test: deps
	scripts/test-all

clean:
	rm -rf build build-asan build-tsan build-arm64
