# SPDX-License-Identifier: GPL-3.0-or-later
# Shared by run.sh and test.sh: install what is missing, then configure and build.
# Sourced, not run.

QUORIVO_PACKAGES=(cmake ninja-build g++ qt6-base-dev libgl1-mesa-dev libssl-dev fonts-liberation2 fonts-urw-base35)

quorivo_install_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# quorivo_build <build-dir> [extra cmake args...]
quorivo_build() {
    local dir=$1
    shift
    if [ ! -f "$dir/build.ninja" ]; then
        cmake -S "$QUORIVO_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@"
    fi
    cmake --build "$dir" --parallel "$(nproc)"
}
