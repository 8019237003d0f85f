# Windows x64 on UCRT: Dravenix.dll for 64-bit hosts built with MSVC-era
# toolchains, cross-built with mingw-w64 in UCRT mode.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-x86_64.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-ucrt.cmake)
