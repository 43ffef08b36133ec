#!/usr/bin/env bash
# Installs the Debian packages a job needs, only those that are missing, so
# a second run costs a moment.
#   scripts/install-deps.sh run    what snt and snt-sim need (make run)
#   scripts/install-deps.sh        everything: the tools, the chip build, the
#                                  tests and their oracles (make test)
set -euo pipefail

packages=(
  cmake ninja-build g++ make          # host build
  libcli11-dev                        # command-line options of snt-sim and snt
  libfmt-dev                          # text formatting in the host tools
  libfast-float-dev                   # the core's float reading (fast_float::from_chars), on every platform
  libplplot-dev plplot-driver-cairo   # snt's plots: PLplot, PNG through its cairo driver
  pkg-config                          # finds PLplot for the build
  libcpp-httplib-dev                  # snt serve: its HTTP server (cpp-httplib)
  nlohmann-json3-dev                  # snt serve: JSON of its requests and events
  libfast-float-dev                   # decimal numbers read alike on every platform (fast_float)
  libjs-chart.js                      # the page's chart (Chart.js): embedded in snt, copied into the static site
  libboost-context-dev                # snt-sim: the firmware's host build on a coroutine (Boost.Context)
)
if [ "${1:-all}" != run ]; then
  packages+=(
  libgtest-dev                        # unit and end-to-end tests
  libunicorn-dev                      # test oracle for the Cortex-M0 core
  chromium chromium-driver            # the pages (snt serve's, the static site) in a real, headless browser
  python3-selenium                    # drives that browser in the page's test
  stm32flash                          # a flashing client written elsewhere, onto the board's bootloader
  gdb-multiarch                       # debugs the chip image on snt-sim --gdb in its test
  gcc-arm-none-eabi binutils-arm-none-eabi picolibc-arm-none-eabi   # chip build
  clang libclang-rt-14-dev            # fuzz targets: clang and its libFuzzer and sanitizer runtimes
  clang-format clang-tidy python3     # make lint: the house style and the static checks
  emscripten                          # the board as a WebAssembly module, and Node.js for its test
  )
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
