# Runs the Windows test that makes files under UTF-8 and code-page names,
# keeping them this time, and reads their names from the Linux side: wine
# stores a Windows name as its UTF-8 bytes, so each must be exactly the
# UTF-8 of the name the host meant, not the UTF-8 read in code page 1252.
# EMULATOR is the wine command, its words joined by "|".
string(REPLACE "|" ";" emulator "${EMULATOR}")
file(REMOVE_RECURSE "${FOLDER}")
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DRAVENIX_KEEP_NAMED_FILES=1 ${emulator} ${PROGRAM}
        --gtest_filter=WindowsNames.UTF8AndCodePageNamesCreateTheFilesTheySpell
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "the Windows test failed: ${result}")
endif()

file(GLOB seen RELATIVE "${FOLDER}" "${FOLDER}/*")
set(expected
    "José-ñandú.bin" "日本語.bin" "café-日本.bin" "📁-data.bin"
    "café-ansi.bin" "été.bin" "plain-ascii.bin")
list(SORT seen)
list(SORT expected)
if(NOT seen STREQUAL expected)
    message(FATAL_ERROR "files in ${FOLDER}:\n  ${seen}\nexpected:\n  ${expected}")
endif()
message(STATUS "seen from Linux: ${seen}")
