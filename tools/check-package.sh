#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks a built quorivo .deb as a Debian desktop would see it; nothing is
# installed on this machine.
#   tools/check-package.sh quorivo_<version>_<arch>.deb
set -euo pipefail
deb=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"

desktop-file-validate "$root/usr/share/applications/quorivo.desktop"
appstreamcli validate --no-net "$root/usr/share/metainfo/io.github.quorivo.Quorivo.metainfo.xml"
# No error and no warning: the one remark lintian makes is informational.
lintian --fail-on error,warning "$deb" 2> >(grep -v "running with root privileges" >&2)

depends=$(dpkg-deb -f "$deb" Depends)
for needed in libqt6widgets6 libssl3 fonts-liberation2 fonts-urw-base35; do
    grep -q "$needed" <<<"$depends" || { echo "Depends lacks $needed: $depends" >&2; exit 1; }
done

version=$(QT_QPA_PLATFORM=offscreen "$root/usr/bin/quorivo" --version)
grep -q "^Quorivo [0-9]" <<<"$version" || { echo "unexpected --version: $version" >&2; exit 1; }
echo "package checked: $(basename "$deb"): $(head -1 <<<"$version")"
