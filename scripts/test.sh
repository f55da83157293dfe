#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds everything and runs every test: the CTest suite,
# the same suite built with AddressSanitizer and UndefinedBehaviorSanitizer, the fuzzers of
# the document parsers for a bounded time, and the Windows build with its CTest suite under Wine:
# the 32-bit release where this machine executes 32-bit programs, else the same programs built
# for 64-bit Windows under 64-bit Wine (QUORVEX_WINE_ARCH=32 or 64 chooses; a suite that cannot
# run fails). The Windows build needs an SDK with TLS made by today's recipe for its
# architecture: $QUORVEX_WIN32_SDK (default ../shared/win32-sdk; 64-bit: $QUORVEX_WIN64_SDK,
# ../shared/win64-sdk) when it is one, else the one that scripts/windows/sdk.sh keeps in
# /var/cache/quorvex, built there first when missing (45 to 80 minutes, once per machine), and
# the zstd kit that scripts/windows/zstd.sh finds or builds beside it (under a minute, once).
# QUORVEX_QUICK=1 runs the Linux CTest suite only. Each step prints how long it took.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
start=$SECONDS
"$root/scripts/setup-deps.sh"
[ -n "${QUORVEX_QUICK:-}" ] || "$root/scripts/setup-deps.sh" --windows
echo "== Packages: $((SECONDS - start)) s"

build="${QUORVEX_BUILD_DIR:-$root/build-test}"
# The end-to-end tests run the real updater against a server on this loopback port; its stall
# timeout is short so that the stall cases end quickly.
port="$("$root/scripts/free-port.sh")"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUORVEX_SERVER_URL="http://127.0.0.1:$port" -DQUORVEX_BUILD_TESTS=ON \
    -DQUORVEX_TRANSFER_TIMEOUT_MS=3000
step=$SECONDS
cmake --build "$build" -j"$(nproc)"
echo "== Linux build: $((SECONDS - step)) s"
step=$SECONDS
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
echo "== Linux suite: $((SECONDS - step)) s"

if [ -z "${QUORVEX_QUICK:-}" ]; then
    echo "== Sanitizer build and suite"
    step=$SECONDS
    QUORVEX_SKIP_SETUP=1 "$root/scripts/sanitize.sh"
    echo "== Sanitizer build and suite: $((SECONDS - step)) s"
    export FUZZ_SECONDS="${FUZZ_SECONDS:-20}"
    echo "== Fuzzing ($FUZZ_SECONDS s per target)"
    step=$SECONDS
    QUORVEX_SKIP_SETUP=1 "$root/scripts/fuzz.sh"
    echo "== Fuzzing: $((SECONDS - step)) s"
    echo "== Windows SDK, build and suite under Wine"
    QUORVEX_SKIP_SETUP=1 "$root/scripts/windows/test.sh"
else
    echo "== Windows suite skipped (QUORVEX_QUICK)"
fi
echo "All tests passed ($((SECONDS - start)) s)."
