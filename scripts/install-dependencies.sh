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
#   bash scripts/install-dependencies.sh arm64     cross-build for arm64 and run the tests under qemu
#
# The arm64 group adds the architecture to dpkg and apt, then installs the
# cross compiler, qemu-user, the arm64 C and C++ runtimes and libSoapySDR
# (the arm64 .deb's dependencies are read from these). The other arm64 libraries are unpacked
# into the build tree by scripts/arm64-sysroot.sh instead: some of their -dev
# packages would remove the amd64 ones.
set -euo pipefail

packages=()
for group in "$@"; do
    case "$group" in
        probe) packages+=(cmake ninja-build g++ libhackrf-dev libbladerf-dev libhackrf0 libbladerf2) ;;
        tests) packages+=(cmake ninja-build g++ libhackrf-dev libbladerf-dev libhackrf0 libbladerf2
                          libgtest-dev libgmock-dev googletest libbenchmark-dev libvolk2-dev
                          libusb-1.0-0-dev clang libclang-rt-14-dev
                          libsoapysdr-dev soapysdr-tools python3-soapysdr python3-numpy hackrf bladerf
                          gnuradio soapyremote-server soapysdr-module-remote avahi-daemon dbus
                          cubicsdr xvfb xdotool) ;;
        windows) packages+=(g++-mingw-w64-x86-64-posix wine wine64 googletest) ;;
        package) packages+=(cmake ninja-build g++ dpkg-dev lintian groff-base pkgconf python3 doxygen) ;;
        arm64) packages+=(cmake ninja-build g++-aarch64-linux-gnu qemu-user googletest dpkg-dev
                          libhackrf-dev libbladerf-dev libc6:arm64 libstdc++6:arm64 libgcc-s1:arm64
                          libsoapysdr0.8:arm64) ;;
        *) echo "install-dependencies.sh: unknown group '$group'" >&2; exit 2 ;;
    esac
done

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive

# A new architecture has no package lists until apt fetches them.
lists_stale=false
if [[ " $* " == *" arm64 "* ]] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
    echo "-- Adding the arm64 architecture"
    "${sudo[@]}" dpkg --add-architecture arm64
    lists_stale=true
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -eq 0 ] && [ "$lists_stale" = false ]; then
    exit 0
fi

"${sudo[@]}" apt-get update -qq </dev/null
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
echo "-- Installing ${missing[*]}"
# wine's recommended packages pull in a desktop; none of it is needed here.
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null
