# The shipped 32-bit Windows program, built on Linux:
#
#   cmake -S . -B build-windows --toolchain cmake/i686-w64-mingw32.cmake
set(uvo_mingw_host i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake")
