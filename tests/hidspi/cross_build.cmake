# Cross-builds Tavrix.dll from hidspi/ alone with mingw-w64 and checks its
# export table. Prints TAVRIX_CROSS_SKIPPED (the test is then skipped) when
# the cross tool chain is not installed.
#   cmake -DSOURCE_DIR=.../hidspi -DBINARY_DIR=... -DTOOLCHAIN=... -DGENERATOR=Ninja
#         -DCHECK_SCRIPT=.../check_exports.cmake -P cross_build.cmake
find_program(MINGW_CXX x86_64-w64-mingw32-g++)
find_program(MINGW_OBJDUMP x86_64-w64-mingw32-objdump)
if(NOT MINGW_CXX OR NOT MINGW_OBJDUMP)
    message("TAVRIX_CROSS_SKIPPED: x86_64-w64-mingw32 tool chain not installed")
    return()
endif()

execute_process(
    COMMAND ${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${BINARY_DIR}" -G "${GENERATOR}"
            "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}" -DCMAKE_BUILD_TYPE=Release
    RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "configuring the Windows build failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build "${BINARY_DIR}" --target Tavrix -j 2 RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "building Tavrix.dll failed")
endif()
execute_process(
    COMMAND ${CMAKE_COMMAND} -DMODE=pe "-DTOOL=${MINGW_OBJDUMP}" "-DLIB=${BINARY_DIR}/Tavrix.dll"
            -P "${CHECK_SCRIPT}"
    RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "Tavrix.dll export check failed")
endif()
