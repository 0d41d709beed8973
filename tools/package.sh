#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds quorivo_<version>_<arch>.deb with CPack and prints its path.
#   tools/package.sh [build-dir]     (default: build-package, a Release build)
set -euo pipefail
QUORIVO_ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$QUORIVO_ROOT/tools/setup.sh"
quorivo_install_packages "${QUORIVO_PACKAGES[@]}" dpkg-dev

dir=${1:-$QUORIVO_ROOT/build-package}
[ -f "$dir/build.ninja" ] || quorivo_build "$dir" -DQUORIVO_BUILD_TESTS=OFF -DQUORIVO_BUILD_BENCH=OFF
cmake --build "$dir" --parallel "$(nproc)" >/dev/null
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$dir"/quorivo_*.deb
