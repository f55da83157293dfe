#!/usr/bin/env bash
# Cross-builds the Windows programs (scripts/windows/build.sh) with the server address on a free
# loopback port and runs the CTest suite under Wine, in a prefix of its own that is removed at
# the end. nginx runs natively; each test program runs its own scripted server.
#   scripts/windows/test.sh [--arch ARCH]
# ARCH: i686, the release, in a 32-bit prefix; or x86_64, the same programs built for 64-bit
# Windows (scripts/windows/README.md says what differs), under 64-bit Wine in a 64-bit prefix.
# By default $QUORVEX_WINE_ARCH (32 or 64) chooses, else the 32-bit suite runs where this machine
# executes 32-bit programs and the 64-bit one where it does not; when the chosen Wine cannot
# start, the suite fails.
# QUORVEX_WIN32_BUILD_DIR: the build (default build-win32-test/, for x86_64 build-win64-test/);
# the SDK as scripts/windows/sdk.sh finds or builds it ($QUORVEX_WIN32_SDK, $QUORVEX_WIN64_SDK).
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
start=$SECONDS
if [ -z "${QUORVEX_SKIP_SETUP:-}" ]; then
    "$root/scripts/setup-deps.sh"           # nginx, openssl
    "$root/scripts/setup-deps.sh" --windows # mingw-w64, both of Wine's loaders
fi

# Wine runs 32-bit Windows programs through its 32-bit loader, a Linux program of the i386
# architecture, which a kernel without IA-32 emulation cannot execute; its 64-bit loader runs
# 64-bit Windows programs on any x86-64 kernel.
loader32=/usr/lib/wine/wine loader64=/usr/lib/wine/wine64
case "${1:-}" in
--arch) arch="${2:?--arch takes i686 or x86_64}" ;;
--arch=*) arch="${1#--arch=}" ;;
"")
    case "${QUORVEX_WINE_ARCH:-}" in
    32) arch=i686 ;;
    64) arch=x86_64 ;;
    "")
        if "$loader32" --version >/dev/null 2>&1; then
            arch=i686
        else
            arch=x86_64
            echo "== Wine's 32-bit loader does not start here ($loader32: this machine does not" \
                "execute 32-bit programs, or wine32 is missing): the Windows suite runs as a" \
                "64-bit build under 64-bit Wine"
        fi
        ;;
    *) echo "QUORVEX_WINE_ARCH is 32 or 64, not $QUORVEX_WINE_ARCH" >&2 && exit 1 ;;
    esac
    ;;
*) echo "usage: scripts/windows/test.sh [--arch i686|x86_64]" >&2 && exit 1 ;;
esac
case "$arch" in
i686) loader="$loader32" bits=32 ;;
x86_64) loader="$loader64" bits=64 ;;
*) echo "Unknown architecture $arch: i686 or x86_64" >&2 && exit 1 ;;
esac
if ! version="$("$loader" --version 2>&1)"; then
    echo "== Windows suite NOT RUN, and so FAILED: Wine's $bits-bit loader does not start here" \
        "($loader: $version). Install Wine (scripts/setup-deps.sh), or run the suite on a machine" \
        "that executes $bits-bit programs." >&2
    exit 1
fi
echo "== Windows suite: $arch build under $version ($loader)"

sdk_start=$SECONDS
sdk="$("$root/scripts/windows/sdk.sh" "$arch" | tail -n 1)"
if [ "$arch" = i686 ]; then
    export QUORVEX_WIN32_SDK="$sdk"
else
    export QUORVEX_WIN64_SDK="$sdk"
fi
echo "== Windows SDK ($arch): $sdk, $((SECONDS - sdk_start)) s"

build="${QUORVEX_WIN32_BUILD_DIR:-$root/build-win$bits-test}"
build_start=$SECONDS
port="$("$root/scripts/free-port.sh")"
QUORVEX_WIN32_BUILD_DIR="$build" "$root/scripts/windows/build.sh" --arch "$arch" \
    -DQUORVEX_SERVER_URL="http://127.0.0.1:$port" -DQUORVEX_TRANSFER_TIMEOUT_MS=3000 \
    -DQUORVEX_BUILD_TESTS=ON
echo "== Windows build ($arch): $((SECONDS - build_start)) s"

work="$(mktemp -d)"
export WINEPREFIX="$work/prefix" WINEARCH="win$bits" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine starts the prefix's programs with the loader it was started with, the 64-bit one included
# (Debian's "wine" command would take the 32-bit loader whenever it is installed).
[ "$arch" = i686 ] || export WINELOADER="$loader"
# Without a display the updater's own platform runs windowless, as the tests want it.
unset DISPLAY WAYLAND_DISPLAY
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo -n"
cleanup() {
    wineserver -k 2>/dev/null || true
    ! mountpoint -q "$work/small" || $SUDO umount "$work/small" || true
    rm -rf "$work"
}
trap cleanup EXIT
"$loader" wineboot -i >/dev/null 2>&1
# Each test gives its programs a user profile of its own: the profile's "Local AppData" folder
# follows a variable of the process environment.
"$loader" reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders' \
    /v 'Local AppData' /t REG_EXPAND_SZ /d '%QUORVEX_TEST_PROFILE%\AppData\Local' /f >/dev/null
# Internet Settings as most users have them: a direct connection, no automatic detection (the
# proxy case of tst_binary sets its own proxy there for a while).
"$loader" reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections' \
    /v DefaultConnectionSettings /t REG_BINARY /f \
    /d "460000000000000001000000000000000000000000000000$(printf '0%.0s' $(seq 64))" >/dev/null ||
    echo "Internet Settings not written: Wine may try to detect a proxy"
# A full disk: a 256 KiB file system as drive Q:, where this machine lets us mount one.
mkdir -p "$work/small" "$work/locale"
if $SUDO mount -t tmpfs -o size=256k quorvex-small "$work/small" 2>/dev/null; then
    ln -s "$work/small" "$WINEPREFIX/dosdevices/q:"
    export QUORVEX_SMALL_DRIVE="Q:"
else
    echo "Mounting a file system is not allowed here: the full-disk case will be skipped"
fi

# Wine starts its desktop process with the first program that makes a window (Qt's event loop
# makes one); two test programs starting it at once can leave one of them without any. The
# quickest test program starts it first.
"$loader" "$build/tests/tst_documents.exe" >/dev/null 2>&1 || true
# Windows as its users have it: Russian, code page 1251 (Wine takes it from the locale, whose
# UTF-8 variant is built here for the Linux side).
localedef -i ru_RU -f UTF-8 "$work/locale/ru_RU.UTF-8"
status=0
LOCPATH="$work/locale" LC_ALL=ru_RU.UTF-8 ctest --test-dir "$build" --output-on-failure \
    -j"$(nproc)" || status=$?
skipped="$(grep -h "^SKIP" "$build/Testing/Temporary/LastTest.log" || echo "(nothing)")"
# Wine itself now and then fails to start a process or make a window ("internal error"), which
# Windows does not: a program that failed runs once more, alone, on a fresh wineserver, and the
# log says so. A failure that repeats fails the suite.
if [ "$status" != 0 ]; then
    echo "== Failed under Wine, run once more: $(tr '\n' ' ' <"$build/Testing/Temporary/LastTestsFailed.log")"
    wineserver -k 2>/dev/null || true
    status=0
    LOCPATH="$work/locale" LC_ALL=ru_RU.UTF-8 ctest --test-dir "$build" --output-on-failure \
        --rerun-failed || status=$?
fi
echo "== Skipped under Wine:"
echo "$skipped"
echo "== Windows suite: $((SECONDS - start)) s in all"
exit "$status"
