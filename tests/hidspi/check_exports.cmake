# Checks that a built Tavrix exports exactly its thirteen functions.
#   cmake -DMODE=elf -DTOOL=nm -DLIB=libTavrix.so -P check_exports.cmake
#   cmake -DMODE=pe -DTOOL=x86_64-w64-mingw32-objdump -DLIB=Tavrix.dll -P check_exports.cmake
set(expected
    UsbSpiDataWrite UserDelay UserGetGpioData UserGetGpioData_u32 UserGetGpioDir UserSetGpioData
    UserSetGpioData_u32 UserSetGpioDir UserSpiDataExchange UserSys_Close UserSys_Init XF_GetDevType
    XF_SetDevType)

if(NOT EXISTS "${LIB}")
    message(FATAL_ERROR "library not found: ${LIB}")
endif()

if(MODE STREQUAL "elf")
    execute_process(COMMAND ${TOOL} -D --defined-only "${LIB}"
                    OUTPUT_VARIABLE out RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${TOOL} failed on ${LIB}")
    endif()
    string(REGEX MATCHALL "[0-9a-fA-F]+ [A-Za-z] [^\n]+" entries "${out}")
    set(found)
    foreach(entry IN LISTS entries)
        string(REGEX REPLACE "^[0-9a-fA-F]+ [A-Za-z] " "" name "${entry}")
        list(APPEND found "${name}")
    endforeach()
elseif(MODE STREQUAL "pe")
    execute_process(COMMAND ${TOOL} -p "${LIB}" OUTPUT_VARIABLE out RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${TOOL} failed on ${LIB}")
    endif()
    # The names follow the "[Ordinal/Name Pointer] Table" heading, one per
    # line as "[  n] Name", up to the next blank line.
    string(FIND "${out}" "[Ordinal/Name Pointer] Table" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "no export name table in ${LIB}")
    endif()
    string(SUBSTRING "${out}" ${at} -1 table)
    string(FIND "${table}" "\n\n" end)
    if(NOT end EQUAL -1)
        string(SUBSTRING "${table}" 0 ${end} table)
    endif()
    string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" entries "${table}")
    set(found)
    foreach(entry IN LISTS entries)
        string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${entry}")
        string(STRIP "${name}" name)
        list(APPEND found "${name}")
    endforeach()
else()
    message(FATAL_ERROR "MODE must be elf or pe")
endif()

list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
    string(REPLACE ";" " " found_text "${found}")
    string(REPLACE ";" " " expected_text "${expected}")
    message(FATAL_ERROR "exports of ${LIB}:\n  found:    ${found_text}\n  expected: ${expected_text}")
endif()
list(LENGTH found count)
message(STATUS "${LIB}: exactly the ${count} exports")
