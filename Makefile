# The two commands of the README (`make run`, `make test`) plus `make bench` and `make fuzz`.
# Each one installs what it needs first (scripts/bootstrap), so a fresh Debian 12 machine works.

BUILD_DIR ?= build
BENCH_DIR ?= build-release
FUZZ_DIR ?= build-fuzz
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
SECONDS ?= 60

MAKEFLAGS += --no-print-directory

.PHONY: run test bench fuzz configure build clean

configure:
	scripts/bootstrap
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Debug

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	@echo "Kelvane's window is not built yet; showing the parse of examples/demo/.env with kelvane-cli:"
	$(BUILD_DIR)/kelvane/cli/kelvane-cli parse examples/demo/.env

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

bench:
	scripts/bootstrap --bench
	cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DKELVANE_BENCH=ON
	cmake --build $(BENCH_DIR) -j $(JOBS) --target kelvane_bench_document kelvane_bench_discovery kelvane_bench_workspace
	$(BENCH_DIR)/bench/kelvane_bench_document --dotenv-script bench/dotenv_parse.js
	@echo
	$(BENCH_DIR)/bench/kelvane_bench_discovery
	@echo
	$(BENCH_DIR)/bench/kelvane_bench_workspace

fuzz:
	scripts/bootstrap --fuzz
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_FUZZ=ON
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzz_env_document
	mkdir -p $(FUZZ_DIR)/corpus
	$(FUZZ_DIR)/tests/fuzz/fuzz_env_document -max_total_time=$(SECONDS) -timeout=10 \
		$(FUZZ_DIR)/corpus tests/fuzz/corpus

clean:
	rm -rf $(BUILD_DIR) $(BENCH_DIR) $(FUZZ_DIR)
