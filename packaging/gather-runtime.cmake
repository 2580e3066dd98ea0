# Install step for a Windows build made on Linux, where there is no windeployqt: puts
# beside the installed executable what windeployqt would, the Qt plugins the program
# loads (platform, style, image formats), every DLL that the executable and those
# plugins import from Qt or the compiler's runtime (followed through their own
# imports), found with objdump. DLLs found nowhere there are Windows' own and stay out.
# UVO_EXECUTABLE (relative to the installation prefix), UVO_QT_PLUGINS (Qt's plugin
# folder), UVO_DLL_FOLDERS and UVO_OBJDUMP are set by the install rules.

set(folder "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
get_filename_component(bindir "${folder}/${UVO_EXECUTABLE}" DIRECTORY)

set(plugins)
foreach(plugin platforms/qwindows styles/qwindowsvistastyle imageformats/qgif
        imageformats/qico imageformats/qjpeg)
    set(source "${UVO_QT_PLUGINS}/${plugin}.dll")
    if(NOT EXISTS "${source}")
        message(FATAL_ERROR "Qt plugin ${source} is missing")
    endif()
    get_filename_component(subfolder "${plugin}" DIRECTORY)
    file(INSTALL "${source}" DESTINATION "${bindir}/${subfolder}")
    list(APPEND plugins "${bindir}/${plugin}.dll")
endforeach()

set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND "${UVO_OBJDUMP}")
file(GET_RUNTIME_DEPENDENCIES
    EXECUTABLES "${folder}/${UVO_EXECUTABLE}"
    LIBRARIES ${plugins}
    DIRECTORIES ${UVO_DLL_FOLDERS}
    PRE_EXCLUDE_REGEXES "^api-ms-" "^ext-ms-"
    RESOLVED_DEPENDENCIES_VAR found
    UNRESOLVED_DEPENDENCIES_VAR windows_own)
foreach(dll IN LISTS found)
    message(STATUS "beside the program: ${dll}")
    file(INSTALL "${dll}" DESTINATION "${bindir}")
endforeach()
list(JOIN windows_own ", " windows_own)
message(STATUS "left to Windows: ${windows_own}")
