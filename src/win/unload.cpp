// Unloading, for both Windows stream layers.
#include <cstdio>
#include <windows.h>

// Success for every notification; nothing is done per thread.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    // Detaching the module writes out what the host's streams still buffer,
    // so that nothing written is lost, but closes none of them: the host
    // closes its files itself.
    //
    // FreeLibrary (reserved NULL): the process goes on, so every stream of
    // the runtime is flushed, ours among them.
    //
    // Process end (reserved not NULL): the other threads were stopped
    // wherever they were, perhaps holding a stream lock, and the runtime
    // has no flush that skips the lock, so nothing is flushed here. The
    // runtime, which owns the streams and is detached after this module,
    // ends them itself, as does the host's own exit().
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr)
        _flushall();
    return TRUE;
}
