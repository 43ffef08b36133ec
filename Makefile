# The two commands of the project: `make run` and `make test`.
# Both install what is missing (Debian packages) and build first.

SIM := build/host/bin/snt-sim

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

# The main job: the virtual board starts, shows its banner and answers its
# identification.
run: host
	printf 'w\r' | $(SIM) | tr '\r' '\n'

# Every test: the host suites (under AddressSanitizer and UBSan), then the
# chip image with its size and layout checks.
test: host chip
	ctest --preset host
	ctest --preset chip

clean:
	rm -rf build
