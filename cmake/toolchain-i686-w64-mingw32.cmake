# Cross-building for 32-bit Windows, the release, with Debian's mingw-w64
# (g++-mingw-w64-i686-posix) against the prebuilt SDK of static Qt, OpenSSL and 7-Zip
# (scripts/windows/build.sh passes its location; the default is ../shared/win32-sdk beside the
# source tree).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(_mingw i686-w64-mingw32)
set(_sdk_variable QUORVEX_WIN32_SDK)
set(_sdk_default win32-sdk)
# Its test programs run under Wine's 32-bit loader.
set(_wine_names wine)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake")
