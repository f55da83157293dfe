#!/usr/bin/env bash
# Renders the window of the Windows build under Wine and Xvfb and saves docs/window-windows.png
# (scripts/screenshot.sh makes docs/window.png from the Linux build). Builds with
# scripts/windows/build.sh first when the build directory is not set up.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${QUORVEX_WIN32_BUILD_DIR:-$root/build-win32}"
[ -f "$build/CMakeCache.txt" ] || QUORVEX_WIN32_BUILD_DIR="$build" "$root/scripts/windows/build.sh"
cmake --build "$build" --target qv_window_shot -j"$(nproc)"
work="$(mktemp -d)"
export WINEPREFIX="$work/prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$root/docs"
# Qt's FreeType engine: through Wine's GDI, the font that the dialog font "MS Shell Dlg 2" falls
# back to here reports a line height of 46 px at 8 pt, which squeezes the layout.
xvfb-run -a -s "-screen 0 800x600x24" sh -c 'wineboot -i >/dev/null 2>&1 && wine "$@"' - \
    "$build/qv_window_shot.exe" "Z:$root/docs/window-windows.png" -platform windows:fontengine=freetype
echo "Saved $root/docs/window-windows.png"
