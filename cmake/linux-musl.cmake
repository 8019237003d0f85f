# Linux x86-64 against musl (Debian's musl, musl-dev and musl-tools), the C
# library of Alpine and its containers: the module as it builds on a
# musl-based system, with the portable stream layer (src/CMakeLists.txt
# takes the glibc layer only where the C library is glibc).
#
# Debian ships no C++ compiler for musl. g++ compiles against musl's headers
# and GCC's own (libstdc++'s and the compiler's builtin ones), and musl-gcc
# links, so that everything runs on musl's loader and libc.so alone. The
# module uses no C++ run time; the C++ test hosts take libstdc++ from its
# static archive, whose few glibc-only needs musl_compat/ meets.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER musl-gcc)
set(CMAKE_CXX_COMPILER g++)

set(musl_include /usr/include/x86_64-linux-musl)
execute_process(COMMAND g++ -dumpversion OUTPUT_VARIABLE gcc_major OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND g++ -print-file-name=include OUTPUT_VARIABLE gcc_include
    OUTPUT_STRIP_TRAILING_WHITESPACE)
set(libstdcxx_include /usr/include/c++/${gcc_major})
# libstdc++'s configuration headers, made for glibc, ask for two of its
# names; glibc_names.h gives them musl's meaning.
set(CMAKE_CXX_FLAGS_INIT "-nostdinc \
-isystem ${libstdcxx_include} \
-isystem /usr/include/x86_64-linux-gnu/c++/${gcc_major} \
-isystem ${libstdcxx_include}/backward \
-isystem ${gcc_include} \
-isystem ${musl_include} \
-include ${CMAKE_CURRENT_LIST_DIR}/musl/glibc_names.h")

# musl-gcc links every C++ target: the module with nothing but musl's C
# library, the executables with libstdc++'s static archive as well.
set(CMAKE_CXX_CREATE_SHARED_MODULE
    "<CMAKE_C_COMPILER> <CMAKE_SHARED_MODULE_CXX_FLAGS> <LINK_FLAGS> <CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS> -o <TARGET> <OBJECTS> <LINK_LIBRARIES>")
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_C_COMPILER> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES> -Wl,-Bstatic -lstdc++ -Wl,-Bdynamic")
# musl-gcc's link spec drops the --eh-frame-hdr that gcc's own passes, and
# without that table the unwinder finds no handler for a thrown exception.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--eh-frame-hdr")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--eh-frame-hdr")
# What a C++ host linked this way needs beside musl: checkers/ adds it to the
# differential runner.
set(DRAVENIX_HOST_SUPPORT_SOURCES ${CMAKE_CURRENT_LIST_DIR}/musl/glibc_symbols.c)

set(CMAKE_FIND_ROOT_PATH /usr/lib/x86_64-linux-musl ${musl_include})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
