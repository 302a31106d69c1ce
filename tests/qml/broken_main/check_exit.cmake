# Runs the program and checks its exit code (-1, seen as 255) and that the
# first line it writes on standard output is the start line.
execute_process(COMMAND ${PROGRAM}
    RESULT_VARIABLE result
    OUTPUT_VARIABLE out
    ERROR_VARIABLE err
    TIMEOUT 30)
if(NOT result STREQUAL "255")
    message(FATAL_ERROR "exit code ${result}, expected 255 (-1)\nstdout:\n${out}\nstderr:\n${err}")
endif()
string(FIND "${out}" "=== Application Started ===\n" pos)
if(NOT pos EQUAL 0)
    message(FATAL_ERROR "stdout does not start with the start line:\n${out}")
endif()
string(FIND "${out}" "NoSuchElement" errpos)
if(errpos LESS 0)
    message(FATAL_ERROR "the load error was not logged through the handler:\n${out}\nstderr:\n${err}")
endif()
