# Install step for a Windows build made on Linux, where there is no windeployqt: puts
# beside the installed executable what windeployqt would, the Qt plugins the program
# loads (platform, style, image formats), every DLL that the executable and those
# plugins import from Qt or the compiler's runtime (followed through their own
# imports), listed by objdump. A DLL found in neither must be one of Windows' own
# (UVO_SYSTEM_DLLS); any other stops the install. The compiler's runtime DLLs come
# with their debug information and are stripped here.
# UVO_EXECUTABLE (relative to the installation prefix), UVO_QT_PLUGINS (Qt's plugin
# folder), UVO_QT_BIN, UVO_RUNTIME_FOLDERS, UVO_SYSTEM_DLLS, UVO_OBJDUMP and UVO_STRIP
# are set by the install rules. The strip keeps the PE header's time at
# SOURCE_DATE_EPOCH where that is set.

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
foreach(dir IN LISTS UVO_QT_BIN UVO_RUNTIME_FOLDERS)
    file(GLOB candidates "${dir}/*.dll")
    foreach(candidate IN LISTS candidates)
        get_filename_component(name "${candidate}" NAME)
        string(TOLOWER "${name}" key)
        if(NOT DEFINED "dll_${key}")
            set("dll_${key}" "${candidate}")
            if(NOT dir STREQUAL UVO_QT_BIN)
                set("runtime_${key}" yes)
            endif()
        endif()
    endforeach()
endforeach()
file(STRINGS "${UVO_SYSTEM_DLLS}" system_dlls REGEX "^[^#]")

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
            get_filename_component(installed_name "${dll_${key}}" NAME)
            if(runtime_${key})
                execute_process(COMMAND "${UVO_STRIP}" --strip-all
                    -o "${bindir}/${installed_name}" "${dll_${key}}" RESULT_VARIABLE result)
                if(NOT result EQUAL 0)
                    message(FATAL_ERROR "${UVO_STRIP} ${dll_${key}} failed (${result})")
                endif()
            else()
                file(INSTALL "${dll_${key}}" DESTINATION "${bindir}")
            endif()
            list(APPEND queue "${dll_${key}}")
        else()
            list(FIND system_dlls "${key}" index)
        endif()
        if(DEFINED "dll_${key}")
        elseif(index GREATER -1)
            list(APPEND windows_own "${name}")
        else()
            message(FATAL_ERROR "${file} imports ${name}, which is neither in Qt, nor in the "
                "compiler's runtime, nor one of Windows' own DLLs (${UVO_SYSTEM_DLLS})")
        endif()
    endforeach()
endwhile()
list(JOIN windows_own ", " windows_own)
message(STATUS "left to Windows: ${windows_own}")
