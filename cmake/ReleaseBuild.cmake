# Build flags of the module for Dravenix's own builds: hardening, and the
# same bytes from the same source whatever the build folder. A project that
# builds Dravenix as its subproject gets neither: its own flags rule its
# build, and its packaging is its own.
if(NOT PROJECT_IS_TOP_LEVEL)
    return()
endif()

# Hardening of the Linux (ELF) module, as dpkg-buildflags gives it to
# Debian's own libraries with hardening=+all: a stack protector for every
# function with an array or an address taken, glibc's checked string and
# stream calls, format-string checks, and a global offset table made
# read-only after immediate binding (full RELRO). The macOS module gets the
# same but RELRO, which Mach-O does not have. Windows DLLs have their own
# defaults from the linker (ASLR, DEP).
set(dravenix_hardening_default OFF)
if(NOT WIN32 AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    set(dravenix_hardening_default ON)
endif()
option(DRAVENIX_HARDENING "Build the module with Debian's hardening flags for libraries (ELF)"
    ${dravenix_hardening_default})
if(DRAVENIX_HARDENING)
    target_compile_options(Dravenix PRIVATE
        -fstack-protector-strong -Wformat -Werror=format-security)
    # _FORTIFY_SOURCE needs optimisation (glibc warns without, and warnings
    # are errors here) and gets in the sanitizers' way, whose own checks of
    # the same calls are stricter: the sanitizer and fuzzer builds go
    # without. Whatever level the compiler may define by default, 2 it is.
    if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize" AND NOT DRAVENIX_BUILD_FUZZER)
        target_compile_options(Dravenix PRIVATE
            "$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
    endif()
    # Mach-O has no RELRO; Apple's linker takes no -z.
    if(NOT APPLE)
        target_link_options(Dravenix PRIVATE -Wl,-z,relro -Wl,-z,now)
    endif()
endif()

# Reproducible builds, on in the release presets: no path of the source or
# build folder in the module (its debug information, and through it the
# Linux build-id, which stripping keeps), and no link time in a DLL (the
# COFF header's and the export table's time stamps are 0 after linking;
# strip then writes SOURCE_DATE_EPOCH, see Install.cmake). Off by default,
# since a debugger finds the sources by those paths.
option(DRAVENIX_REPRODUCIBLE
    "Build the module without the build's paths and times in it (release builds)" OFF)
if(DRAVENIX_REPRODUCIBLE)
    # The last map that matches wins: the build folder may lie inside the
    # source folder.
    target_compile_options(Dravenix PRIVATE
        -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
        -ffile-prefix-map=${PROJECT_BINARY_DIR}=build)
    if(WIN32)
        target_link_options(Dravenix PRIVATE -Wl,--no-insert-timestamp)
    endif()
    # A Mach-O module keeps its debug information in the object files, and
    # its debug map names them with the build folder's path and their times:
    # Apple's linker leaves the map out with -S.
    if(APPLE)
        target_link_options(Dravenix PRIVATE -Wl,-S)
    endif()
endif()

# Import libraries made from the one export list, for Windows hosts that
# link the DLL at build time rather than load it: libDravenix.dll.a for
# MinGW linkers (binutils' dlltool, which the toolchain brings) and
# Dravenix.lib for MSVC linkers (llvm-dlltool, where it is installed). Both
# are the same bytes on every build: dlltool is given a fixed prefix for
# its member names, which would otherwise carry its process id.
set(DRAVENIX_IMPORT_LIBRARIES "")
set(DRAVENIX_DEF ${PROJECT_SOURCE_DIR}/src/Dravenix.def)
if(WIN32)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(dravenix_dlltool_machine i386:x86-64)
    else()
        set(dravenix_dlltool_machine i386)
    endif()
    if(CMAKE_DLLTOOL)
        add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/libDravenix.dll.a
            COMMAND ${CMAKE_DLLTOOL} --input-def ${DRAVENIX_DEF} --dllname Dravenix.dll
                --output-lib libDravenix.dll.a --machine ${dravenix_dlltool_machine}
                --temp-prefix dravenix_implib
            DEPENDS ${DRAVENIX_DEF}
            WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
            COMMENT "Making the MinGW import library libDravenix.dll.a"
            VERBATIM)
        list(APPEND DRAVENIX_IMPORT_LIBRARIES ${PROJECT_BINARY_DIR}/libDravenix.dll.a)
    else()
        message(WARNING "No dlltool: no MinGW import library for Dravenix.dll")
    endif()
    find_program(DRAVENIX_LLVM_DLLTOOL
        NAMES llvm-dlltool llvm-dlltool-19 llvm-dlltool-18 llvm-dlltool-17 llvm-dlltool-16
              llvm-dlltool-15 llvm-dlltool-14
        DOC "llvm-dlltool, which makes the MSVC import library Dravenix.lib")
    if(DRAVENIX_LLVM_DLLTOOL)
        add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/Dravenix.lib
            COMMAND ${DRAVENIX_LLVM_DLLTOOL} -m ${dravenix_dlltool_machine}
                -d ${DRAVENIX_DEF} -D Dravenix.dll -l Dravenix.lib
            DEPENDS ${DRAVENIX_DEF}
            WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
            COMMENT "Making the MSVC import library Dravenix.lib"
            VERBATIM)
        list(APPEND DRAVENIX_IMPORT_LIBRARIES ${PROJECT_BINARY_DIR}/Dravenix.lib)
    else()
        message(STATUS "No llvm-dlltool (Debian package llvm): no MSVC import library Dravenix.lib")
    endif()
    add_custom_target(dravenix_import_libraries ALL DEPENDS ${DRAVENIX_IMPORT_LIBRARIES})
endif()
