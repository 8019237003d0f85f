# Packs a release archive of a build folder: the target release-archive runs
#
#   cmake -DBINARY_DIR=<build> -DCONFIG=<config> -DSOURCE_DIR=<source>
#         -DVERSION=<version> -DPLATFORM=<platform> -DFORMAT=tar.gz|zip
#         -DMODULE=<module path in the tree> -DOUTPUT_DIR=<folder>
#         -DPYTHON=<python3> -DREPRODUCIBLE=ON|OFF -P ReleaseArchive.cmake
#
# and it writes <folder>/Dravenix-<version>-<commit>-<platform>.<format>
# and <folder>/SHA256SUMS.
cmake_minimum_required(VERSION 3.25)
foreach(variable IN ITEMS BINARY_DIR SOURCE_DIR VERSION PLATFORM FORMAT MODULE OUTPUT_DIR)
    if("${${variable}}" STREQUAL "")
        message(FATAL_ERROR "ReleaseArchive.cmake needs -D${variable}=...")
    endif()
endforeach()
if(NOT PYTHON)
    message(FATAL_ERROR "The release archives are packed by Python 3, which was not found: "
        "install python3, or name it with -DDRAVENIX_PYTHON=<path> when configuring")
endif()
if(NOT REPRODUCIBLE)
    message(WARNING "This build folder was configured without DRAVENIX_REPRODUCIBLE: "
        "its module holds the build's paths (and, on Windows, its link time), so this "
        "archive differs from a release build of the same commit. Use "
        "cmake --workflow --preset release-linux (release-windows-x86, release-windows-x64).")
endif()

include(${CMAKE_CURRENT_LIST_DIR}/SourceStamp.cmake)
dravenix_source_stamp(${SOURCE_DIR})
if(DRAVENIX_SOURCE_DIRTY)
    message(WARNING "The source tree has uncommitted changes: the archive is named "
        "${DRAVENIX_SOURCE_TAG}, and no one can build it again from the commit.")
endif()
set(name Dravenix-${VERSION}-${DRAVENIX_SOURCE_TAG}-${PLATFORM})
set(archive ${OUTPUT_DIR}/${name}.${FORMAT})
if(DRAVENIX_SOURCE_COMMIT STREQUAL "")
    set(commit_text "an unknown commit (the source tree was not a git checkout)")
else()
    set(commit_text "commit ${DRAVENIX_SOURCE_COMMIT}")
    if(DRAVENIX_SOURCE_DIRTY)
        string(APPEND commit_text ", with uncommitted changes")
    endif()
endif()
# string(TIMESTAMP) reads SOURCE_DATE_EPOCH: this is the source's time.
set(ENV{SOURCE_DATE_EPOCH} ${DRAVENIX_SOURCE_DATE_EPOCH})
string(TIMESTAMP source_date "%Y-%m-%d %H:%M:%S UTC" UTC)

# The installed tree, stripped. GNU strip writes SOURCE_DATE_EPOCH, set
# above, into a DLL's COFF header; without it, the current time.
set(staging ${BINARY_DIR}/release-staging)
file(REMOVE_RECURSE ${staging})
set(config_arguments)
if(CONFIG)
    set(config_arguments --config ${CONFIG})
endif()
execute_process(
    COMMAND ${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${staging}/${name}
        --strip ${config_arguments}
    OUTPUT_QUIET
    COMMAND_ERROR_IS_FATAL ANY)

# The archive's own top files: LICENSE, and a README naming the commit,
# what the archive holds and how a host uses it.
set(top ${staging}/${name})
file(COPY_FILE ${SOURCE_DIR}/LICENSE ${top}/LICENSE)
if(PLATFORM MATCHES "^windows")
    set(loader "HMODULE module = LoadLibraryA(\"Dravenix.dll\")")
    set(finder GetProcAddress)
    if(PLATFORM STREQUAL "windows-x86")
        set(module_text "the module, for 32-bit hosts")
    else()
        set(module_text "the module, for 64-bit hosts")
    endif()
else()
    set(loader "void *module = dlopen(\"/opt/dravenix/${MODULE}\", RTLD_NOW | RTLD_LOCAL)")
    set(finder dlsym)
    if(PLATFORM STREQUAL "macos-universal")
        set(module_text "the module, for Intel and Apple silicon Macs")
    else()
        set(module_text "the module")
    endif()
endif()
set(contents "")
foreach(entry IN ITEMS
        "${MODULE}|${module_text}"
        "include/Dravenix.h|the declarations of the sixteen exports"
        "lib/Dravenix.def|the export list"
        "lib/libDravenix.dll.a|import library for MinGW linkers (-lDravenix)"
        "lib/Dravenix.lib|import library for MSVC linkers (link.exe, lld-link)"
        "lib/cmake/Dravenix/|the CMake package"
        "lib/pkgconfig/dravenix.pc|the pkg-config file"
        "share/doc/Dravenix/|README.md, CHANGELOG.md, LICENSE, example hosts"
        "README.txt|this file"
        "LICENSE|the zlib license")
    string(REPLACE "|" ";" entry "${entry}")
    list(GET entry 0 path)
    list(GET entry 1 text)
    if(path STREQUAL "README.txt" OR EXISTS ${top}/${path})
        string(LENGTH "${path}" length)
        math(EXPR padding "28 - ${length}")
        string(REPEAT " " ${padding} spaces)
        string(APPEND contents "  ${path}${spaces}${text}\n")
    endif()
endforeach()
set(linking "")
if(EXISTS ${top}/lib/libDravenix.dll.a)
    set(linking "
Linking at build time instead
A host may also link the DLL like any other, through an import library
made from lib/Dravenix.def, and call the exports as include/Dravenix.h
declares them:

    gcc host.c -Iinclude -Llib -lDravenix   (MinGW: lib/libDravenix.dll.a)
")
    if(EXISTS ${top}/lib/Dravenix.lib)
        string(APPEND linking "    link.exe or lld-link ... lib\\Dravenix.lib (MSVC linkers)
")
    endif()
    string(APPEND linking "
Such a host needs Dravenix.dll beside it (or on its DLL search path) to
start.
")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/archive-README.txt.in ${top}/README.txt
    @ONLY NEWLINE_STYLE LF)

file(MAKE_DIRECTORY ${OUTPUT_DIR})
execute_process(
    COMMAND ${PYTHON} ${CMAKE_CURRENT_LIST_DIR}/pack_release.py
        ${FORMAT} ${staging}/${name} ${archive} ${DRAVENIX_SOURCE_DATE_EPOCH}
    COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE_RECURSE ${staging})
file(SHA256 ${archive} sum)
message(STATUS "${name}.${FORMAT}: sha256 ${sum}")

# SHA256SUMS beside the archives: every archive of this version and commit
# in the folder, as sha256sum writes and checks them (sha256sum -c
# SHA256SUMS). Archives of other commits are left out: they are not this
# release.
file(GLOB archives RELATIVE ${OUTPUT_DIR}
    ${OUTPUT_DIR}/Dravenix-${VERSION}-${DRAVENIX_SOURCE_TAG}-*.tar.gz
    ${OUTPUT_DIR}/Dravenix-${VERSION}-${DRAVENIX_SOURCE_TAG}-*.zip)
# g1234567-* also matches g1234567-dirty-*.
list(FILTER archives EXCLUDE REGEX "^Dravenix-[^-]+-${DRAVENIX_SOURCE_TAG}-dirty-")
list(SORT archives)
set(sums "")
foreach(file IN LISTS archives)
    file(SHA256 ${OUTPUT_DIR}/${file} file_sum)
    string(APPEND sums "${file_sum}  ${file}\n")
endforeach()
file(WRITE ${OUTPUT_DIR}/SHA256SUMS.part "${sums}")
file(RENAME ${OUTPUT_DIR}/SHA256SUMS.part ${OUTPUT_DIR}/SHA256SUMS)
message(STATUS "${OUTPUT_DIR}/SHA256SUMS:\n${sums}")
