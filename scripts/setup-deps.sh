#!/usr/bin/env bash
# Installs the packages the build, the tests and the demo need, when any is missing (Debian 12).
#   scripts/setup-deps.sh [package...]   (other packages instead; "name:i386" adds that
#                                         architecture first)
set -euo pipefail
packages=(cmake g++ make qtbase5-dev qtbase5-dev-tools 7zip nginx-light xvfb xauth
          libssl-dev zlib1g-dev clang-format clang libclang-rt-14-dev python3 procps)
(($#)) && packages=("$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
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
