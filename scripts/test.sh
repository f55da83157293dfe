#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds everything and runs every test: the CTest suite,
# the same suite built with AddressSanitizer and UndefinedBehaviorSanitizer, the fuzzers of
# the document parsers for a bounded time, and the Windows build with its CTest suite under Wine.
# The Windows build needs an SDK with TLS made by today's recipe: $QUORVEX_WIN32_SDK (default
# ../shared/win32-sdk) when it is one, else the one that scripts/windows/sdk.sh keeps in
# /var/cache/quorvex, built there first when missing (about 20 minutes, once per machine).
# QUORVEX_QUICK=1 runs the Linux CTest suite only.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup-deps.sh"

build="${QUORVEX_BUILD_DIR:-$root/build-test}"
# The end-to-end tests run the real updater against a server on this loopback port; its stall
# timeout is short so that the stall cases end quickly.
port="$("$root/scripts/free-port.sh")"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUORVEX_SERVER_URL="http://127.0.0.1:$port" -DQUORVEX_BUILD_TESTS=ON \
    -DQUORVEX_TRANSFER_TIMEOUT_MS=3000
cmake --build "$build" -j"$(nproc)"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

if [ -z "${QUORVEX_QUICK:-}" ]; then
    echo "== Sanitizer build and suite"
    QUORVEX_SKIP_SETUP=1 "$root/scripts/sanitize.sh"
    export FUZZ_SECONDS="${FUZZ_SECONDS:-20}"
    echo "== Fuzzing ($FUZZ_SECONDS s per target)"
    QUORVEX_SKIP_SETUP=1 "$root/scripts/fuzz.sh"
    echo "== Windows SDK"
    sdk="$("$root/scripts/windows/sdk.sh" | tail -n 1)"
    echo "== Windows build and suite under Wine (SDK: $sdk)"
    QUORVEX_SKIP_SETUP=1 QUORVEX_WIN32_SDK="$sdk" "$root/scripts/windows/test.sh"
else
    echo "== Windows suite skipped (QUORVEX_QUICK)"
fi
echo "All tests passed."
