# Front door: `make test` sets up a fresh machine, builds and runs every test.
BUILD_DIR ?= build
ASAN_DIR  ?= build-asan
JOBS      ?= 2
CMAKE_FLAGS ?=

.PHONY: all deps configure build test asan-test demo bench install clean

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD_DIR)/build.ninja: | deps
	cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS)

configure: $(BUILD_DIR)/build.ninja

build: deps configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 600

# The unit and conformance tests again under AddressSanitizer + UBSan.
asan-test: deps
	cmake -S . -B $(ASAN_DIR) -G Ninja -DQVN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build $(ASAN_DIR) -j $(JOBS)
	cd $(ASAN_DIR) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 900 -L 'unit_|conformance_'

demo: build
	bash scripts/demo.sh $(BUILD_DIR)

bench: build
	@for b in $(BUILD_DIR)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

install: build
	cmake --install $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR)
