# The same program for 64-bit Windows, built on Linux, for Wine on a machine that runs
# no 32-bit code (the release stays 32-bit):
#
#   cmake -S . -B build-windows-win64 --toolchain cmake/x86_64-w64-mingw32.cmake
set(uvo_mingw_host x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake")
