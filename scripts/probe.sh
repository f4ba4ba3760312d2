#!/bin/bash
# SPDX-License-Identifier: MIT
# Quick start, part one: installs what is missing, builds, and probes every
# attached HackRF and bladeRF board (`sdr-probe both`). Where no board is
# found, it shows what the probe prints by probing the simulated boards too.
set -euo pipefail
cd "$(dirname -- "${BASH_SOURCE[0]}")/.."

bash scripts/install-dependencies.sh probe
cmake -S . -B build -G Ninja -DBUILD_TESTING=OFF -DVELTRANO_BUILD_BENCHMARKS=OFF >/dev/null </dev/null
cmake --build build --target sdr-probe veltrano-simulators </dev/null >/dev/null
exec bash scripts/probe-or-simulate.sh build/bin
