# Linux on 64-bit RISC-V: like aarch64, its own answer for an out-of-range
# conversion of a double to an integer.
set(CMAKE_SYSTEM_PROCESSOR riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
