# Linux on 64-bit POWER, little-endian (POWER8 and later).
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(cross_triple powerpc64le-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
