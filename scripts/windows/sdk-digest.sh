#!/usr/bin/env bash
# Prints the digest of the Windows SDK recipe (scripts/windows/build-sdk.sh): the SHA-256 of its
# lines without the comment lines, so that a change to how the SDK is built changes it and a
# change to the words around it does not. build-sdk.sh writes it into the SDK as STAMP.
set -euo pipefail
grep -v '^[[:space:]]*#' "$(dirname "$0")/build-sdk.sh" | sha256sum | cut -d' ' -f1
