#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Prints what one call of the OPC UA bridge costs the client in counts that
# do not move with the machine's load: system calls (strace -c -f), user-space
# instructions (valgrind --tool=callgrind), heap allocations and minor page
# faults, per sequential Read and per Read of 10,000, over None and over
# Basic256Sha256 SignAndEncrypt, against the node-opcua peer; with wall and
# CPU time per call and the targets they are held to.
set -euo pipefail
QUORIVO_ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$QUORIVO_ROOT/tools/setup.sh"
quorivo_install_packages "${QUORIVO_PACKAGES[@]}" strace valgrind
command -v npm >/dev/null || quorivo_install_packages nodejs npm
(cd "$QUORIVO_ROOT/tests/opc/ua/peer" && npm ci --no-audit --no-fund --loglevel=error)
quorivo_build "$QUORIVO_ROOT/build-test" -DQUORIVO_BUILD_BENCH=ON
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
"$QUORIVO_ROOT/build-test/bench/quorivo_bench_uacounts" --tools
