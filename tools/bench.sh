#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the benchmarks (in the test build) and prints their tables: the
# program's own roads, then the OPC UA bridge beside node-opcua's client.
set -euo pipefail
QUORIVO_ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$QUORIVO_ROOT/tools/setup.sh"
quorivo_install_packages "${QUORIVO_PACKAGES[@]}"
command -v npm >/dev/null || quorivo_install_packages nodejs npm
(cd "$QUORIVO_ROOT/tests/opc/ua/peer" && npm ci --no-audit --no-fund --loglevel=error)
quorivo_build "$QUORIVO_ROOT/build-test" -DQUORIVO_BUILD_BENCH=ON
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
"$QUORIVO_ROOT/build-test/bench/quorivo_bench"
echo
"$QUORIVO_ROOT/build-test/bench/quorivo_bench_ua"
echo
"$QUORIVO_ROOT/build-test/bench/quorivo_bench_uatypes"
