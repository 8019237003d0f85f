# Windows x86: Dravenix.dll for 32-bit hosts. The exports keep their plain
# names and the C calling convention (the caller removes the arguments).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(mingw_triple i686-w64-mingw32)
set(mingw_wine_arch win32)
set(mingw_wine_loader /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-cross.cmake)
