# Linux on 32-bit Arm with the hard-float ABI (armhf: a Raspberry Pi's
# 32-bit system, ARMv7): a 32-bit long and size_t, so positions past 4 GiB
# need the 64-bit file offsets.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(cross_triple arm-linux-gnueabihf)
set(cross_qemu qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
# The release archive's platform, as Debian names the architecture.
set(DRAVENIX_PLATFORM linux-armhf)
