#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds, and runs every test; the exit status is the verdict.
#   1. the suite in a Release build (gcc), benchmarks built alongside;
#   2. the suite again under AddressSanitizer and UndefinedBehaviorSanitizer (clang);
#   3. the Debian package built from the Release build, and checked;
#   4. each fuzz target over its kept inputs, then for QUORIVO_FUZZ_SECONDS (30).
set -euo pipefail
QUORIVO_ROOT=$(cd "$(dirname "$0")" && pwd)
source "$QUORIVO_ROOT/tools/setup.sh"

quorivo_install_packages "${QUORIVO_PACKAGES[@]}" clang libclang-rt-14-dev \
    dpkg-dev desktop-file-utils appstream lintian openssl
# Node.js may come from elsewhere than Debian (with npm inside); only a
# machine without it gets Debian's.
command -v npm >/dev/null || quorivo_install_packages nodejs npm

export QT_QPA_PLATFORM=offscreen
export CTEST_OUTPUT_ON_FAILURE=1

echo "== OPC UA test peer (node-opcua, pinned by its lock file)"
(cd "$QUORIVO_ROOT/tests/opc/ua/peer" && npm ci --no-audit --no-fund --loglevel=error)
export QUORIVO_REQUIRE_UA_PEER=1

echo "== Release build and tests"
quorivo_build "$QUORIVO_ROOT/build-test" -DQUORIVO_BUILD_BENCH=ON
ctest --test-dir "$QUORIVO_ROOT/build-test" --parallel "$(nproc)" --timeout 600

echo "== Debian package"
"$QUORIVO_ROOT/tools/check-package.sh" "$("$QUORIVO_ROOT/tools/package.sh" "$QUORIVO_ROOT/build-test")"

echo "== Sanitizer build and tests"
CC=clang CXX=clang++ quorivo_build "$QUORIVO_ROOT/build-asan" \
    -DQUORIVO_SANITIZE=ON -DQUORIVO_FUZZ=ON -DQUORIVO_BUILD_BENCH=OFF
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$QUORIVO_ROOT/build-asan" --parallel "$(nproc)" --timeout 900

echo "== Fuzzing"
"$QUORIVO_ROOT/tools/fuzz.sh" "$QUORIVO_ROOT/build-asan" "${QUORIVO_FUZZ_SECONDS:-30}"
