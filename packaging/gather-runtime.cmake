# Install step for a Windows build made on Linux, where there is no windeployqt: puts
# beside the installed executable what windeployqt would, the Qt plugins the program
# loads (platform, style, image formats), every DLL that the executable and those
# plugins import from Qt or the compiler's runtime (followed through their own
# imports), listed by objdump. DLLs found nowhere there are Windows' own and stay out.
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

# Windows matches DLL names without regard to case; this file system does not.
foreach(dir IN LISTS UVO_DLL_FOLDERS)
    file(GLOB candidates "${dir}/*.dll")
    foreach(candidate IN LISTS candidates)
        get_filename_component(name "${candidate}" NAME)
        string(TOLOWER "${name}" key)
        if(NOT DEFINED "dll_${key}")
            set("dll_${key}" "${candidate}")
        endif()
    endforeach()
endforeach()

set(queue "${folder}/${UVO_EXECUTABLE}" ${plugins})
set(seen)
set(windows_own)
while(queue)
    list(POP_FRONT queue file)
    execute_process(COMMAND "${UVO_OBJDUMP}" -p "${file}"
        OUTPUT_VARIABLE dump RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${UVO_OBJDUMP} -p ${file} failed (${result})")
    endif()
    string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
    foreach(import IN LISTS imports)
        string(REPLACE "DLL Name: " "" name "${import}")
        string(STRIP "${name}" name)
        string(TOLOWER "${name}" key)
        list(FIND seen "${key}" index)
        if(index GREATER -1)
            continue()
        endif()
        list(APPEND seen "${key}")
        if(DEFINED "dll_${key}")
            message(STATUS "beside the program: ${dll_${key}}")
            file(INSTALL "${dll_${key}}" DESTINATION "${bindir}")
            list(APPEND queue "${dll_${key}}")
        else()
            list(APPEND windows_own "${name}")
        endif()
    endforeach()
endwhile()
list(JOIN windows_own ", " windows_own)
message(STATUS "left to Windows: ${windows_own}")
