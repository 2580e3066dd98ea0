# What the two MinGW-w64 toolchain files share: they set uvo_mingw_host and
# CMAKE_SYSTEM_PROCESSOR, then include this. Builds a Windows program on Linux with
# Debian's MinGW-w64 (posix threads) against the Qt for Windows that
# scripts/windows/toolchain.sh builds into UVO_WINDOWS_CACHE (by default
# ~/.cache/uvo-windows), and lets CTest run the tests through Wine.
set(CMAKE_SYSTEM_NAME Windows)

if(uvo_mingw_host STREQUAL "i686-w64-mingw32")
    set(uvo_windows_arch win32)
    # Wine's 32-bit loader: a 32-bit program needs a kernel that runs 32-bit code.
    set(CMAKE_CROSSCOMPILING_EMULATOR wine)
else()
    set(uvo_windows_arch win64)
    # Wine's 64-bit loader alone: it runs where 32-bit code cannot.
    set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
endif()

if(DEFINED ENV{UVO_WINDOWS_CACHE})
    set(uvo_windows_cache "$ENV{UVO_WINDOWS_CACHE}")
elseif(DEFINED ENV{XDG_CACHE_HOME})
    set(uvo_windows_cache "$ENV{XDG_CACHE_HOME}/uvo-windows")
else()
    set(uvo_windows_cache "$ENV{HOME}/.cache/uvo-windows")
endif()
set(uvo_windows_qt "${uvo_windows_cache}/${uvo_windows_arch}/qt")
if(NOT EXISTS "${uvo_windows_qt}/.qtserialport-done")
    message(FATAL_ERROR "no Qt for ${uvo_windows_arch} in ${uvo_windows_qt}: run scripts/windows/toolchain.sh --arch ${uvo_windows_arch}")
endif()

# The posix-threads compilers: their runtime DLLs have the names the release ships.
set(CMAKE_C_COMPILER ${uvo_mingw_host}-gcc-posix)
set(CMAKE_CXX_COMPILER ${uvo_mingw_host}-g++-posix)
set(CMAKE_RC_COMPILER ${uvo_mingw_host}-windres)

# The same sources give the same bytes wherever they are built: no source, build or
# cache folder in the output, no compiler identification, no link time in the PE
# header, and no symbols. The folders' maps are a list that CMakeLists.txt adds as
# compile options, one argument each, so that a folder's path may hold spaces; a
# flags string would be split at them.
set(UVO_FILE_PREFIX_MAPS
    "-ffile-prefix-map=${CMAKE_SOURCE_DIR}=/uvo"
    "-ffile-prefix-map=${CMAKE_BINARY_DIR}=/uvo-build"
    "-ffile-prefix-map=${uvo_windows_cache}=/uvo-windows-cache")
set(CMAKE_C_FLAGS_INIT "-fno-ident")
set(CMAKE_CXX_FLAGS_INIT "-fno-ident")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--no-insert-timestamp -s")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,--no-insert-timestamp -s")

# Libraries and packages come from the Windows Qt and MinGW's own tree; programs (moc,
# uic, rcc, windres) from this machine.
set(CMAKE_FIND_ROOT_PATH "${uvo_windows_qt}" /usr/${uvo_mingw_host})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
