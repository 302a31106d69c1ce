# Writes the manual page of ostrelo-cli from the program's own --help texts,
# so the page never drifts from the program.
#   cmake -DCLI=path/to/ostrelo-cli -DOUT=ostrelo-cli.1.gz -DVERSION=x.y.z -P make_manpage.cmake
set(commands channels scan match upgrade crc start history)

function(roff_block text out)
    string(REPLACE "\\" "\\e" text "${text}")
    # A line that starts with a dot or an apostrophe would be read as a request.
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
    set(${out} ".nf\n${text}\n.fi\n" PARENT_SCOPE)
endfunction()

function(help_of out)
    execute_process(COMMAND ${CLI} ${ARGN} --help OUTPUT_VARIABLE text RESULT_VARIABLE rc
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT rc EQUAL 0 OR text STREQUAL "")
        message(FATAL_ERROR "ostrelo-cli ${ARGN} --help gave no help (exit ${rc})")
    endif()
    roff_block("${text}" block)
    set(${out} "${block}" PARENT_SCOPE)
endfunction()

help_of(main)
set(page ".TH OSTRELO-CLI 1 \"\" \"ostrelo ${VERSION}\" \"User Commands\"
.SH NAME
ostrelo-cli \\- find CANopen motors on CAN adapters and upgrade their firmware
.SH SYNOPSIS
.B ostrelo-cli
.I command
.RI [ options ]
.SH DESCRIPTION
${main}.SH COMMANDS
")
foreach(cmd IN LISTS commands)
    help_of(text ${cmd})
    string(APPEND page ".SS ${cmd}\n${text}")
endforeach()
# Matching, versions, the report, exit status, signals, log and environment.
file(READ ${CMAKE_CURRENT_LIST_DIR}/ostrelo-cli.sections sections)
string(APPEND page "${sections}.SH SEE ALSO
.BR candump (1)
")
get_filename_component(dir ${OUT} DIRECTORY)
string(REGEX REPLACE "\\.gz$" "" plain "${OUT}")
file(WRITE ${plain} "${page}")
execute_process(COMMAND gzip -9 -n -f ${plain} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip failed for ${plain}")
endif()
