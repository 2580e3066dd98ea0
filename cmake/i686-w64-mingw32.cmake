# Builds the 32-bit Windows program, its stand-in and the Windows tests on Linux with
# Debian's MinGW-w64 (posix threads) against the Qt for Windows that
# scripts/windows-toolchain.sh builds, and lets CTest run the tests through Wine:
#
#   cmake -S . -B build-windows --toolchain cmake/i686-w64-mingw32.cmake
#
# The cache is UVO_WINDOWS_CACHE, by default ~/.cache/uvo-windows, as for the script.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

if(DEFINED ENV{UVO_WINDOWS_CACHE})
    set(uvo_windows_cache "$ENV{UVO_WINDOWS_CACHE}")
elseif(DEFINED ENV{XDG_CACHE_HOME})
    set(uvo_windows_cache "$ENV{XDG_CACHE_HOME}/uvo-windows")
else()
    set(uvo_windows_cache "$ENV{HOME}/.cache/uvo-windows")
endif()
if(NOT EXISTS "${uvo_windows_cache}/qt/.qtserialport-done")
    message(FATAL_ERROR "no Qt for Windows in ${uvo_windows_cache}/qt: run scripts/windows-toolchain.sh")
endif()

# The posix-threads compilers: their runtime DLLs have the names the release ships.
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

# Libraries and packages come from the Windows Qt and MinGW's own tree; programs (moc,
# uic, rcc, windres) from this machine.
set(CMAKE_FIND_ROOT_PATH "${uvo_windows_cache}/qt" /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
