# Cross-building for 32-bit Windows with Debian's mingw-w64 (g++-mingw-w64-i686-posix) against
# the prebuilt SDK of static Qt, OpenSSL and 7-Zip (scripts/windows/build.sh passes its
# location; the default is ../shared/win32-sdk beside the source tree).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(_mingw i686-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)

if(NOT QUORVEX_WIN32_SDK)
    if(DEFINED ENV{QUORVEX_WIN32_SDK})
        set(QUORVEX_WIN32_SDK "$ENV{QUORVEX_WIN32_SDK}")
    else()
        get_filename_component(QUORVEX_WIN32_SDK "${CMAKE_CURRENT_LIST_DIR}/../../shared/win32-sdk"
                               ABSOLUTE)
    endif()
endif()
# try_compile projects read this file again and need the same location.
set(ENV{QUORVEX_WIN32_SDK} "${QUORVEX_WIN32_SDK}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUORVEX_WIN32_SDK)

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw} "${QUORVEX_WIN32_SDK}/qt5" "${QUORVEX_WIN32_SDK}/openssl")
set(CMAKE_PREFIX_PATH "${QUORVEX_WIN32_SDK}/qt5")
set(OPENSSL_ROOT_DIR "${QUORVEX_WIN32_SDK}/openssl")
set(OPENSSL_USE_STATIC_LIBS TRUE)
# Host programs (moc, uic, rcc in the SDK's qt5/bin) run on the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One executable: the C and C++ runtimes and winpthread are linked in, not shipped as DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_EXE_LINKER_FLAGS_MINSIZEREL_INIT "-s")

# Test programs run under Wine when it is installed (ctest uses this for every add_test).
find_program(QUORVEX_WINE NAMES wine)
if(QUORVEX_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${QUORVEX_WINE}")
endif()
