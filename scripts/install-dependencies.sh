#!/bin/bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages a task needs, and only those that are missing,
# so that a second run costs nothing. Run as root (or through sudo).
#
#   bash scripts/install-dependencies.sh probe     build and run the probe
#   bash scripts/install-dependencies.sh tests     build and run the native tests
#   bash scripts/install-dependencies.sh windows   cross-build and run the tests under Wine
#   bash scripts/install-dependencies.sh package   build and inspect the .deb, read the man page,
#                                                  build the API reference
set -euo pipefail

packages=()
for group in "$@"; do
    case "$group" in
        probe) packages+=(cmake ninja-build g++ libhackrf-dev libbladerf-dev libhackrf0 libbladerf2) ;;
        tests) packages+=(cmake ninja-build g++ libhackrf-dev libbladerf-dev libhackrf0 libbladerf2
                          libgtest-dev libgmock-dev googletest libbenchmark-dev libvolk2-dev
                          libusb-1.0-0-dev clang libclang-rt-14-dev
                          libsoapysdr-dev soapysdr-tools python3-soapysdr python3-numpy hackrf bladerf
                          gnuradio soapyremote-server soapysdr-module-remote avahi-daemon dbus) ;;
        windows) packages+=(g++-mingw-w64-x86-64-posix wine wine64 googletest) ;;
        package) packages+=(cmake ninja-build g++ dpkg-dev lintian groff-base pkgconf python3 doxygen) ;;
        *) echo "install-dependencies.sh: unknown group '$group'" >&2; exit 2 ;;
    esac
done

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
fi
echo "-- Installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq </dev/null
# wine's recommended packages pull in a desktop; none of it is needed here.
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null
