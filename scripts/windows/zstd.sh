#!/usr/bin/env bash
# Prints the path of the zstd kit for Windows that the Windows build links the updater with: the
# static library libzstd.a of Debian 12's zstd source package, built with mingw-w64 for one
# architecture, with its headers and its BSD licence:
#   include/   zstd.h, zstd_errors.h, zdict.h
#   lib/       libzstd.a (single-threaded, no legacy formats, no assembly)
#   LICENSE    zstd's BSD licence
#   STAMP      "<digest> <arch>": the SHA-256 of this script and the architecture
#   scripts/windows/zstd.sh [ARCH]     ARCH: i686 (default, the release) or x86_64
# Takes $QUORVEX_WIN32_ZSTD (default ../shared/win32-zstd beside the source tree; for x86_64
# $QUORVEX_WIN64_ZSTD, default ../shared/win64-zstd) when its STAMP matches; otherwise the one in
# the cache, $QUORVEX_SDK_CACHE (default /var/cache/quorvex)/win32-zstd-<digest> (win64-zstd-
# for x86_64), building it there first when it is missing (about a minute; sources from Debian's
# mirror, checked against its signed index as scripts/windows/build-sdk.sh checks the SDK's).
# Progress goes to stderr; the last line on stdout is the path.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
arch="${1:-i686}"
case "$arch" in
i686)
    given="${QUORVEX_WIN32_ZSTD:-$root/../shared/win32-zstd}" name=win32-zstd
    triple=i686-w64-mingw32 package=i686 format=pe-i386
    ;;
x86_64)
    given="${QUORVEX_WIN64_ZSTD:-$root/../shared/win64-zstd}" name=win64-zstd
    triple=x86_64-w64-mingw32 package=x86-64 format=pe-x86-64
    ;;
*) echo "Unknown architecture $arch: i686 or x86_64" >&2 && exit 1 ;;
esac
# The source package in use: the newest version of bookworm's zstd whose files the mirror serves
# (bookworm-security's 1.5.4+dfsg2-5+deb12u1, a fix in streaming decompression, is in its index
# but its files are not on the mirror: take it once they are). packaging/windows/licenses/zstd.txt
# names the version too.
version=1.5.4+dfsg2-5
digest="$({ cat "$root/scripts/windows/zstd.sh" && echo "$arch"; } | sha256sum | cut -d' ' -f1)"

matches() { # kit
    local stamped stamped_arch
    [ -f "$1/STAMP" ] && read -r stamped stamped_arch <"$1/STAMP" && [ "$stamped" = "$digest" ] &&
        [ "$stamped_arch" = "$arch" ] && [ -f "$1/include/zstd.h" ] && [ -f "$1/lib/libzstd.a" ]
}
if matches "$given"; then
    echo "$given"
    exit 0
fi
cache="${QUORVEX_SDK_CACHE:-/var/cache/quorvex}"
cached="$cache/$name-$digest"
if matches "$cached"; then
    echo "$cached"
    exit 0
fi
if [ -d "$given" ]; then
    echo "The zstd kit at $given is not what this script builds (no STAMP $digest $arch)." >&2
fi

# Fetches the source package's files into $work/downloads: the signed Sources index names each
# file's SHA-256 (as in build-sdk.sh).
fetch() { # package version
    local package="$1" version="$2"
    mkdir -p "$work/downloads"
    (cd "$work/downloads" && apt-get source -q --download-only "$package=$version") || true
    local checked=0
    while read -r sum _ file; do
        [ -f "$work/downloads/$file" ] || continue
        echo "$sum  $work/downloads/$file" | sha256sum -c --quiet - ||
            { echo "$file: digest differs from Debian's index" >&2 && exit 1; }
        checked=$((checked + 1))
    done < <(apt-cache showsrc "$package" | awk -v v="$version" '
        /^Package:/ { keep = 0 } $0 == "Version: " v { keep = 1 }
        /^Checksums-Sha256:/ { in_sums = keep; next } /^[^ ]/ { in_sums = 0 }
        in_sums { print $1, $2, $3 }')
    [ "$checked" -gt 0 ] || { echo "no source of $package $version" >&2 && exit 1; }
}

build() {
    "$root/scripts/setup-deps.sh" "gcc-mingw-w64-$package-posix" "binutils-mingw-w64-$package" \
        make patch xz-utils
    # Debian's source indices, as build-sdk.sh adds them.
    local sources=/etc/apt/sources.list.d/quorvex-deb-src.sources
    if ! grep -qxF "Version: $version" <(apt-cache showsrc libzstd 2>/dev/null); then
        [ -f "$sources" ] || cat >"$sources" <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
        apt-get update -q
    fi

    fetch libzstd "$version"
    # The upstream tarball with Debian's patch series (one upstream fix in lib/, the rest in the
    # command-line program and the tests).
    mkdir "$work/zstd"
    tar -xf "$work"/downloads/libzstd_*.orig.tar.xz -C "$work/zstd" --strip-components=1
    tar -xf "$work"/downloads/libzstd_*.debian.tar.xz -C "$work/zstd"
    grep -v '^#' "$work/zstd/debian/patches/series" | while read -r patch; do
        [ -z "$patch" ] ||
            patch -d "$work/zstd" -p1 --forward --quiet <"$work/zstd/debian/patches/$patch"
    done
    # The library's own Makefile, with the same compiler as the updater; the environment's
    # compiler flags are not the kit's.
    env -u CFLAGS -u CPPFLAGS -u LDFLAGS -u MOREFLAGS make -s -C "$work/zstd/lib" -j"$(nproc)" \
        libzstd.a CC="$triple-gcc-posix" AR="$triple-ar" TARGET_SYSTEM=Windows_NT \
        ZSTD_LEGACY_SUPPORT=0 ZSTD_NO_ASM=1
    local formats
    formats="$("$triple-objdump" -f "$work/zstd/lib/libzstd.a" | sed -n 's/.*file format //p' | sort -u)"
    [ "$formats" = "$format" ] || { echo "libzstd.a is not all $format: $formats" >&2 && exit 1; }

    mkdir -p "$cache"
    stage="$(mktemp -d "$cache/.$name-$digest.XXXXXX")"
    mkdir "$stage/include" "$stage/lib"
    cp "$work"/zstd/lib/{zstd.h,zstd_errors.h,zdict.h} "$stage/include/"
    cp "$work/zstd/lib/libzstd.a" "$stage/lib/"
    cp "$work/zstd/LICENSE" "$stage/LICENSE"
    echo "$digest $arch" >"$stage/STAMP"
    chmod 755 "$stage"
    # A kit that another run put in place meanwhile stays.
    mv -T "$stage" "$cached" 2>/dev/null || matches "$cached" ||
        { echo "The zstd kit could not be put at $cached" >&2 && exit 1; }
}

echo "Building the $arch zstd kit into $cached (zstd $version)" >&2
start=$SECONDS
work="$(mktemp -d /tmp/quorvex-zstd.XXXXXX)"
stage=""
trap 'rm -rf "$work" ${stage:+"$stage"}' EXIT
rm -rf "$cached"
build >&2
echo "The $arch zstd kit took $((SECONDS - start)) s to build" >&2
echo "$cached"
