#!/usr/bin/env bash
# Renders the real updater window under Xvfb and saves docs/window.png.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup-deps.sh"
build="${QUORVEX_BUILD_DIR:-$root/build-shot}"
cmake -S "$root" -B "$build" -DQUORVEX_BUILD_TESTS=OFF -DQUORVEX_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" --target qv_window_shot -j"$(nproc)"
mkdir -p "$root/docs"
data="$(mktemp -d)"
trap 'rm -rf "$data"' EXIT
XDG_DATA_HOME="$data" QT_QPA_PLATFORM=xcb \
    xvfb-run -a -s "-screen 0 800x600x24" "$build/qv_window_shot" "$root/docs/window.png"
echo "Saved $root/docs/window.png"
