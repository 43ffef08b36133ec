#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that
# are missing, so a second run costs a moment.
set -euo pipefail

packages=(
  cmake ninja-build g++ make          # host build
  libgtest-dev                        # unit and end-to-end tests
  libunicorn-dev                      # test oracle for the Cortex-M0 core
  libcli11-dev                        # command-line options of snt-sim and snt
  libfmt-dev                          # text formatting in the host tools
  libplplot-dev plplot-driver-cairo   # snt's plots: PLplot, PNG through its cairo driver
  pkg-config                          # finds PLplot for the build
  gcc-arm-none-eabi binutils-arm-none-eabi picolibc-arm-none-eabi   # chip build
)

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
