# Install step on Windows: runs windeployqt on the installed executable, so the
# installed folder holds the Qt libraries and plugins that the program loads and the
# compiler's runtime. UVO_WINDEPLOYQT, UVO_DEPLOY_OPTIONS and UVO_EXECUTABLE (relative
# to the installation prefix) are set by the install rules before this script runs.

if(NOT UVO_WINDEPLOYQT)
    message(FATAL_ERROR "windeployqt was not found beside qmake nor on PATH: "
        "configure with -DUVO_WINDEPLOYQT=<path to windeployqt.exe>")
endif()

set(executable "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${UVO_EXECUTABLE}")
list(JOIN UVO_DEPLOY_OPTIONS " " options)
message(STATUS "windeployqt ${options} ${executable}")
execute_process(
    COMMAND "${UVO_WINDEPLOYQT}" ${UVO_DEPLOY_OPTIONS} "${executable}"
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "windeployqt failed (${result})")
endif()
