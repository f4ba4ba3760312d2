#!/bin/bash
# SPDX-License-Identifier: MIT
# Unpacks Debian's arm64 libraries that the arm64 cross build links and its
# tests load into a folder of their own (default: build-arm64/sysroot).
#
#   bash scripts/arm64-sysroot.sh [folder]
#
# Why not "apt-get install <package>:arm64": several arm64 -dev packages are
# not co-installable with their amd64 twins (installing libhackrf-dev:arm64
# removes libhackrf-dev), and the arm64 libudev1 drags the host's systemd to
# its exact version. Unpacked here they touch nothing of the host. Needs the
# arm64 architecture in apt's lists: bash scripts/install-dependencies.sh arm64.
# A second run with the same package versions does nothing.
set -euo pipefail
cd "$(dirname -- "${BASH_SOURCE[0]}")/.."

sysroot=${1:-build-arm64/sysroot}
# The C and C++ runtimes and loader (qemu-aarch64 -L runs programs from here),
# the vendor libraries and libusb the emulated boards stand in for, and what
# the SoapySDR module, the USB emulators and the benchmarks build against.
packages=(libc6 libgcc-s1 libstdc++6 libudev1 libusb-1.0-0 libusb-1.0-0-dev
          libhackrf0 libbladerf2 libsoapysdr0.8 libsoapysdr-dev
          libbenchmark1debian libbenchmark-dev libvolk2.5 libvolk2-dev liborc-0.4-0)

versions=()
for package in "${packages[@]}"; do
    version=$(apt-cache policy "$package:arm64" 2>/dev/null | sed -n 's/^ *Candidate: //p')
    if [ -z "$version" ] || [ "$version" = "(none)" ]; then
        echo "arm64-sysroot.sh: no arm64 candidate for $package (run install-dependencies.sh arm64)" >&2
        exit 1
    fi
    versions+=("$package=$version")
done
stamp=$(printf '%s\n' "${versions[@]}")
if [ -f "$sysroot/.packages" ] && [ "$(cat "$sysroot/.packages")" = "$stamp" ]; then
    exit 0
fi

echo "-- Unpacking arm64 libraries into $sysroot"
downloads=$(mktemp -d)
trap 'rm -rf -- "$downloads"' EXIT
(cd "$downloads" && apt-get download -qq "${versions[@]/=/:arm64=}" </dev/null 2>/dev/null)
rm -rf -- "$sysroot"
mkdir -p -- "$sysroot"
for deb in "$downloads"/*.deb; do
    dpkg-deb -x "$deb" "$sysroot"
done
printf '%s\n' "$stamp" > "$sysroot/.packages"
