#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; the exit status is the verdict.
set -euo pipefail
QUORIVO_ROOT=$(cd "$(dirname "$0")" && pwd)
source "$QUORIVO_ROOT/tools/setup.sh"

quorivo_install_packages "${QUORIVO_PACKAGES[@]}" clang libclang-rt-14-dev

export QT_QPA_PLATFORM=offscreen
export CTEST_OUTPUT_ON_FAILURE=1

quorivo_build "$QUORIVO_ROOT/build-test" -DQUORIVO_BUILD_BENCH=ON
ctest --test-dir "$QUORIVO_ROOT/build-test" --parallel "$(nproc)" --timeout 600
