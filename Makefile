# One-command build and test of the catkin workspace in this directory.
SHELL := /bin/bash

BUILD_DIR ?= build
PACKAGES := ros-core-dev ros-std-msgs ros-geometry-msgs libpoco-dev libeigen3-dev \
            libboost-dev libboost-date-time-dev libgtest-dev libbenchmark-dev \
            python3-std-msgs python3-geometry-msgs python3-matplotlib clang libclang-rt-14-dev \
            clang-format-14 librosbag-dev python3-rosbag libdiagnostic-updater-dev python3-diagnostic-msgs \
            libceres-dev libnlopt-cxx-dev libboost-program-options-dev catkin-lint \
            ros-std-srvs libstd-srvs-dev python3-std-srvs libjs-chart.js chromium chromium-driver python3-selenium \
            python3-rosservice
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)
# Debian's interpreter: the one first on PATH may lack catkin_pkg.
PYTHON := /usr/bin/python3
# rosbag's CMake configuration reaches pluginlib, whose templates need Debian's interpreter as Python3 too.
CMAKE_FLAGS := -DPYTHON_EXECUTABLE=$(PYTHON) -DPython3_EXECUTABLE=$(PYTHON) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
               -DCATKIN_DEVEL_PREFIX=$(CURDIR)/$(BUILD_DIR)/devel
# Second tree: the unit tests and the fuzz targets under AddressSanitizer and UndefinedBehaviorSanitizer,
# built with clang for libFuzzer. Any report fails the run.
ASAN_DIR := $(BUILD_DIR)/asan
SANITIZE := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
ASAN_CMAKE_FLAGS := -DPYTHON_EXECUTABLE=$(PYTHON) -DPython3_EXECUTABLE=$(PYTHON) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
                    -DCMAKE_BUILD_TYPE= "-DCMAKE_CXX_FLAGS=-O1 -g $(SANITIZE)" "-DCMAKE_C_FLAGS=-O1 -g $(SANITIZE)" \
                    -DQUARN_SANITIZE=ON -DCATKIN_DEVEL_PREFIX=$(CURDIR)/$(ASAN_DIR)/devel
SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1:strict_init_order=1 \
                 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
FUZZ_SECONDS ?= 30

.PHONY: setup build test clean sanitize fuzz bench demo tune-demo format format-check lint

# One pinned formatter; the style is in .clang-format at the root.
CLANG_FORMAT := clang-format-14
CXX_SOURCES = $(shell git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h')

setup:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	    echo "Installing:" $$missing; \
	    $(SUDO) apt-get update -qq && \
	    DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

$(BUILD_DIR)/Makefile:
	$(MAKE) setup
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)

build: $(BUILD_DIR)/Makefile
	$(MAKE) setup
	cmake --build $(BUILD_DIR) -j2
	cmake --build $(BUILD_DIR) --target tests -j2

$(ASAN_DIR)/Makefile:
	$(MAKE) setup
	cmake -S . -B $(ASAN_DIR) $(ASAN_CMAKE_FLAGS)

# Sanitized unit tests, then each fuzz target for FUZZ_SECONDS.
sanitize: $(ASAN_DIR)/Makefile
	cmake --build $(ASAN_DIR) --target quarn_common_generate_messages_cpp -j2
	cmake --build $(ASAN_DIR) --target tests fuzz_targets -j2
	cd $(ASAN_DIR) && $(SANITIZER_ENV) FUZZ_SECONDS=$(FUZZ_SECONDS) ctest -j2 --output-on-failure

fuzz: $(ASAN_DIR)/Makefile
	cmake --build $(ASAN_DIR) --target fuzz_targets -j2
	cd $(ASAN_DIR) && $(SANITIZER_ENV) FUZZ_SECONDS=$(FUZZ_SECONDS) ctest -j2 -L fuzz -V

# Rewrites every C++ file in the project's format.
format: setup
	$(CLANG_FORMAT) -i --style=file $(CXX_SOURCES)

# Names the files that differ from the format, without touching them.
format-check: setup
	@differ=$$(for f in $(CXX_SOURCES); do $(CLANG_FORMAT) --style=file "$$f" | cmp -s "$$f" - || echo "$$f"; done); \
	if [ -n "$$differ" ]; then \
	    echo "These files are not in the code format ('make format' rewrites them):"; \
	    printf '  %s\n' $$differ; exit 1; \
	fi

# The packages' build files and manifests against catkin's rules (declared dependencies, installed targets);
# any warning fails. Without a rosdep database (none is fetched here) dependency keys are not resolved.
lint: setup
	catkin_lint -W1 --strict .

test: format-check lint
	$(MAKE) build sanitize
	cd $(BUILD_DIR) && ctest --output-on-failure

# Round trips, rates and microbenchmarks; prints the table and writes out/bench/results.md.
bench: $(BUILD_DIR)/Makefile
	$(MAKE) setup
	cmake --build $(BUILD_DIR) --target ros_bench micro_bench hover_lock_tune closed_loop_bag hover_lock_scope -j2
	$(PYTHON) quarn_dev/bench/bench.py $(BUILD_DIR)/devel/lib/quarn_dev out/bench
	$(PYTHON) quarn_scope/bench/scope_bench.py $(BUILD_DIR)/devel out/bench

# The real node against a simulated vehicle on a private master; results in out/demo/.
demo: build
	$(PYTHON) quarn_sim/demo/run_demo.py --devel $(BUILD_DIR)/devel --out out/demo

# A bag recorded from the simulated vehicle, identified, tuned, and the tuned gains against the example on the real
# node; results in out/tune/.
tune-demo: build
	$(PYTHON) quarn_sim/demo/run_tune_demo.py --devel $(BUILD_DIR)/devel --out out/tune

clean:
	rm -rf $(BUILD_DIR) out
