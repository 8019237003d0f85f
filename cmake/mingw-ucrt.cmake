# Shared by the UCRT toolchain files, which include a Windows toolchain file
# (mingw-x86_64.cmake, mingw-i686.cmake) and then this: Debian's mingw-w64
# in UCRT mode, so that Dravenix.dll runs on the Universal C Runtime
# (ucrtbase.dll, through the api-ms-win-crt-* names) as MSVC's builds do.
#
# Debian's mingw-w64 is built for msvcrt.dll, but ships UCRT's headers and
# import library (libucrt.a):
#  - _UCRT makes the headers declare UCRT's functions and types;
#  - mingw-ucrt/ucrt.specs links libucrt.a where gcc would link
#    libmsvcrt.a, and drops libmoldname.a, whose old names are msvcrt.dll's.
#    Nothing can then reach msvcrt.dll: a function only it has fails the
#    link.
#  - The compiler's own runtime (libgcc, libstdc++, winpthread) stays
#    static, as in the msvcrt.dll builds. The module uses none of it that
#    UCRT lacks.
#
# Those archives were built for msvcrt.dll, and programs (the tests, the
# runners, the benchmark) meet two differences, which
# mingw-ucrt/<processor>-programs.ld bridges by giving the names asked for
# to what the archives have:
#  - on x64, winpthread calls _setjmp, which UCRT's headers spell
#    __intrinsic_setjmpex (same arguments, same jmp_buf);
#  - UCRT's mbstate_t is a struct of 8 bytes, msvcrt.dll's an int, so
#    std::filesystem's narrow paths ask for conversions by the struct's
#    name that libstdc++ has by the int's. The state goes by reference and
#    those conversions use its first 4 bytes only; they pass it on to the
#    runtime's mbrtowc and wcrtomb as 4 bytes, which wine's UCRT, like
#    msvcrt.dll, takes them to be.
string(APPEND CMAKE_C_FLAGS_INIT " -D_UCRT")
string(APPEND CMAKE_CXX_FLAGS_INIT " -D_UCRT")
set(ucrt_specs "-specs=${CMAKE_CURRENT_LIST_DIR}/mingw-ucrt/ucrt.specs")
string(APPEND CMAKE_MODULE_LINKER_FLAGS_INIT " ${ucrt_specs}")
string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " ${ucrt_specs}")
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "AMD64")
    set(ucrt_programs_script ${CMAKE_CURRENT_LIST_DIR}/mingw-ucrt/x86_64-programs.ld)
else()
    set(ucrt_programs_script ${CMAKE_CURRENT_LIST_DIR}/mingw-ucrt/i686-programs.ld)
endif()
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " ${ucrt_specs} -Wl,${ucrt_programs_script}")
