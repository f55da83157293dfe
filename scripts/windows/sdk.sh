#!/usr/bin/env bash
# Prints the path of a Windows SDK that the recipe (scripts/windows/build-sdk.sh) would build
# today for an architecture: with TLS, and with the recipe's stamp (scripts/windows/sdk-digest.sh)
# in its STAMP.
#   scripts/windows/sdk.sh [ARCH]     ARCH: i686 (default, the release) or x86_64
# Takes $QUORVEX_WIN32_SDK (default ../shared/win32-sdk beside the source tree; for x86_64
# $QUORVEX_WIN64_SDK, default ../shared/win64-sdk) when it is such an SDK; otherwise the one in
# the cache, $QUORVEX_SDK_CACHE (default /var/cache/quorvex)/win32-sdk-<digest> (win64-sdk- for
# x86_64), building it there first when it is missing (45 to 80 minutes on 2 busy cores, once per
# machine, architecture and recipe). Progress goes to stderr; the last line on stdout is the path.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
arch="${1:-i686}"
case "$arch" in
i686) given="${QUORVEX_WIN32_SDK:-$root/../shared/win32-sdk}" name=win32-sdk ;;
x86_64) given="${QUORVEX_WIN64_SDK:-$root/../shared/win64-sdk}" name=win64-sdk ;;
*) echo "Unknown architecture $arch: i686 or x86_64" >&2 && exit 1 ;;
esac
read -r digest _ < <("$root/scripts/windows/sdk-digest.sh" "$arch")
# A STAMP of the digest alone comes from before the recipe built for two architectures: i686.
matches() { # sdk
    local stamped stamped_arch
    [ -f "$1/STAMP" ] && read -r stamped stamped_arch <"$1/STAMP" && [ "$stamped" = "$digest" ] &&
        [ "${stamped_arch:-i686}" = "$arch" ] &&
        grep -qs '^#define QT_FEATURE_ssl 1' "$1/qt5/include/QtNetwork/qtnetwork-config.h"
}
if matches "$given"; then
    echo "$given"
    exit 0
fi
cached="${QUORVEX_SDK_CACHE:-/var/cache/quorvex}/$name-$digest"
if ! matches "$cached"; then
    if [ -d "$given/qt5" ]; then
        echo "The Windows SDK at $given is not what the recipe builds (no TLS, or no STAMP $digest $arch)." >&2
    fi
    echo "Building the $arch Windows SDK into $cached (45 to 80 minutes on 2 busy cores, once)" >&2
    rm -rf "$cached"
    start=$SECONDS
    "$root/scripts/windows/build-sdk.sh" "$cached" "$arch" >&2
    echo "The $arch Windows SDK took $((SECONDS - start)) s to build" >&2
fi
echo "$cached"
