# What both Windows toolchain files share (toolchain-i686-w64-mingw32.cmake, the release, and
# toolchain-x86_64-w64-mingw32.cmake): they name the compilers' prefix (_mingw), the SDK's
# environment variable and default folder beside the source tree (_sdk_variable, _sdk_default)
# and Wine's program names and folders (_wine_names, _wine_paths). The SDK's location reaches CMakeLists.txt as
# QUORVEX_WIN32_SDK whatever the architecture ("Win32" as in the Windows API).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)

if(NOT QUORVEX_WIN32_SDK)
    if(DEFINED ENV{${_sdk_variable}})
        set(QUORVEX_WIN32_SDK "$ENV{${_sdk_variable}}")
    else()
        get_filename_component(QUORVEX_WIN32_SDK "${CMAKE_CURRENT_LIST_DIR}/../../shared/${_sdk_default}"
                               ABSOLUTE)
    endif()
endif()
# try_compile projects read this file again and need the same location.
set(ENV{${_sdk_variable}} "${QUORVEX_WIN32_SDK}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUORVEX_WIN32_SDK)

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw} "${QUORVEX_WIN32_SDK}/qt5" "${QUORVEX_WIN32_SDK}/openssl")
# The zstd kit (scripts/windows/zstd.sh; build.sh passes it as QUORVEX_ZSTD_DIR) lies beside the
# SDK, not in it.
if(QUORVEX_ZSTD_DIR)
    list(APPEND CMAKE_FIND_ROOT_PATH "${QUORVEX_ZSTD_DIR}")
endif()
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
find_program(QUORVEX_WINE NAMES ${_wine_names} PATHS ${_wine_paths})
if(QUORVEX_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${QUORVEX_WINE}")
endif()
