# Windows x86: Dravenix.dll for 32-bit hosts. The exports keep their plain
# names and the C calling convention (the caller removes the arguments).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(mingw_triple i686-w64-mingw32)
set(mingw_wine_arch win32)
set(mingw_wine_loader /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-cross.cmake)

# The test and example hosts do their floating point in SSE2 registers, as
# MSVC's 32-bit code does by default, so that they pass a double to the
# module with its bits exact: the x87 unit quiets a signalling NaN on load.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
