# Every target does its own set-up, so each works on a fresh Debian 12 machine.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
# The raw engine that orvo-render is compared with.
QTWK_DIR ?= ../shared/qtwk

.PHONY: all deps build test bench demo clean

all: build

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

bench: build
	$(BUILD_DIR)/bench/orvo-bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
	$(BUILD_DIR)/bench/orvo-bench-roundtrip --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
	$(BUILD_DIR)/bench/orvo-bench-render
	unshare -n sh -c 'ip link set lo up && exec $(BUILD_DIR)/bench/orvo-bench-offline' \
	  || echo "orvo-bench-offline needs a network namespace (root, unshare and ip from iproute2)"
	cmake -S $(QTWK_DIR) -B $(BUILD_DIR)/qtwk -DCMAKE_BUILD_TYPE=Release > /dev/null
	cmake --build $(BUILD_DIR)/qtwk -j $(JOBS) > /dev/null
	$(BUILD_DIR)/bench/orvo-bench-compare $(BUILD_DIR)/qtwk/qtwk-baseline

demo: build
	$(BUILD_DIR)/orvo-render --out orvo-out examples/text.html examples/image.html examples/table.html examples/form.html
	@echo "Results are in orvo-out/: 0001.html ... 0004.html, the snapshots 0001.png ... 0004.png, and results.jsonl."

clean:
	rm -rf $(BUILD_DIR)
