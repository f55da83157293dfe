#!/usr/bin/env bash
# Start-up time of the Linux build against the Windows build under Wine: the median wall time
# of 15 runs each that find a separate update program in the data directory, start it detached
# and quit (process start, Qt, the window, the start, the exit). Both run without a display
# (Linux: offscreen; Wine: its display-less driver), as the test suites run them: under Xvfb
# without a window manager, Wine's X11 driver waits 2 s for a closed window to be withdrawn.
# Wine's server and services are up before the first run.
#   scripts/windows/startup.sh [<Linux qv_updater>] [<qv_updater.exe>]
# (defaults: build/qv_updater and build-win32/qv_updater.exe)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
linux="$(realpath "${1:-$root/build/qv_updater}")"
windows="$(realpath "${2:-$root/build-win32/qv_updater.exe}")"
work="$(mktemp -d)"
export WINEPREFIX="$work/prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
wineboot -i >/dev/null 2>&1
profile="$(winepath -u "$(wine cmd /c 'echo %LOCALAPPDATA%' 2>/dev/null | tr -d '\r')")"
# The update programs: do-nothing programs of each system.
mkdir -p "$work/linux/qv_updater/bin" "$profile/qv_updater/bin"
cp "$(type -P true)" "$work/linux/qv_updater/bin/qv_update.exe"
printf 'int main(void) { return 0; }\n' >"$work/nothing.c"
i686-w64-mingw32-gcc -s -o "$profile/qv_updater/bin/qv_update.exe" "$work/nothing.c"

median() { # <command...>: the median wall time of 15 runs, in ms
    for _ in $(seq 15); do
        start=$(date +%s%N)
        "$@" >/dev/null 2>&1
        echo $((($(date +%s%N) - start) / 1000000))
    done | sort -n | sed -n 8p
}
wine "$windows" >/dev/null 2>&1 # Wine's services start with the first program
echo "Windows build under Wine: $(median wine "$windows") ms"
export XDG_DATA_HOME="$work/linux" QT_QPA_PLATFORM=offscreen
echo "Linux build: $(median "$linux") ms"
