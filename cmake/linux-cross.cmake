# Shared by the Linux cross toolchain files, one per CPU, which set
# CMAKE_SYSTEM_PROCESSOR (as uname -m names it there) and, where Debian's
# names differ from it, cross_triple (the prefix of Debian's cross
# compilers, <processor>-linux-gnu by default) and cross_qemu (the qemu-user
# program, qemu-<processor> by default), then include this. Tests and the
# example host run under qemu-user, which takes the target's loader and C
# library from the cross sysroot; a toolchain file may name another runner
# in cross_emulator instead.
set(CMAKE_SYSTEM_NAME Linux)

if(NOT DEFINED cross_triple)
    set(cross_triple ${CMAKE_SYSTEM_PROCESSOR}-linux-gnu)
endif()
if(NOT DEFINED cross_qemu)
    set(cross_qemu qemu-${CMAKE_SYSTEM_PROCESSOR})
endif()
set(cross_sysroot /usr/${cross_triple})

set(CMAKE_C_COMPILER ${cross_triple}-gcc)
set(CMAKE_CXX_COMPILER ${cross_triple}-g++)
# The export check reads the module's symbol table, which the build host's
# nm and readelf may not understand for another processor; the release
# archives strip it with the target's strip.
set(CMAKE_NM ${cross_triple}-nm CACHE FILEPATH "")
set(CMAKE_READELF ${cross_triple}-readelf CACHE FILEPATH "")
set(CMAKE_STRIP ${cross_triple}-strip CACHE FILEPATH "")

if(NOT DEFINED cross_emulator)
    set(cross_emulator ${cross_qemu} -L ${cross_sysroot})
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${cross_emulator})

# Libraries and headers from the sysroot only; programs from the build host.
set(CMAKE_FIND_ROOT_PATH ${cross_sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
