# Every target does its own set-up, so each works on a fresh Debian 12 machine.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
# The raw engine that orvo-render is compared with.
QTWK_DIR ?= ../shared/qtwk

.PHONY: all deps build test check-asan check-tsan fuzz soak bench demo clean

all: build

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The suite under sanitizers, each in a build directory of its own. Every
# process writes its reports into the directory's sanitizer-logs/, and the
# check fails when any report is there, also from a worker or child process
# whose end no test looks at.
SUPPRESSIONS = $(CURDIR)/tests/sanitizers

check-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVO_SANITIZE=address -DORVO_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	rm -rf build-asan/sanitizer-logs && mkdir build-asan/sanitizer-logs
	cd build-asan && \
	  ASAN_OPTIONS=log_path=$(CURDIR)/build-asan/sanitizer-logs/asan:detect_leaks=1 \
	  LSAN_OPTIONS=suppressions=$(SUPPRESSIONS)/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=log_path=$(CURDIR)/build-asan/sanitizer-logs/ubsan:print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)
	./scripts/sanitizer-reports build-asan/sanitizer-logs

check-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVO_SANITIZE=thread -DORVO_BENCH=OFF
	cmake --build build-tsan -j $(JOBS)
	rm -rf build-tsan/sanitizer-logs && mkdir build-tsan/sanitizer-logs
	cd build-tsan && \
	  TSAN_OPTIONS=log_path=$(CURDIR)/build-tsan/sanitizer-logs/tsan:suppressions=$(SUPPRESSIONS)/tsan.supp:halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j $(JOBS) -L tsan
	./scripts/sanitizer-reports build-tsan/sanitizer-logs

# Each fuzz target for FUZZ_SECONDS, built with clang's libFuzzer.
FUZZ_SECONDS ?= 60

fuzz: deps
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DORVO_SANITIZE=fuzzer
	cmake --build build-fuzz -j $(JOBS) --target orvo-fuzzers
	./scripts/run-fuzzers build-fuzz $(FUZZ_SECONDS)

# SOAK_REQUESTS requests over two workers, one killed every few seconds.
SOAK_REQUESTS ?= 10000

soak: build
	$(BUILD_DIR)/bench/orvo-soak $(SOAK_REQUESTS)

# The peer orvo-bench-chromium measures the Chromium engine against.
PUPPETEER_VERSION ?= 25.19.0

bench: build
	$(BUILD_DIR)/bench/orvo-bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
	$(BUILD_DIR)/bench/orvo-bench-roundtrip --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
	$(BUILD_DIR)/bench/orvo-bench-render
	$(BUILD_DIR)/bench/orvo-bench-snapshot
	unshare -n sh -c 'ip link set lo up && exec $(BUILD_DIR)/bench/orvo-bench-offline' \
	  || echo "orvo-bench-offline needs a network namespace (root, unshare and ip from iproute2)"
	cmake -S $(QTWK_DIR) -B $(BUILD_DIR)/qtwk -DCMAKE_BUILD_TYPE=Release > /dev/null
	cmake --build $(BUILD_DIR)/qtwk -j $(JOBS) > /dev/null
	$(BUILD_DIR)/bench/orvo-bench-compare $(BUILD_DIR)/qtwk/qtwk-baseline
	npm install --silent --no-save --prefix $(BUILD_DIR)/puppeteer puppeteer-core@$(PUPPETEER_VERSION) \
	  && $(BUILD_DIR)/bench/orvo-bench-chromium $(BUILD_DIR)/puppeteer/node_modules \
	  || echo "orvo-bench-chromium needs node and npm, and the npm registry for puppeteer-core"
	$(BUILD_DIR)/bench/orvo-bench-serve
	$(BUILD_DIR)/bench/orvo-bench-fleet
	$(BUILD_DIR)/bench/orvo-bench-memory
	$(BUILD_DIR)/bench/orvo-bench-memory 1000 500 chromium
	$(BUILD_DIR)/bench/orvo-bench-engines
	$(BUILD_DIR)/bench/orvo-bench-script-cost

demo: build
	$(BUILD_DIR)/orvo-render --out orvo-out examples/text.html examples/image.html examples/table.html examples/form.html
	@echo "Results are in orvo-out/: 0001.html ... 0004.html, the snapshots 0001.png ... 0004.png, and results.jsonl."

clean:
	rm -rf $(BUILD_DIR) build-asan build-tsan build-fuzz
