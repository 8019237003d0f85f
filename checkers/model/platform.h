// What the call driver needs from the operating system: the module, loaded
// by name as a host loads it, a scratch folder, and a file's bytes. One
// source file per system implements it (platform_posix.cpp,
// platform_windows.cpp); the driver itself stays portable.
#pragma once

#include "dravenix_exports.h"

#include <string>

namespace platform {

// Fills in all sixteen exports from `find(name)`, the system's lookup by
// name; false if any is missing.
template <typename Find>
bool resolve_exports(Api *api, Find find)
{
    bool all = true;
#define DRAVENIX_RESOLVE(name)                                                   \
    api->name = reinterpret_cast<decltype(api->name)>(find(#name));              \
    all = all && api->name != nullptr;
    DRAVENIX_EXPORT_LIST(DRAVENIX_RESOLVE)
#undef DRAVENIX_RESOLVE
    return all;
}

// Loads the module (DRAVENIX_MODULE, else the build's own) and resolves all
// sixteen exports. On failure returns false and says why in *error.
bool load_module(Api *api, std::string *error);

// A new, empty folder of this process's own; empty on failure.
std::string make_scratch_folder();

// The bytes of a file, and whether it could be opened at all.
bool read_file(const std::string &path, std::string *bytes);

void remove_file(const std::string &path);
void remove_folder(const std::string &path);

} // namespace platform
