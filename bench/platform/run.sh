#!/usr/bin/env bash
# Capture benchmark under the simulated drivers, in a scratch camera root.
set -euo pipefail
build=${BUILD_DIR:-build}
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
ZENT_ROOT="$root" LD_PRELOAD="$build/sim/devsim/libdevsim.so" "$build/bench/platform/bench_capture"
