# Common tasks in one command each. See README.md.
#   make                  build the program (build/ostrelle)
#   make test             install missing dependencies, build everything, run every test
#   make test SANITIZE=1  the same with AddressSanitizer and UBSan (build-sanitize/)
#   make demo             the program against a local mirror and two simulated boards
#   make demo ARGS='...'  the same, running the program with those arguments
#   make package          a Debian package of the program and its manual page
#   make fuzz             each libFuzzer target for FUZZ_SECONDS seconds (build-fuzz/)
#   make bench            benchmarks against the bare tools, printed as a table

SANITIZE ?= 0
JOBS ?= 8
CMAKE_ARGS ?=

ifeq ($(SANITIZE),1)
BUILD_DIR ?= build-sanitize
CMAKE_ARGS += -DOSTRELLE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
else
BUILD_DIR ?= build
endif

NPROC := $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build build-all configure deps test demo package fuzz clean format

all: build

deps:
	@./tools/install-deps.sh

configure:
	cmake -S . -B $(BUILD_DIR) $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(NPROC) --target ostrelle

# The program, the test-bed build and every test.
build-all: configure
	cmake --build $(BUILD_DIR) -j $(NPROC)

test: deps build-all
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The program on this terminal against a local mirror of sample releases and
# two simulated boards (tools/demo/demo.py); with ARGS a run with those
# arguments instead of the dialogue. Everything it writes stays in
# $(BUILD_DIR)/demo/; it also builds $(BUILD_DIR)/ostrelle.
ARGS ?=
demo: deps configure
	cmake --build $(BUILD_DIR) -j $(NPROC) --target ostrelle_testbed ostrelle
	@python3 tools/demo/demo.py --build-dir $(BUILD_DIR) $(if $(strip $(ARGS)),-- $(ARGS))

# Runs each libFuzzer target for FUZZ_SECONDS seconds (clang build in build-fuzz/).
FUZZ_SECONDS ?= 60
fuzz:
	@./tools/install-deps.sh clang "libclang-rt-dev|libclang-common-14-dev"
	FUZZ_SECONDS=$(FUZZ_SECONDS) ./tools/run-fuzz.sh

# Benchmarks on the test bed against the bare tools and bash: prints a
# table, asserts nothing. BENCH_RUNS runs per figure (median).
BENCH_RUNS ?= 5
.PHONY: bench
bench: deps build-all
	python3 tools/bench.py --build-dir $(BUILD_DIR) --runs $(BENCH_RUNS)

# A Debian package of the program and its manual page in $(BUILD_DIR)/.
package: build
	cd $(BUILD_DIR) && cpack -G DEB

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-sanitize build-fuzz
