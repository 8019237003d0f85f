# Linux on 64-bit Arm: little-endian like x86-64, but it converts an
# out-of-range double to an integer differently, so the library's own range
# checks are what keep the results the same.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
