# Shared by the Linux cross toolchain files, which set CMAKE_SYSTEM_PROCESSOR
# to a Debian cross triple's processor (s390x, aarch64) and include this.
# Builds with Debian's <processor>-linux-gnu compilers; tests and the example
# host run under qemu-user, which takes the target's loader and C library
# from the cross sysroot.
set(CMAKE_SYSTEM_NAME Linux)

set(cross_triple ${CMAKE_SYSTEM_PROCESSOR}-linux-gnu)
set(cross_sysroot /usr/${cross_triple})

set(CMAKE_C_COMPILER ${cross_triple}-gcc)
set(CMAKE_CXX_COMPILER ${cross_triple}-g++)
# The export check reads the module's symbol table, which the build host's
# nm and readelf may not understand for another processor.
set(CMAKE_NM ${cross_triple}-nm CACHE FILEPATH "")
set(CMAKE_READELF ${cross_triple}-readelf CACHE FILEPATH "")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CMAKE_SYSTEM_PROCESSOR} -L ${cross_sysroot})

# Libraries and headers from the sysroot only; programs from the build host.
set(CMAKE_FIND_ROOT_PATH ${cross_sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
