# Runs the example host and compares what it prints and the file it writes
# with what they must be on every platform.
#
#   cmake -DCOMMAND=<emulator...;host;module;data-file> -DDATA_FILE=<data-file>
#         -DTRANSCRIPT=<expected output> -DBYTES=<expected hex> -P run_example.cmake
execute_process(COMMAND ${COMMAND}
    OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "example host failed (${status}):\n${output}${errors}")
endif()

# A Windows host's standard output is in text mode: lines end in CR LF.
string(REPLACE "\r\n" "\n" output "${output}")
file(STRINGS ${TRANSCRIPT} expected_lines)
string(REGEX REPLACE "\n$" "" output "${output}")
string(REPLACE "\n" ";" output_lines "${output}")
list(FILTER output_lines EXCLUDE REGEX "^$")
list(LENGTH expected_lines expected_count)
list(LENGTH output_lines output_count)
set(differences "")
foreach(i RANGE ${expected_count})
    if(i LESS expected_count)
        list(GET expected_lines ${i} expected_line)
    else()
        set(expected_line "(end)")
    endif()
    if(i LESS output_count)
        list(GET output_lines ${i} output_line)
    else()
        set(output_line "(end)")
    endif()
    if(NOT output_line STREQUAL expected_line)
        string(APPEND differences "  expected: ${expected_line}\n  printed:  ${output_line}\n")
    endif()
endforeach()
if(NOT output_count EQUAL expected_count OR differences)
    message(FATAL_ERROR "the example host's output differs from ${TRANSCRIPT}:\n${differences}")
endif()

file(READ ${DATA_FILE} bytes HEX)
string(TOUPPER "${bytes}" bytes)
if(NOT bytes STREQUAL BYTES)
    message(FATAL_ERROR "${DATA_FILE} holds ${bytes}, expected ${BYTES}")
endif()
message(STATUS "example host: output and ${DATA_FILE} as expected")
