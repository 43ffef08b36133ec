# The two commands of the project: `make run` and `make test`.
# Both install what is missing (Debian packages) and build first.

SIM := build/host/bin/snt-sim
SNT := build/host/bin/snt
# Where `make run` leaves its results.
OUT := out
# The main job's sweep: a 10.7 MHz filter with 1 MHz bandwidth, 5 to 16 MHz.
SWEEP := --start 5M --stop 16M --points 221

.PHONY: all deps host chip bench run test clean

all: host chip

deps:
	@scripts/install-deps.sh

build/host/build.ninja: | deps
	cmake --preset host

build/chip/build.ninja: | deps
	cmake --preset chip

host: deps build/host/build.ninja
	cmake --build --preset host

chip: deps build/chip/build.ninja
	cmake --build --preset chip

# The main job: sweep a through connection as the reference, then the
# virtual board's bandpass filter against it; writes $(OUT)/sweep.csv and
# $(OUT)/sweep.png and prints the summary.
run: host
	@mkdir -p $(OUT)
	@$(SNT) --dut thru sweep $(SWEEP) --save-ref $(OUT)/thru.csv > /dev/null
	@$(SNT) --dut bandpass:10.7M:1M sweep $(SWEEP) --ref $(OUT)/thru.csv \
		--csv $(OUT)/sweep.csv --plot $(OUT)/sweep.png
	@echo "Wrote $(OUT)/sweep.csv and $(OUT)/sweep.png (reference: $(OUT)/thru.csv)"

# Every test: the host suites (under AddressSanitizer and UBSan), then the
# chip image with its size and layout checks.
test: host chip
	ctest --preset host
	ctest --preset chip

clean:
	rm -rf build
