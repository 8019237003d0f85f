# Checks a Windows DLL with the mingw objdump, without running it:
#   - the export directory names the module "Dravenix.dll";
#   - EXPECTED (names separated by commas), in its order, are the exports
#     numbered 1, 2, ... and there are no others;
#   - it imports from KERNEL32.dll and its C runtime only (RUNTIME: msvcrt,
#     msvcrt.dll; ucrt, UCRT's api-ms-win-crt-*.dll or ucrtbase.dll, and
#     then never msvcrt.dll), so it needs no compiler runtime DLL beside it;
#   - with CDECL set (32-bit x86), no export removes its own arguments
#     ("ret $n"): the caller does, as C hosts expect.
# Usage: cmake -DOBJDUMP=... -DMODULE=... -DEXPECTED=a,b,... [-DRUNTIME=ucrt] [-DCDECL=ON]
#              -P check_pe_module.cmake
string(REPLACE "," ";" EXPECTED "${EXPECTED}")
if(RUNTIME STREQUAL "ucrt")
    set(runtime_dlls "ucrtbase\\.dll|api-ms-win-crt-[a-z0-9-]+\\.dll")
else()
    set(runtime_dlls "msvcrt\\.dll")
endif()
execute_process(COMMAND ${OBJDUMP} -p ${MODULE}
    OUTPUT_VARIABLE headers RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p failed on ${MODULE}")
endif()

set(failures "")

if(NOT headers MATCHES "\nName[ \t]+[0-9a-fA-F]+ ([^\n]+)\n")
    message(FATAL_ERROR "no export directory in ${MODULE}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL "Dravenix.dll")
    string(APPEND failures "  module name is '${CMAKE_MATCH_1}', not 'Dravenix.dll'\n")
endif()
if(NOT headers MATCHES "\nOrdinal Base[ \t]+1\n")
    string(APPEND failures "  export numbers do not start at 1\n")
endif()

# "[Ordinal/Name Pointer] Table" lists "[ n] Name" with n the number less 1.
string(FIND "${headers}" "[Ordinal/Name Pointer] Table" table_start)
string(SUBSTRING "${headers}" ${table_start} -1 table)
string(REGEX MATCH "Table\n(\t\\[ *[0-9]+\\] [^\n]+\n)+" table "${table}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" rows "${table}")
set(found "")
foreach(row IN LISTS rows)
    string(REGEX REPLACE "^\\[ *([0-9]+)\\] (.+)$" "\\1" index "${row}")
    string(REGEX REPLACE "^\\[ *([0-9]+)\\] (.+)$" "\\2" name "${row}")
    math(EXPR ordinal "${index} + 1")
    list(APPEND found "${ordinal}=${name}")
endforeach()
set(expected "")
set(ordinal 0)
foreach(name IN LISTS EXPECTED)
    math(EXPR ordinal "${ordinal} + 1")
    list(APPEND expected "${ordinal}=${name}")
endforeach()
if(NOT found STREQUAL expected)
    string(APPEND failures "  exports differ\n    expected: ${expected}\n    found:    ${found}\n")
endif()
if(NOT headers MATCHES "Export Address Table[ \t]+0*10\n")
    string(APPEND failures "  the export address table does not hold exactly 16 entries\n")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
set(imported "")
foreach(line IN LISTS imports)
    string(REGEX REPLACE "^DLL Name: " "" dll "${line}")
    string(TOLOWER "${dll}" dll)
    list(APPEND imported ${dll})
    if(NOT dll MATCHES "^(kernel32\\.dll|${runtime_dlls})$")
        string(APPEND failures "  imports ${dll}, which is not a system DLL\n")
    endif()
endforeach()
if(headers MATCHES "delay import table")
    string(APPEND failures "  has delay-loaded imports\n")
endif()

if(CDECL)
    execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${MODULE}
        OUTPUT_VARIABLE code RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${OBJDUMP} -d failed on ${MODULE}")
    endif()
    foreach(name IN LISTS EXPECTED)
        # cdecl symbols carry one leading underscore on 32-bit Windows.
        string(FIND "${code}" "<_${name}>:\n" start)
        if(start EQUAL -1)
            if(code MATCHES "<_${name}@[0-9]+>:")
                string(APPEND failures "  ${name} is stdcall (_${name}@n): not cdecl\n")
            else()
                string(APPEND failures "  no code found for _${name}\n")
            endif()
            continue()
        endif()
        string(SUBSTRING "${code}" ${start} -1 body)
        string(FIND "${body}" "\n\n" end)
        string(SUBSTRING "${body}" 0 ${end} body)
        if(body MATCHES "\tret +\\$")
            string(APPEND failures "  ${name} removes its own arguments (ret \$n): not cdecl\n")
        endif()
    endforeach()
endif()

if(failures)
    message(FATAL_ERROR "${MODULE}:\n${failures}")
endif()
message(STATUS "Dravenix.dll: exports ${found}; imports ${imported}")
