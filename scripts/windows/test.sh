#!/usr/bin/env bash
# Cross-builds the Windows programs (scripts/windows/build.sh) with the server address on a free
# loopback port and runs the CTest suite under Wine, in a 32-bit prefix of its own that is
# removed at the end. nginx runs natively; each test program runs its own scripted server.
#   scripts/windows/test.sh        (QUORVEX_WIN32_BUILD_DIR: the build, default build-win32-test/)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${QUORVEX_WIN32_BUILD_DIR:-$root/build-win32-test}"
start=$SECONDS
[ -n "${QUORVEX_SKIP_SETUP:-}" ] || "$root/scripts/setup-deps.sh" # nginx
port="$("$root/scripts/free-port.sh")"
QUORVEX_WIN32_BUILD_DIR="$build" "$root/scripts/windows/build.sh" \
    -DQUORVEX_SERVER_URL="http://127.0.0.1:$port" -DQUORVEX_TRANSFER_TIMEOUT_MS=3000 \
    -DQUORVEX_BUILD_TESTS=ON
echo "== Windows build: $((SECONDS - start)) s"

# Wine runs 32-bit Windows programs through its 32-bit loader, a Linux program of the i386
# architecture; a kernel that cannot execute those (no IA-32 emulation) cannot run the suite.
if ! loader="$(/usr/lib/wine/wine --version 2>&1)"; then
    echo "== Windows suite NOT RUN: this machine cannot execute 32-bit programs, so Wine cannot" \
        "start ($loader). The Windows build above was made and checked; run the suite on a machine" \
        "whose kernel executes i386 programs."
    exit 0
fi

work="$(mktemp -d)"
export WINEPREFIX="$work/prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
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
wineboot -i >/dev/null 2>&1
# Each test gives its programs a user profile of its own: the profile's "Local AppData" folder
# follows a variable of the process environment.
wine reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders' \
    /v 'Local AppData' /t REG_EXPAND_SZ /d '%QUORVEX_TEST_PROFILE%\AppData\Local' /f >/dev/null
# Internet Settings as most users have them: a direct connection, no automatic detection (the
# proxy case of tst_binary sets its own proxy there for a while).
wine reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections' \
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
wine "$build/tests/tst_documents.exe" >/dev/null 2>&1 || true
# Windows as its users have it: Russian, code page 1251 (Wine takes it from the locale, whose
# UTF-8 variant is built here for the Linux side).
localedef -i ru_RU -f UTF-8 "$work/locale/ru_RU.UTF-8"
status=0
LOCPATH="$work/locale" LC_ALL=ru_RU.UTF-8 ctest --test-dir "$build" --output-on-failure \
    -j"$(nproc)" || status=$?
echo "== Skipped under Wine:"
grep -h "^SKIP" "$build/Testing/Temporary/LastTest.log" || echo "(nothing)"
echo "== Windows suite: $((SECONDS - start)) s in all"
exit "$status"
