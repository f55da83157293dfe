# Cross-building for 64-bit Windows, the test vehicle where Wine runs 64-bit programs only, with
# Debian's mingw-w64 (g++-mingw-w64-x86-64-posix) against the SDK that the same recipe builds
# for x86_64 (scripts/windows/build.sh passes its location; the default is ../shared/win64-sdk
# beside the source tree).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(_mingw x86_64-w64-mingw32)
set(_sdk_variable QUORVEX_WIN64_SDK)
set(_sdk_default win64-sdk)
# Its test programs run under 64-bit Wine's loader, which needs no 32-bit support from the
# kernel; Debian's "wine" command would pick the 32-bit one whenever wine32 is installed.
set(_wine_names wine64)
set(_wine_paths /usr/lib/wine)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake")
