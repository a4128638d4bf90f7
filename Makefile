# Two entry points: `make run` (build, then attach to session "main") and `make test` (every test).
# Both install what is missing first (Debian packages, needs root or sudo).
# `make install` (PREFIX, default /usr/local; DESTDIR honoured) and `make package` (a Debian
# package in $(BUILD)/) use the same Release build as the tests.

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
PREFIX ?= /usr/local

.PHONY: deps build run test install package clean

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

package: build
	rm -f $(BUILD)/velmora_*.deb
	cd $(BUILD) && cpack

# Attaches this terminal to session "main"; velmora starts the daemon when none is running.
run: build
	$(BUILD)/client/velmora attach main

test: deps
	scripts/test-all

clean:
	rm -rf build build-clang build-asan build-tsan build-arm64 build-names
