#!/usr/bin/env bash
# Cross-builds the updater, the publishing tool and the test suite for 32-bit Windows against
# the prebuilt SDK (static Qt, OpenSSL, 7-Zip), checks the executable and packs the release
# bundle: qv_updater.exe, 7Z/7z.exe, the licence notices and what relinking with another Qt
# needs. Installs what is missing on Debian 12 (mingw-w64, and Wine for running the tests).
#   scripts/windows/build.sh [--arch ARCH] [CMake arguments...]   e.g. -DQUORVEX_SERVER_URL=https://...
# ARCH: i686 (default), the release; or x86_64, the same programs for 64-bit Windows, built to
# run the tests where Wine runs 64-bit programs only: checked like the release, never packed.
# QUORVEX_WIN32_SDK (for x86_64 QUORVEX_WIN64_SDK): the SDK (default: what
# scripts/windows/sdk.sh finds or builds, an SDK with TLS made by today's recipe);
# QUORVEX_WIN32_BUILD_DIR: the build directory (default build-win32/, for x86_64 build-win64/).
# zstd comes from the kit that scripts/windows/zstd.sh finds or builds ($QUORVEX_WIN32_ZSTD,
# $QUORVEX_WIN64_ZSTD).
# The last line printed is the bundle's path (for x86_64 the executable's).
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
arch=i686
case "${1:-}" in
--arch) arch="${2:?--arch takes i686 or x86_64}" && shift 2 ;;
--arch=*) arch="${1#--arch=}" && shift ;;
esac
case "$arch" in
i686) sdk="${QUORVEX_WIN32_SDK:-}" sdk_variable=QUORVEX_WIN32_SDK format=pei-i386 bits=32 ;;
x86_64) sdk="${QUORVEX_WIN64_SDK:-}" sdk_variable=QUORVEX_WIN64_SDK format=pei-x86-64 bits=64 ;;
*) echo "Unknown architecture $arch: i686 or x86_64" >&2 && exit 1 ;;
esac
mingw="$arch-w64-mingw32"
[ -n "$sdk" ] || sdk="$("$root/scripts/windows/sdk.sh" "$arch" | tail -n 1)"
if [ ! -f "$sdk/7zip/7z.exe" ] || [ ! -d "$sdk/qt5/lib/cmake/Qt5" ] || [ ! -d "$sdk/openssl/lib" ]; then
    echo "No $arch Windows SDK at $sdk (set $sdk_variable; scripts/windows/build-sdk.sh makes one)" >&2
    exit 1
fi
sdk="$(cd "$sdk" && pwd)"
# The updater must reach https servers: an SDK whose Qt lacks TLS makes a broken release.
grep -q '^#define QT_FEATURE_ssl 1' "$sdk/qt5/include/QtNetwork/qtnetwork-config.h" || {
    echo "The Windows SDK at $sdk has no TLS (QT_FEATURE_ssl); scripts/windows/sdk.sh finds or builds one" >&2
    exit 1
}
zstd="$("$root/scripts/windows/zstd.sh" "$arch" | tail -n 1)"
zstd="$(cd "$zstd" && pwd)"
build="${QUORVEX_WIN32_BUILD_DIR:-$root/build-win$bits}"

# --- What the build and the tests need (Wine, and the locale data for a Russian Windows).
if [ "$arch" = i686 ]; then
    "$root/scripts/setup-deps.sh" g++-mingw-w64-i686-posix cmake make 7zip wine wine32:i386 \
        fonts-wine locales
else
    "$root/scripts/setup-deps.sh" g++-mingw-w64-x86-64-posix cmake make 7zip wine wine64 \
        fonts-wine locales
fi

# --- The build. The zstd kit's path changes with its recipe: CMake looks for zstd again.
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$mingw.cmake" \
    -DQUORVEX_WIN32_SDK="$sdk" -DQUORVEX_7ZIP="$sdk/7zip/7z.exe" -DQUORVEX_ZSTD_DIR="$zstd" \
    -UQUORVEX_ZSTD_INCLUDE -UQUORVEX_ZSTD_LIBRARY -DCMAKE_BUILD_TYPE=Release "$@"
cmake --build "$build" -j"$(nproc)"

# --- The executable: one GUI-subsystem file that imports Windows system DLLs only, with its
# manifest, icon and version resources.
exe="$build/qv_updater.exe"
headers="$("$mingw-objdump" -p "$exe")"
fail() {
    echo "qv_updater.exe: $*" >&2
    exit 1
}
grep -q "file format $format\$" <<<"$headers" || fail "not a $bits-bit program ($format)"
grep -q "^Subsystem.*(Windows GUI)" <<<"$headers" || fail "not a GUI-subsystem program"
system_dlls="advapi32 comdlg32 crypt32 dwmapi gdi32 imm32 iphlpapi kernel32 msvcrt mpr netapi32
    ole32 oleaut32 shell32 shlwapi user32 userenv uxtheme version winmm winspool.drv ws2_32
    wtsapi32 dnsapi d3d11 dxgi"
while read -r dll; do
    name="$(tr '[:upper:]' '[:lower:]' <<<"$dll")"
    grep -qw -- "${name%.dll}" <<<"$system_dlls" || fail "imports $dll, not a Windows system DLL"
done < <(sed -n 's/^\tDLL Name: //p' <<<"$headers")
resources="$(sed -n '/The .rsrc Resource Directory section/,$p' <<<"$headers")"
for type in 03 0e 10 18; do # icon, icon group, version, manifest
    grep -q "Entry: ID: 0x0000$type," <<<"$resources" || fail "resource type 0x$type missing"
done
grep -aq 'level="asInvoker"' "$exe" && grep -aq 'Microsoft.Windows.Common-Controls' "$exe" ||
    fail "the manifest does not ask for asInvoker and common controls 6"
if [ "$arch" != i686 ]; then
    echo "qv_updater.exe ($arch, not a release): $(stat -c %s "$exe") bytes"
    echo "$exe"
    exit 0
fi

# --- The bundle.
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
name="qv_updater-$version-win32"
stage="$build/bundle/$name"
rm -rf "$build/bundle" "$build/$name.zip"
mkdir -p "$stage/7Z" "$stage/licenses" "$stage/relink/objects"
cp "$exe" "$stage/qv_updater.exe"
cp "$sdk/7zip/7z.exe" "$stage/7Z/7z.exe"
cp "$root/packaging/windows/NOTICE.txt" "$stage/"
cp "$root"/packaging/windows/licenses/* "$stage/licenses/"
for text in GPL-3 LGPL-3 LGPL-2.1 Apache-2.0; do
    cp "/usr/share/common-licenses/$text" "$stage/licenses/$text.txt"
done
# zstd's BSD licence, from the source its kit was built from.
cp "$zstd/LICENSE" "$stage/licenses/zstd-LICENSE.txt"
# The compiler's runtime (libstdc++, libgcc, winpthreads, the mingw-w64 start-up code) is
# linked in.
cp /usr/share/doc/mingw-w64-i686-dev/copyright "$stage/licenses/mingw-w64-copyright.txt"
cp /usr/share/doc/gcc-mingw-w64-base/copyright "$stage/licenses/gcc-runtime-copyright.txt"
# Debian's record of 7-Zip's sources, their authors and licences: the 7-Zip package installed
# above is the version the SDK's 7z.exe was built from.
cp /usr/share/doc/7zip/copyright "$stage/licenses/7-Zip-copyright.txt"

# Relinking with another Qt (licenses/Qt.txt): the updater's own objects and its link command,
# the SDK's paths replaced by $QT and $OPENSSL; zstd, which the LGPL does not concern, goes along
# as a library.
(cd "$build" && xargs -n1 <CMakeFiles/qv_updater.dir/objects1 | while read -r o; do
    cp "$o" "$stage/relink/objects/"
done)
for lib in qv_window qv_rules qv_transfer; do cp "$build/lib$lib.a" "$stage/relink/objects/"; done
cp "$zstd/lib/libzstd.a" "$stage/relink/objects/"
libs="$(tr ' ' '\n' <"$build/CMakeFiles/qv_updater.dir/linkLibs.rsp" | sed -e '/^$/d' \
    -e 's/"//g' -e '/^libqv_\(window\|rules\|transfer\).a$/d' -e "s#^$sdk/qt5/\(.*\)#\"\$QT/\1\"#" \
    -e "s#^$sdk/openssl/\(.*\)#\"\$OPENSSL/\1\"#" -e "s#^$zstd/lib/libzstd\.a\$#objects/libzstd.a#" \
    -e 's#^/usr/i686-w64-mingw32/lib/lib\(.*\)\.a$#-l\1#' | tr '\n' ' ')"
{
    echo '#!/bin/sh'
    echo '# Links qv_updater.exe again from the objects beside this script, with another static'
    echo '# Qt 5.15 and OpenSSL libcrypto built for i686-w64-mingw32 (Debian: g++-mingw-w64-i686-posix).'
    echo '#   QT=<Qt prefix> OPENSSL=<OpenSSL prefix> ./relink.sh'
    echo 'set -eu'
    echo ': "${QT:?QT must name the prefix of a static Qt 5.15 built for i686-w64-mingw32}"'
    echo ': "${OPENSSL:?OPENSSL must name the prefix of a static OpenSSL built for i686-w64-mingw32}"'
    echo 'cd "$(dirname "$0")"'
    echo 'i686-w64-mingw32-g++-posix -static -s -mwindows objects/*.obj objects/*.res objects/libqv_window.a objects/libqv_rules.a objects/libqv_transfer.a \'
    echo "    $libs-o qv_updater.exe"
} >"$stage/relink/relink.sh"
chmod +x "$stage/relink/relink.sh"
! grep -q -e "$sdk" -e "$build" -e "$zstd" "$stage/relink/relink.sh" ||
    fail "the relink command names build paths"
# The kit works: relinked with the SDK's own Qt it gives a program of about the same size.
(cd "$stage/relink" && QT="$sdk/qt5" OPENSSL="$sdk/openssl" ./relink.sh)
difference=$(($(stat -c %s "$stage/relink/qv_updater.exe") - $(stat -c %s "$exe")))
[ "${difference#-}" -lt $(($(stat -c %s "$exe") / 100)) ] || fail "relinking gives another program"
rm "$stage/relink/qv_updater.exe"

(cd "$build/bundle" && 7zz a -tzip -mx=9 "$build/$name.zip" "$name" >/dev/null)
echo "qv_updater.exe: $(stat -c %s "$exe") bytes, importing $(sed -n 's/^\tDLL Name: //p' <<<"$headers" | tr '\n' ' ')"
echo "$build/$name.zip"
