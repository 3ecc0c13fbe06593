# The two commands of the README:
#   make run   builds the server and serves the example vault (or $VAULT_PATH) on stdin/stdout
#   make test  builds with sanitizers, runs every test, then each fuzz target for 20 seconds
# and the developer's:
#   make fuzz  runs each fuzz target for FUZZ_SECONDS (default 60)
#   make lint  runs clang-tidy and cppcheck over the sources
# Everything but the server's own responses goes to standard error.

.SILENT:
MAKEFLAGS += --no-print-directory
.PHONY: run test deps build build-test build-fuzz fuzz lint

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 60

deps:
	./scripts/install-deps >&2

build: deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >&2
	cmake --build build -j $(JOBS) >&2

run: build
	exec env VAULT_PATH="$${VAULT_PATH-$(CURDIR)/examples/vault}" ./build/tarnel-mcp-server

build-test:
	./scripts/install-deps --test
	cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNEL_TESTS=ON -DTARNEL_SANITIZE=ON -DTARNEL_WERROR=ON >&2
	cmake --build build-test -j $(JOBS) >&2

build-fuzz:
	./scripts/install-deps --fuzz
	cmake -S . -B build-fuzz -G Ninja -DTARNEL_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++-14 >&2
	cmake --build build-fuzz -j $(JOBS) >&2

test: build-test build-fuzz
	cd build-test && ctest --output-on-failure -j $(JOBS)
	./scripts/fuzz 20

fuzz: build-fuzz
	./scripts/fuzz $(FUZZ_SECONDS)

lint:
	./scripts/install-deps --lint
	JOBS=$(JOBS) ./scripts/lint
