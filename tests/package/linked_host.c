/* linked_host: a Windows host that links Dravenix.dll at build time, through
   one of the import libraries of a release archive, instead of loading it.
   It calls the exports as declared in Dravenix.h: writes a 32-bit value,
   seeks back, reads it and closes the file.

   Built two ways by .ci/checks/50-package.sh:
   - with MinGW gcc and libDravenix.dll.a or Dravenix.lib, against msvcrt:
     prints "N passed, N failed";
   - with DRAVENIX_NO_CRT, by clang for the MSVC target and lld-link (the
     MSVC-compatible linker) with Dravenix.lib and no C runtime, as there is
     no MSVC runtime here: the exit code says what failed (0: nothing).
   Either way, Dravenix.dll beside the host, and run under wine.
*/
#include "Dravenix.h"

#if defined(DRAVENIX_NO_CRT)
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);
/* The MSVC target's floating-point code refers to this symbol of the C
   runtime. */
int _fltused = 0;
#else
#  include <stdio.h>
#endif

/* Bit n of the result is set when call n failed. */
static unsigned run(void)
{
    unsigned failures = 0;
    double handle = FileOpen("linked_host.bin", "w+b");
    failures |= (handle >= 0 ? 0u : 1u) << 0;
    failures |= (FileWrite32(handle, 300) == 1 ? 0u : 1u) << 1;
    failures |= (FileSeek(handle, 0, 0) == 0 ? 0u : 1u) << 2;
    failures |= (FileRead32(handle) == 300 ? 0u : 1u) << 3;
    failures |= (FileIsEOF(handle) == 0 ? 0u : 1u) << 4;
    failures |= (FileClose(handle) == 0 ? 0u : 1u) << 5;
    return failures;
}

#if defined(DRAVENIX_NO_CRT)
void mainCRTStartup(void)
{
    ExitProcess(run());
}
#else
int main(void)
{
    static const char *const calls[] = {
        "FileOpen", "FileWrite32", "FileSeek", "FileRead32", "FileIsEOF", "FileClose"};
    unsigned failures = run();
    int failed = 0;
    for (unsigned i = 0; i < sizeof calls / sizeof calls[0]; ++i) {
        if (failures & (1u << i)) {
            printf("%s failed\n", calls[i]);
            ++failed;
        }
    }
    printf("%d passed, %d failed\n", (int)(sizeof calls / sizeof calls[0]) - failed, failed);
    return failed != 0;
}
#endif
