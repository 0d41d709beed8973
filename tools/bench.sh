#!/usr/bin/env bash
# Builds the benchmarks (in the test build) and prints their table.
set -euo pipefail
QUORIVO_ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$QUORIVO_ROOT/tools/setup.sh"
quorivo_install_packages "${QUORIVO_PACKAGES[@]}"
quorivo_build "$QUORIVO_ROOT/build-test" -DQUORIVO_BUILD_BENCH=ON
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} "$QUORIVO_ROOT/build-test/bench/quorivo_bench"
