// The portable layer's unloading, for any C library.
#include <cstdio>

namespace dravenix {
namespace {

// Detaching the module writes out what the host's streams still buffer, so
// that nothing written is lost, but closes none of them: the host closes
// its files itself. A static object's destructor runs when the module is
// unloaded or the process ends, with any C++ compiler; a stream that cannot
// be flushed keeps its error for the host's own close.
struct FlushOnUnload {
    FlushOnUnload() = default;
    FlushOnUnload(const FlushOnUnload &) = delete;
    FlushOnUnload &operator=(const FlushOnUnload &) = delete;
    ~FlushOnUnload() { (void)std::fflush(nullptr); }
} flush_on_unload;

} // namespace
} // namespace dravenix
