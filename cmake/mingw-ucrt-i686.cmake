# Windows x86 on UCRT: Dravenix.dll for 32-bit hosts built with MSVC-era
# toolchains, cross-built with mingw-w64 in UCRT mode.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-ucrt.cmake)
