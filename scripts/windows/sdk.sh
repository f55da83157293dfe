#!/usr/bin/env bash
# Prints the path of a Windows SDK that the recipe (scripts/windows/build-sdk.sh) would build
# today: with TLS, and with the recipe's digest in its STAMP. Takes $QUORVEX_WIN32_SDK (default
# ../shared/win32-sdk beside the source tree) when it is such an SDK; otherwise the one in the
# cache, $QUORVEX_SDK_CACHE (default /var/cache/quorvex)/win32-sdk-<digest>, building it there
# first when it is missing (about 20 minutes on 2 cores, once per machine and recipe). Progress
# goes to stderr; the last line on stdout is the path.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
digest="$("$root/scripts/windows/sdk-digest.sh")"
matches() { # sdk
    [ -f "$1/STAMP" ] && [ "$(cat "$1/STAMP")" = "$digest" ] &&
        grep -qs '^#define QT_FEATURE_ssl 1' "$1/qt5/include/QtNetwork/qtnetwork-config.h"
}
given="${QUORVEX_WIN32_SDK:-$root/../shared/win32-sdk}"
if matches "$given"; then
    echo "$given"
    exit 0
fi
cached="${QUORVEX_SDK_CACHE:-/var/cache/quorvex}/win32-sdk-$digest"
if ! matches "$cached"; then
    if [ -d "$given/qt5" ]; then
        echo "The Windows SDK at $given is not what the recipe builds (no TLS, or no STAMP $digest)." >&2
    fi
    echo "Building the Windows SDK into $cached (about 20 minutes on 2 cores, once)" >&2
    rm -rf "$cached"
    start=$SECONDS
    "$root/scripts/windows/build-sdk.sh" "$cached" >&2
    echo "The Windows SDK took $((SECONDS - start)) s to build" >&2
fi
echo "$cached"
