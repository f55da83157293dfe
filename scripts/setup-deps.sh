#!/usr/bin/env bash
# Installs the packages the build, the tests and the demo need, when any is missing (Debian 12).
#   scripts/setup-deps.sh                the Linux build, its tests, the demo
#   scripts/setup-deps.sh --windows      the Windows builds and their tests under Wine: both
#                                        mingw-w64 compilers, Wine's 32-bit and 64-bit loaders
#   scripts/setup-deps.sh package...     those packages ("name:i386" adds that architecture)
# Programs a fresh Debian 12 lacks and the scripts or tests call: openssl (the tests'
# certificates), python3 (the demo, the benchmarks), procps (ps, pkill), xvfb and xauth
# (xvfb-run), 7zip (7zz), nginx (scripts/nginx.sh), localedef's locale sources (locales).
set -euo pipefail
packages=(cmake g++ make qtbase5-dev qtbase5-dev-tools 7zip nginx-light xvfb xauth openssl
          libssl-dev zlib1g-dev libzstd-dev clang-format clang libclang-rt-14-dev python3 procps)
if [ "${1:-}" = --windows ]; then
    packages=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix cmake make 7zip wine wine32:i386
              wine64 fonts-wine locales)
elif (($#)); then
    packages=("$@")
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null; then
            echo "Installing packages needs root, and this machine has no sudo (a fresh Debian 12" \
                "has none): run the command again as root." >&2
            exit 1
        fi
        SUDO=sudo
    fi
    if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
        dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
    fi
    # Packaged services (nginx) must not start on their default ports during installation:
    # the tests and the demo run their own instances on loopback.
    policy=/usr/sbin/policy-rc.d
    added_policy=""
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
        $SUDO chmod +x "$policy"
        added_policy=1
    fi
    $SUDO apt-get update -qq
    status=0
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" || status=$?
    [ -z "$added_policy" ] || $SUDO rm -f "$policy"
    exit "$status"
fi
