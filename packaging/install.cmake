# Install rules and the package. `cmake --install` lays the program out as a folder
# that can be moved anywhere; `cpack` packs that folder: a ZIP on Windows, a .tar.gz
# elsewhere.
#
# Windows: the executable sits at the top of the folder, and windeployqt puts beside it
# the Qt libraries and plugins it loads and the compiler's runtime. Elsewhere the
# layout follows GNUInstallDirs (bin/, share/doc/) and Qt comes from the system.

set(UVO_BUNDLE_BOSSAC "" CACHE FILEPATH
    "bossac executable to ship beside the program (installed as bossac${CMAKE_EXECUTABLE_SUFFIX}); empty: none")
set(UVO_BUNDLE_BOSSAC_DLLS "" CACHE STRING
    "Libraries that UVO_BUNDLE_BOSSAC needs, installed beside it (a ;-list of files)")
set(UVO_BUNDLE_INSTALL_DRIVERS "" CACHE FILEPATH
    "Driver installer to ship beside the program (installed as install_drivers.exe); empty: none")

foreach(bundled UVO_BUNDLE_BOSSAC UVO_BUNDLE_BOSSAC_DLLS UVO_BUNDLE_INSTALL_DRIVERS)
    foreach(file IN LISTS ${bundled})
        if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
            message(FATAL_ERROR "${bundled}: \"${file}\" is not a file")
        endif()
    endforeach()
endforeach()
if(UVO_BUNDLE_BOSSAC_DLLS AND NOT UVO_BUNDLE_BOSSAC)
    message(FATAL_ERROR "UVO_BUNDLE_BOSSAC_DLLS is set but UVO_BUNDLE_BOSSAC is not")
endif()

if(WIN32)
    set(uvo_bindir .)
    set(uvo_noticedir notices)
else()
    include(GNUInstallDirs)
    set(uvo_bindir ${CMAKE_INSTALL_BINDIR})
    set(uvo_noticedir ${CMAKE_INSTALL_DOCDIR}/notices)
endif()

install(TARGETS UVOFirmwareUploader RUNTIME DESTINATION ${uvo_bindir})
# The program's own licence (MIT): beside the program on Windows, where a .txt opens
# with a double click, with the documentation elsewhere.
if(WIN32)
    install(FILES "${PROJECT_SOURCE_DIR}/LICENSE" DESTINATION ${uvo_bindir} RENAME LICENSE.txt)
else()
    install(FILES "${PROJECT_SOURCE_DIR}/LICENSE" DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

# The program starts both by their bare names, so they keep those names here.
if(UVO_BUNDLE_BOSSAC)
    install(PROGRAMS "${UVO_BUNDLE_BOSSAC}" DESTINATION ${uvo_bindir}
        RENAME bossac${CMAKE_EXECUTABLE_SUFFIX})
    install(FILES ${UVO_BUNDLE_BOSSAC_DLLS} DESTINATION ${uvo_bindir})
    configure_file("${CMAKE_CURRENT_LIST_DIR}/notices/BOSSA.txt.in"
        "${CMAKE_CURRENT_BINARY_DIR}/notices/BOSSA.txt" @ONLY)
    install(FILES "${CMAKE_CURRENT_BINARY_DIR}/notices/BOSSA.txt" DESTINATION ${uvo_noticedir})
endif()
if(UVO_BUNDLE_INSTALL_DRIVERS)
    install(PROGRAMS "${UVO_BUNDLE_INSTALL_DRIVERS}" DESTINATION ${uvo_bindir}
        RENAME install_drivers.exe)
endif()

# Qt's licence and where its source is, for the Qt libraries the program links.
string(REPLACE "." ";" uvo_qt_version_parts "${Qt5Core_VERSION}")
list(GET uvo_qt_version_parts 0 1 uvo_qt_major_minor)
string(REPLACE ";" "." uvo_qt_major_minor "${uvo_qt_major_minor}")
configure_file("${CMAKE_CURRENT_LIST_DIR}/notices/Qt.txt.in"
    "${CMAKE_CURRENT_BINARY_DIR}/notices/Qt.txt" @ONLY)
install(FILES
    "${CMAKE_CURRENT_BINARY_DIR}/notices/Qt.txt"
    "${CMAKE_CURRENT_LIST_DIR}/notices/LGPL-3.0.txt"
    "${CMAKE_CURRENT_LIST_DIR}/notices/GPL-3.0.txt"
    DESTINATION ${uvo_noticedir})
# A MinGW build ships the compiler's runtime DLLs (windeployqt --compiler-runtime):
# libwinpthread-1.dll's licence must travel with it, and the GCC runtime's exception.
if(MINGW)
    install(FILES "${CMAKE_CURRENT_LIST_DIR}/notices/mingw-w64-runtime.txt"
        DESTINATION ${uvo_noticedir})
endif()

if(WIN32)
    # windeployqt lives beside qmake in the Qt kit that the build uses.
    get_target_property(uvo_qmake Qt5::qmake IMPORTED_LOCATION)
    get_filename_component(uvo_qt_bin "${uvo_qmake}" DIRECTORY)
    find_program(UVO_WINDEPLOYQT windeployqt HINTS "${uvo_qt_bin}" NO_DEFAULT_PATH)
    find_program(UVO_WINDEPLOYQT windeployqt)
    if(MSVC)
        # windeployqt would only copy Microsoft's redistributable installer; the runtime
        # DLLs themselves go beside the program instead.
        set(uvo_runtime_option --no-compiler-runtime)
        set(CMAKE_INSTALL_SYSTEM_RUNTIME_DESTINATION ${uvo_bindir})
        include(InstallRequiredSystemLibraries)
    else()
        set(uvo_runtime_option --compiler-runtime)
    endif()
    if(NOT UVO_WINDEPLOYQT AND CMAKE_CROSSCOMPILING AND MINGW)
        # Built on Linux, where Qt has no windeployqt: the same DLLs and plugins are
        # gathered by their imports. The runtime DLLs lie where the compiler finds them.
        execute_process(COMMAND "${uvo_qmake}" -query QT_INSTALL_PLUGINS
            OUTPUT_VARIABLE uvo_qt_plugins OUTPUT_STRIP_TRAILING_WHITESPACE)
        # GCC's exception runtime is DWARF-2 for 32-bit Windows and SEH for 64-bit.
        if(CMAKE_SIZEOF_VOID_P EQUAL 4)
            set(uvo_gcc_runtime libgcc_s_dw2-1.dll)
        else()
            set(uvo_gcc_runtime libgcc_s_seh-1.dll)
        endif()
        set(uvo_runtime_folders)
        foreach(dll ${uvo_gcc_runtime} libstdc++-6.dll libwinpthread-1.dll)
            execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=${dll}
                OUTPUT_VARIABLE uvo_dll OUTPUT_STRIP_TRAILING_WHITESPACE)
            get_filename_component(uvo_dll_folder "${uvo_dll}" DIRECTORY)
            list(APPEND uvo_runtime_folders "${uvo_dll_folder}")
        endforeach()
        install(CODE "
            set(UVO_EXECUTABLE \"${uvo_bindir}/$<TARGET_FILE_NAME:UVOFirmwareUploader>\")
            set(UVO_QT_PLUGINS \"${uvo_qt_plugins}\")
            set(UVO_QT_BIN \"${uvo_qt_bin}\")
            set(UVO_RUNTIME_FOLDERS \"${uvo_runtime_folders}\")
            set(UVO_SYSTEM_DLLS \"${CMAKE_CURRENT_LIST_DIR}/windows-system-dlls.txt\")
            set(UVO_OBJDUMP \"${CMAKE_OBJDUMP}\")
            set(UVO_STRIP \"${CMAKE_STRIP}\")
        ")
        install(SCRIPT "${CMAKE_CURRENT_LIST_DIR}/gather-runtime.cmake")
    else()
        install(CODE "
            set(UVO_WINDEPLOYQT \"${UVO_WINDEPLOYQT}\")
            set(UVO_DEPLOY_OPTIONS --release --no-translations ${uvo_runtime_option})
            set(UVO_EXECUTABLE \"${uvo_bindir}/$<TARGET_FILE_NAME:UVOFirmwareUploader>\")
        ")
        install(SCRIPT "${CMAKE_CURRENT_LIST_DIR}/windeployqt.cmake")
    endif()
endif()

set(CPACK_PACKAGE_NAME UVOFirmwareUploader)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Flashes a firmware image into a SAMD21 board with bossac")
if(WIN32)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(uvo_package_system win32)
    else()
        set(uvo_package_system win64)
    endif()
    set(CPACK_GENERATOR ZIP)
else()
    string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" uvo_package_system)
    set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${uvo_package_system}")
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)
include(CPack)
