#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds Quorivo in Release and starts it.
set -euo pipefail
QUORIVO_ROOT=$(cd "$(dirname "$0")" && pwd)
source "$QUORIVO_ROOT/tools/setup.sh"

quorivo_install_packages "${QUORIVO_PACKAGES[@]}"
quorivo_build "$QUORIVO_ROOT/build" -DQUORIVO_BUILD_TESTS=OFF -DQUORIVO_BUILD_BENCH=OFF

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "quorivo: no display found (DISPLAY and WAYLAND_DISPLAY are unset); run it on a desktop or under Xvfb." >&2
    exit 1
fi
exec "$QUORIVO_ROOT/build/src/app/quorivo" "$@"
