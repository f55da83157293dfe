#!/usr/bin/env bash
# Rebuilds the Windows SDK that scripts/windows/build.sh builds against, for 32-bit (i686, the
# release) or 64-bit (x86_64, the test vehicle where Wine runs 64-bit programs only) Windows,
# from Debian 12's own source packages, on a Debian 12 machine that has only Debian's package
# mirror:
#   qt5/      Qt 5.15.8 qtbase, static, static C/C++ runtime, with Debian's upstream fixes and
#             TLS (OpenSSL linked in; root certificates from the Windows certificate store)
#   STAMP     the recipe's digest and the architecture (scripts/windows/sdk-digest.sh):
#             scripts/test.sh takes an SDK only when they match
#   openssl/  OpenSSL 3.0 libcrypto and libssl, static, with thread support
#   7zip/     the 7-Zip console program for Windows (7z.exe), all formats but RAR
# About 17 minutes on 2 idle cores (Intel Xeon), 80 minutes on 2 cores shared with other
# builds; nearly all of it Qt.
#   scripts/windows/build-sdk.sh [OUTPUT [ARCH]]      ARCH: i686 (default) or x86_64
# OUTPUT defaults to $QUORVEX_WIN32_SDK, else ../shared/win32-sdk beside the source tree (for
# x86_64: $QUORVEX_WIN64_SDK, else ../shared/win64-sdk); it must not exist yet (an SDK is never
# overwritten). QUORVEX_SDK_WORK names the directory for
# sources and objects (default: a new temporary directory, removed on success).
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="${1:-${QUORVEX_WIN32_SDK:-$root/../shared/win32-sdk}}"
# >>> The architecture. This block only names the target: the rest of the recipe refers to it
# through the arch_ values alone, and scripts/windows/sdk-digest.sh hashes the recipe with those
# values written in, without this block, so that each architecture's digest covers exactly the
# commands that build its SDK.
export QUORVEX_SDK_ARCH="${2:-i686}"
case "$QUORVEX_SDK_ARCH" in
i686)
    arch_triple=i686-w64-mingw32 arch_package=i686 arch_openssl=mingw
    arch_7zip="MY_ARCH=-m32 IS_X86=1"
    ;;
x86_64)
    arch_triple=x86_64-w64-mingw32 arch_package=x86-64 arch_openssl=mingw64
    arch_7zip="MY_ARCH=-m64 IS_X64=1"
    [ -n "${1:-}" ] || out="${QUORVEX_WIN64_SDK:-$root/../shared/win64-sdk}"
    ;;
*)
    echo "Unknown architecture $QUORVEX_SDK_ARCH: i686 or x86_64" >&2
    exit 1
    ;;
esac
# <<< The architecture.
if [ -e "$out" ]; then
    echo "$out exists; give another output directory, or remove it first" >&2
    exit 1
fi
mkdir -p "$(dirname "$out")"
out="$(cd "$(dirname "$out")" && pwd)/$(basename "$out")"
jobs="$(nproc)"

# The exact source versions of the SDK in use; apt-get picks them from bookworm and
# bookworm-security.
qt_version=5.15.8+dfsg-11+deb12u3
openssl_version=3.0.22-1~deb12u2
sevenzip_version=22.01+really26.02+dfsg-0+deb12u1

# --- Tools, and Debian's source indices.
"$root/scripts/setup-deps.sh" g++-mingw-w64-${arch_package}-posix binutils-mingw-w64-${arch_package} build-essential \
    perl python3 patch make xz-utils
sources=/etc/apt/sources.list.d/quorvex-deb-src.sources
if ! apt-cache showsrc qtbase-opensource-src 2>/dev/null | grep -q "^Version: $qt_version$"; then
    cat >"$sources" <<'EOF'
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

work="${QUORVEX_SDK_WORK:-}"
if [ -z "$work" ]; then
    work="$(mktemp -d /tmp/quorvex-sdk.XXXXXX)"
    remove_work=1
fi
mkdir -p "$work"
work="$(cd "$work" && pwd)"
stage="$work/stage"
rm -rf "$stage"
mkdir -p "$stage"

# The posix-thread variant of the cross compilers, whatever Debian's alternatives point at.
mkdir -p "$work/bin"
for tool in gcc g++ c++ cpp; do
    ln -sf "$(command -v "${arch_triple}-$tool-posix")" "$work/bin/${arch_triple}-$tool"
done
export PATH="$work/bin:$PATH"

# Fetches one source package's files into downloads/. The signed Sources index names each
# file's SHA-256; a file whose .dsc the mirror lacks is still taken when its digest matches.
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

# --- 7-Zip: the standalone console program (7zz), renamed 7z.exe.
fetch 7zip "$sevenzip_version"
rm -rf "$work/7zip"
mkdir "$work/7zip"
tar -xf "$work"/downloads/7zip_*.orig.tar.xz -C "$work/7zip" --strip-components=1
(cd "$work/7zip/CPP/7zip/Bundles/Alone2" &&
    make -j"$jobs" -f makefile.gcc IS_MINGW=1 MSYSTEM=1 CC=${arch_triple}-gcc \
        CXX=${arch_triple}-g++ RC=${arch_triple}-windres ${arch_7zip} \
        DISABLE_RAR=1 O=b/mingw32)
mkdir -p "$stage/7zip"
cp "$work/7zip/CPP/7zip/Bundles/Alone2/b/mingw32/7zz.exe" "$stage/7zip/7z.exe"

# --- OpenSSL: the upstream source as Debian ships it, static libraries and headers.
fetch openssl "$openssl_version"
rm -rf "$work/openssl"
mkdir "$work/openssl"
tar -xf "$work"/downloads/openssl_*.orig.tar.gz -C "$work/openssl" --strip-components=1
# The prefixes are those of the SDK in use (they are compiled in as defaults that the updater
# never reads); the files are installed into the SDK's folders. no-shared alone gives static
# libraries: Configure's -static would also switch threads off, and the hashing threads and Qt's
# TLS need the locks.
rm -rf "$work/install"
(cd "$work/openssl" &&
    ./Configure ${arch_openssl} --cross-compile-prefix=${arch_triple}- --prefix=/opt/openssl-win32 \
        --libdir=lib no-shared no-tests no-module no-legacy &&
    make -j"$jobs" build_libs && make install_dev DESTDIR="$work/install")
mkdir -p "$stage/openssl"
mv "$work/install/opt/openssl-win32/include" "$work/install/opt/openssl-win32/lib" "$stage/openssl/"
rm -rf "$stage/openssl/lib/pkgconfig"

# --- Qt: the orig tarball with the upstream fixes of Debian's patch series (every patch above
# its "Debian specific" line, security fixes included), built out of tree.
fetch qtbase-opensource-src "$qt_version"
rm -rf "$work/qtbase" "$work/qtbase-build"
mkdir "$work/qtbase" "$work/qtbase-build"
tar -xf "$work"/downloads/qtbase-opensource-src_*.orig.tar.xz -C "$work/qtbase" --strip-components=1
tar -xf "$work"/downloads/qtbase-opensource-src_*.debian.tar.xz -C "$work/qtbase"
sed -n '/^# Debian specific/q;/^[^#]/p' "$work/qtbase/debian/patches/series" |
    while read -r patch; do
        patch -d "$work/qtbase" -p1 --forward --quiet <"$work/qtbase/debian/patches/$patch"
    done
# The source package has no wintab.h, hence no tablet events.
(cd "$work/qtbase-build" &&
    "$work/qtbase/configure" -xplatform win32-g++ \
        -device-option CROSS_COMPILE=${arch_triple}- -prefix /opt/qt5-win32 -silent \
        -static -static-runtime -release -optimize-size -opensource -confirm-license \
        -nomake examples -nomake tests -no-opengl -no-dbus -no-icu \
        -openssl-linked OPENSSL_INCDIR="$stage/openssl/include" OPENSSL_LIBDIR="$stage/openssl/lib" \
        OPENSSL_LIBS="-lssl -lcrypto -lws2_32 -lgdi32 -lcrypt32 -luser32 -ladvapi32" \
        -no-sql-sqlite -no-sql-odbc -no-sql-psql -no-sql-mysql \
        -qt-zlib -qt-pcre -qt-libpng -no-libjpeg -qt-freetype -qt-harfbuzz \
        -no-feature-vulkan -no-direct2d -no-feature-tabletevent &&
    make -j"$jobs" && make install INSTALL_ROOT="$work/install")
mv "$work/install/opt/qt5-win32" "$stage/qt5"
strip "$stage/qt5/bin/qmake"
# qmake and Qt's CMake packages find everything relative to where the SDK lies.
printf '[Paths]\nPrefix=..\n' >"$stage/qt5/bin/qt.conf"

grep -q '^#define QT_FEATURE_ssl 1' "$stage/qt5/include/QtNetwork/qtnetwork-config.h" ||
    { echo "Qt was configured without TLS" >&2 && exit 1; }
grep -q '^# *define OPENSSL_THREADS' "$stage/openssl/include/openssl/configuration.h" ||
    { echo "OpenSSL was configured without threads" >&2 && exit 1; }
"$root/scripts/windows/sdk-digest.sh" >"$stage/STAMP"
mv "$stage" "$out"
[ -z "${remove_work:-}" ] || rm -rf "$work"
echo "$out"
