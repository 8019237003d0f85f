# Shared by the Windows cross toolchain files, which set CMAKE_SYSTEM_PROCESSOR
# and mingw_triple and include this. Builds with Debian's mingw-w64 "posix"
# compilers against the system C runtime (msvcrt.dll); tests and the example
# host run under wine, in a wine prefix of the build folder's own.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_triple}-windres)
# The module checks read the PE export and import tables.
set(CMAKE_OBJDUMP ${mingw_triple}-objdump CACHE FILEPATH "")

# Everything the compiler brings (libgcc, libstdc++, winpthread) is linked in,
# so the module and the test programs need no DLL beyond the system's own.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Debian's /usr/bin/wine picks the 32-bit loader whenever it is installed,
# so each build names its loader directly. The prefix lives in the build
# folder, never the user's ~/.wine, and wine's own diagnostics stay quiet.
set(CMAKE_CROSSCOMPILING_EMULATOR
    env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEARCH=${mingw_wine_arch} WINEDEBUG=-all
    ${mingw_wine_loader})

set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
