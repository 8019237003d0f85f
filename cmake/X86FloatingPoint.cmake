# 32-bit x86 code does its floating point in SSE2 registers, the module's and
# the project's own test, benchmark and example programs' alike, as current
# compilers for Windows do by default. The x87 unit would quiet a signalling
# NaN on its way from a host into a file (7FF0000000000001 would be written
# as 7FF8000000000001), and converts to an integer only by switching its
# control word back and forth, which costs more than the rest of a write.
#
# What counts is the code the compiler makes, not the processor CMake is
# told about: a 32-bit system on a 64-bit kernel (an i386 container) reports
# x86_64. MSVC and clang-cl use SSE2 on x86 by default and take no -msse2.
# The programs need a processor with SSE2 (a Pentium 4 or later).
if(MSVC)
    return()
endif()
include(CheckCXXSourceCompiles)
check_cxx_source_compiles([[
#if !defined(__i386__)
#error not 32-bit x86
#endif
int main() { return 0; }
]] DRAVENIX_TARGET_IS_X86_32)
if(DRAVENIX_TARGET_IS_X86_32)
    add_compile_options(-msse2 -mfpmath=sse)
endif()
