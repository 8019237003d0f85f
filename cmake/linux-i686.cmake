# Linux on 32-bit x86 (i686), as a 32-bit system or container runs it. The
# compilers' target decides the SSE2 flags (src/CMakeLists.txt), whatever
# processor CMake is told; a 64-bit kernel reports x86_64 to an i386
# container, and -DCMAKE_SYSTEM_PROCESSOR=x86_64 builds as such a one would.
if(NOT CMAKE_SYSTEM_PROCESSOR)
    set(CMAKE_SYSTEM_PROCESSOR i686)
endif()
set(cross_triple i686-linux-gnu)
# qemu-i386 7.2 hangs in a forked child. A kernel that runs 32-bit code
# itself needs no emulator, only the sysroot's loader and libraries; where it
# cannot, nothing runs (.ci/checks/22-platforms.sh then skips with a warning).
set(cross_emulator /usr/${cross_triple}/lib/ld-linux.so.2 --library-path /usr/${cross_triple}/lib)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
