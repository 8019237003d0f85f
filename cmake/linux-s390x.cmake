# Cross build for Linux on s390x, a big-endian processor, with Debian's
# s390x-linux-gnu compilers. Tests and the example host run under qemu-user,
# which takes the target's loader and C library from the cross sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)

set(cross_triple s390x-linux-gnu)
set(cross_sysroot /usr/${cross_triple})

set(CMAKE_C_COMPILER ${cross_triple}-gcc)
set(CMAKE_CXX_COMPILER ${cross_triple}-g++)
# The export check reads the module's symbol table, which the build host's
# nm and readelf may not understand for another processor.
set(CMAKE_NM ${cross_triple}-nm CACHE FILEPATH "")
set(CMAKE_READELF ${cross_triple}-readelf CACHE FILEPATH "")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x -L ${cross_sysroot})

# Libraries and headers from the sysroot only; programs from the build host.
set(CMAKE_FIND_ROOT_PATH ${cross_sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
