# The two commands of the README:
#   make run   builds the server and serves the example vault (or $VAULT_PATH) on stdin/stdout
#   make test  builds with sanitizers and runs every test
# Everything but the server's own responses goes to standard error.

.SILENT:
MAKEFLAGS += --no-print-directory
.PHONY: run test deps build build-test

JOBS ?= $(shell nproc 2>/dev/null || echo 2)

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

test: build-test
	cd build-test && ctest --output-on-failure -j $(JOBS)
