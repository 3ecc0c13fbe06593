# The two commands of the README:
#   make run   builds the server and serves the example vault (or $VAULT_PATH) on stdin/stdout
#   make test  builds with sanitizers, runs every test, then each fuzz target for 20 seconds
# and the developer's:
#   make fuzz  runs each fuzz target for FUZZ_SECONDS (default 60)
#   make lint  runs clang-tidy and cppcheck over the sources
# Everything but the server's own responses goes to standard error.
# The Windows build, cross-built with mingw-w64 and tested under wine:
#   make windows       builds a Release build-windows/tarnel-mcp-server.exe
#   make test-windows  runs the Windows tests (make test does, after the Linux ones)
# And the benchmark (bench/README.md), whose report goes to standard output:
#   make bench builds a Release server and measures it; BENCH_NOTES="10000 100000"
#              also compares the two vault sizes, BENCH_BASELINE=path/to/server
#              compares with another build of the server in the same rounds
# Installing and packaging the Release build in build/ (README.md, "Connect it to your MCP host"):
#   make install    installs the server and its licence files under PREFIX (default /usr/local)
#   make uninstall  removes what the last make install installed (listed in build/installed-files.txt)
#   make package    writes the Debian package build/tarnel-mcp-server_<version>_<arch>.deb
#   make bundle     writes the MCP bundle build/tarnel-mcp-server-<version>.mcpb (Linux and Windows)

.SILENT:
MAKEFLAGS += --no-print-directory
.PHONY: run test deps build build-test build-fuzz fuzz lint bench install uninstall package bundle windows test-windows

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

# The packaging tests in build-test check the .deb and .mcpb of build/.
test: build-test build-fuzz package bundle
	cd build-test && ctest --output-on-failure -j $(JOBS)
	./scripts/fuzz 20
	$(MAKE) test-windows

fuzz: build-fuzz
	./scripts/fuzz $(FUZZ_SECONDS)

lint:
	./scripts/install-deps --lint
	JOBS=$(JOBS) ./scripts/lint

BENCH_NOTES ?= 10000
BENCH_BASELINE ?=

bench:
	./scripts/install-deps --bench
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNEL_BENCH=ON >&2
	cmake --build build-bench -j $(JOBS) >&2
	for n in $(BENCH_NOTES); do python3 bench/gen_vault.py build-bench/vaults/n$$n --notes $$n || exit 1; done
	./build-bench/bench/bench_driver --server build-bench/tarnel-mcp-server --floor build-bench/bench/bench_read_floor \
	  $(if $(BENCH_BASELINE),--baseline $(BENCH_BASELINE)) $(foreach n,$(BENCH_NOTES),build-bench/vaults/n$(n))
	printf '\n## In-process kernels (one 2 KB note)\n\n```\n'
	./build-bench/bench/bench_kernels --benchmark_min_time=0.2 2>&1
	printf '```\n'

PREFIX ?= /usr/local

# CMake's install_manifest.txt is rewritten by every installation, CPack's
# included: make install keeps its own list for make uninstall.
install: build
	cmake --install build --prefix "$(PREFIX)" >&2
	cp build/install_manifest.txt build/installed-files.txt

uninstall:
	./packaging/uninstall build/installed-files.txt

package:
	./scripts/install-deps --package
	$(MAKE) build
	cmake --build build --target package >&2

# The bundle carries the Linux and the Windows server.
bundle:
	./scripts/install-deps --bundle
	$(MAKE) build
	$(MAKE) windows
	cmake --build build --target bundle >&2

# The Windows build: dependencies staged in build-windows/deps, one static
# .exe that needs no DLL beside it (cmake/mingw-w64-x86_64.cmake).
windows:
	./scripts/install-deps --windows
	./scripts/windows-deps
	cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DTARNEL_WERROR=ON -DTARNEL_TESTS=OFF >&2
	cmake --build build-windows -j $(JOBS) --target tarnel-mcp-server >&2

test-windows:
	./scripts/install-deps --windows
	JOBS=$(JOBS) ./scripts/windows-test
