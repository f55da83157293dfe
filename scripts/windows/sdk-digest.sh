#!/usr/bin/env bash
# Prints the stamp of the Windows SDK that the recipe (scripts/windows/build-sdk.sh) builds for
# an architecture, "<digest> <architecture>"; build-sdk.sh writes it into the SDK as STAMP.
#   scripts/windows/sdk-digest.sh [ARCH]     ARCH: i686 (default, or $QUORVEX_SDK_ARCH) or x86_64
# The digest is the SHA-256 of the recipe as it runs for that architecture: its lines without the
# comment lines and without its architecture block, each arch_ value written in where the recipe
# names it. A change to how either SDK is built changes that SDK's digest; a change to the words
# around it, or to the other architecture's names, does not.
set -euo pipefail
recipe="$(dirname "$0")/build-sdk.sh"
arch="${1:-${QUORVEX_SDK_ARCH:-i686}}"
# The block's values for this architecture (it also checks the name).
set -- "" "$arch"
root=""
eval "$(sed -n '/^# >>> The architecture/,/^# <<< The architecture/p' "$recipe")"
rendered="$(grep -v '^[[:space:]]*#' <(sed '/^# >>> The architecture/,/^# <<< The architecture/d' "$recipe"))"
for name in "${!arch_@}"; do
    rendered="${rendered//"\${$name}"/${!name}}"
done
if grep -q 'arch_' <<<"$rendered"; then
    echo "build-sdk.sh names the target outside its architecture block, or as \$arch_ without braces" >&2
    exit 1
fi
echo "$(sha256sum <<<"$rendered" | cut -d' ' -f1) $arch"
