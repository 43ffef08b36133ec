# The two commands of the project: `make run` and `make test`.
# Both install what is missing (Debian packages) and build first.

# `make run` uses the optimised tools without sanitizers; the tests keep
# theirs in build/host.
SIM := build/release/bin/snt-sim
SNT := build/release/bin/snt
PREFIX ?= /usr/local
# Where `make run` leaves its results.
OUT := out
# The main job's sweep: a 10.7 MHz filter with 1 MHz bandwidth, 5 to 16 MHz.
SWEEP := --start 5M --stop 16M --points 221

.PHONY: all deps deps-run host release chip wasm bench run test lint install clean fuzz fuzz-build

all: host chip

deps:
	@scripts/install-deps.sh

deps-run:
	@scripts/install-deps.sh run

build/release/build.ninja: | deps-run
	cmake --preset release

build/host/build.ninja: | deps
	cmake --preset host

build/chip/build.ninja: | deps
	cmake --preset chip

release: deps-run build/release/build.ninja
	cmake --build --preset release

host: deps build/host/build.ninja
	cmake --build --preset host

chip: deps build/chip/build.ninja
	cmake --build --preset chip

# The core and the board as a WebAssembly module (emscripten), for the
# browser; its test runs it under Node.js against the host build's tools.
build/wasm/build.ninja: | deps
	cmake --preset wasm

wasm: deps build/wasm/build.ninja
	cmake --build --preset wasm

# The main job: sweep a through connection as the reference, then the
# virtual board's bandpass filter against it; writes $(OUT)/sweep.csv and
# $(OUT)/sweep.png and prints the summary.
run: release
	@mkdir -p $(OUT)
	@$(SNT) --dut thru sweep $(SWEEP) --save-ref $(OUT)/thru.csv > /dev/null
	@$(SNT) --dut bandpass:10.7M:1M sweep $(SWEEP) --ref $(OUT)/thru.csv \
		--csv $(OUT)/sweep.csv --plot $(OUT)/sweep.png
	@echo "Wrote $(OUT)/sweep.csv and $(OUT)/sweep.png (reference: $(OUT)/thru.csv)"

# Formatting (clang-format) and static checks (clang-tidy over the host
# build's compile_commands.json); part of `make test`.
lint: host
	scripts/lint.sh build/host

# Every test: lint, the host suites (under AddressSanitizer and UBSan), the
# chip image with its size and layout checks, the fuzz smoke runs and the
# WebAssembly module under Node.js.
test: host chip fuzz-build wasm
	scripts/lint.sh build/host
	ctest --preset host
	ctest --preset chip
	ctest --preset fuzz
	ctest --preset wasm

# The fuzz targets (clang's libFuzzer, ASan + UBSan) in build/fuzz. `make
# test` gives each a few seconds; `make fuzz` runs each for FUZZ_SECONDS,
# carrying what it finds over from run to run in build/fuzz/corpus/NAME.
FUZZ_SECONDS ?= 60
FUZZERS := firmware_serial_fuzz touchstone_fuzz dut_fuzz bench_dut_fuzz reference_csv_fuzz frequency_fuzz gdb_stub_fuzz http_router_fuzz

build/fuzz/build.ninja: | deps
	cmake --preset fuzz

fuzz-build: deps build/fuzz/build.ninja
	cmake --build --preset fuzz

fuzz: fuzz-build
	@for t in $(FUZZERS); do \
		tests/fuzz/run_fuzzer.sh build/fuzz/tests/fuzz/$$t tests/fuzz/corpus/$$t build/fuzz/corpus/$$t \
			$(FUZZ_SECONDS) || exit 1; \
	done

# snt, snt-sim with the firmware module, the chip image and the manual pages.
install: release chip
	cmake --install build/release --prefix $(PREFIX)

clean:
	rm -rf build
