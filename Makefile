# Front door: `make test` sets up a fresh machine, builds and runs every test.
BUILD_DIR ?= build
ASAN_DIR  ?= build-asan
FUZZ_DIR  ?= build-fuzz
TSAN_DIR  ?= build-tsan
FUZZ_SECONDS ?= 60
JOBS      ?= 2
CMAKE_FLAGS ?=
# Source files compiled in batches: a clean build in well under half the
# time. UNITY=OFF for a per-file build (editing one file, clang-tidy).
UNITY     ?= ON
# The sanitizer run builds only the programs it runs: the unit and conformance tests.
ASAN_TARGETS := $(patsubst tests/unit/%/,unit_%,$(wildcard tests/unit/*/)) conformance_aws

.PHONY: all deps configure build test asan-test fuzz tsan-test demo bench chaos install package clean

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD_DIR)/build.ninja: | deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DQVN_UNITY_BUILD=$(UNITY) $(CMAKE_FLAGS)

configure: $(BUILD_DIR)/build.ninja

build: deps configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 600

# The unit and conformance tests again under AddressSanitizer + UBSan.
asan-test: deps
	cmake -S . -B $(ASAN_DIR) -G Ninja -DQVN_UNITY_BUILD=$(UNITY) -DQVN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build $(ASAN_DIR) -j $(JOBS) --target $(ASAN_TARGETS)
	cd $(ASAN_DIR) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 900 -L 'unit_|conformance_'

# Every libFuzzer target (clang, ASan + UBSan), FUZZ_SECONDS seconds each, or
# FUZZ_RUNS executions each; FUZZ_TARGETS="a b" runs only those.
fuzz: deps
	FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_RUNS=$(FUZZ_RUNS) FUZZ_TARGETS="$(FUZZ_TARGETS)" JOBS=$(JOBS) bash scripts/fuzz.sh $(FUZZ_DIR)

# The tests that run threads, built into one program and run under
# ThreadSanitizer: the credential cache, the retry budget and send rate,
# logging, the run state, the TTL cache and the sandbox under 200 clients.
tsan-test: deps
	cmake -S . -B $(TSAN_DIR) -G Ninja -DQVN_UNITY_BUILD=$(UNITY) -DQVN_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(TSAN_DIR) -j $(JOBS) --target tsan_tests
	cd $(TSAN_DIR) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" \
	  ctest --output-on-failure -j $(JOBS) --timeout 900 -L tsan_tests

demo: build
	bash scripts/demo.sh $(BUILD_DIR)

bench: build
	@for b in $(BUILD_DIR)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

# The interruption test: probe_deploy killed (SIGKILL, SIGTERM) at random
# moments and while each changing call is held, then recovered; ends with
# "chaos trials=T leftovers=L untruthful=U hung=H". CHAOS_ARGS="--verbose" to
# see every trial, "--seed S" for another sample.
CHAOS_TRIALS ?= 64
chaos: deps configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target chaos
	$(BUILD_DIR)/bench/chaos --trials $(CHAOS_TRIALS) $(CHAOS_ARGS)

install: build
	cmake --install $(BUILD_DIR)

# The Debian packages from the build folder: quorvane-testlibs (programs,
# sandbox, man pages made from --help with help2man, scenarios) and
# quorvane-testlibs-dev (libraries, headers, CMake and pkg-config files).
package: build
	cmake --build $(BUILD_DIR) -j $(JOBS) --target man_pages
	cd $(BUILD_DIR) && cpack -G DEB

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(FUZZ_DIR) $(TSAN_DIR)
