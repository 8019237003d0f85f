# Checks a macOS module with LLVM's tools, slice by slice: it is a dynamic
# library (not a bundle) of exactly the architectures ARCHITECTURES, named
# @rpath/Dravenix.dylib, that exports exactly EXPECTED and imports nothing
# but libSystem.
#
#   cmake -DMODULE=<Dravenix.dylib> -DEXPECTED=<name;...> -DARCHITECTURES=<arch;...>
#         -DLLVM_NM=<llvm-nm> -DLLVM_OBJDUMP=<llvm-objdump> -DLLVM_LIPO=<llvm-lipo>
#         -P check_macho_module.cmake
foreach(variable IN ITEMS MODULE EXPECTED ARCHITECTURES LLVM_NM LLVM_OBJDUMP LLVM_LIPO)
    if("${${variable}}" STREQUAL "")
        message(FATAL_ERROR "check_macho_module.cmake needs -D${variable}=...")
    endif()
endforeach()

# Runs a tool and returns its output, failing on its failure.
function(tool_output output)
    execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE text ERROR_VARIABLE error
        RESULT_VARIABLE status OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${ARGN} failed: ${error}")
    endif()
    set(${output} "${text}" PARENT_SCOPE)
endfunction()

# The output's lines below its first, which names the file.
function(lines_after_name output text)
    string(REPLACE "\n" ";" lines "${text}")
    list(POP_FRONT lines)
    list(TRANSFORM lines STRIP)
    set(${output} ${lines} PARENT_SCOPE)
endfunction()

# Fails unless the two lists hold the same names, in any order.
function(expect_same what found expected)
    list(SORT found)
    list(SORT expected)
    if(NOT found STREQUAL expected)
        message(FATAL_ERROR "${MODULE}: ${what} differ\n  expected: ${expected}\n  found:    ${found}")
    endif()
endfunction()

tool_output(found_architectures ${LLVM_LIPO} -archs ${MODULE})
string(REPLACE " " ";" found_architectures "${found_architectures}")
expect_same("architectures" "${found_architectures}" "${ARCHITECTURES}")

set(expected_names ${EXPECTED})
list(TRANSFORM expected_names PREPEND "_")
foreach(architecture IN LISTS found_architectures)
    tool_output(header ${LLVM_OBJDUMP} --macho --private-header --arch=${architecture} ${MODULE})
    # The fifth column of the header's line is its file type.
    if(NOT header MATCHES "\nMH_MAGIC_64 +[^ ]+ +[^ ]+ +[^ ]+ +DYLIB ")
        message(FATAL_ERROR "${MODULE} (${architecture}) is not a dynamic library:\n${header}")
    endif()

    tool_output(id ${LLVM_OBJDUMP} --macho --dylib-id --non-verbose --arch=${architecture} ${MODULE})
    lines_after_name(id "${id}")
    if(NOT id STREQUAL "@rpath/Dravenix.dylib")
        message(FATAL_ERROR "${MODULE} (${architecture}) is named ${id}, not @rpath/Dravenix.dylib")
    endif()

    tool_output(used ${LLVM_OBJDUMP} --macho --dylibs-used --non-verbose --arch=${architecture}
        ${MODULE})
    lines_after_name(used "${used}")
    list(FILTER used EXCLUDE REGEX "^@rpath/Dravenix\\.dylib ")
    if(NOT used MATCHES "^/usr/lib/libSystem\\.B\\.dylib " OR NOT used MATCHES "^[^;]*$")
        message(FATAL_ERROR "${MODULE} (${architecture}) imports:\n${used}\n"
            "(expected only /usr/lib/libSystem.B.dylib)")
    endif()

    # Every external symbol it defines.
    tool_output(defined ${LLVM_NM} --extern-only --defined-only --just-symbol-name
        --arch=${architecture} ${MODULE})
    string(REPLACE "\n" ";" defined "${defined}")
    expect_same("${architecture} exports" "${defined}" "${expected_names}")
    list(LENGTH defined count)
    message(STATUS "${architecture}: a dynamic library named @rpath/Dravenix.dylib, "
        "${count} exports, imports only ${used}")
endforeach()
