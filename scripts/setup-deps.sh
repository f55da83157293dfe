#!/usr/bin/env bash
# Installs the packages the build, the tests and the demo need, when any is missing (Debian 12).
set -euo pipefail
packages=(cmake g++ make qtbase5-dev qtbase5-dev-tools 7zip nginx-light xvfb xauth
          libssl-dev zlib1g-dev clang-format clang libclang-rt-14-dev python3 procps)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
