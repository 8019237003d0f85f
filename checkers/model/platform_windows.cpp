// The call driver's system services on Windows (and under wine).
#include "platform.h"

#ifndef NOMINMAX
#  define NOMINMAX
#endif
#include <windows.h>

#include <cstdlib>
#include <string>

namespace platform {

namespace {

// The build's module path is a path of the build host, which wine may not
// map: the module is taken from beside this program, where Windows hosts
// find theirs.
std::string module_path()
{
    const char *override_path = std::getenv("DRAVENIX_MODULE");
    if (override_path != nullptr)
        return override_path;
    std::string name = DRAVENIX_MODULE_PATH;
    const std::size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    char program[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, program, MAX_PATH);
    if (length == 0 || length == MAX_PATH)
        return name;
    std::string folder(program, length);
    const std::size_t end = folder.find_last_of("/\\");
    return end == std::string::npos ? name : folder.substr(0, end + 1) + name;
}

} // namespace

bool load_module(Api *api, std::string *error)
{
    const std::string path = module_path();
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        *error = "LoadLibrary(" + path + ") failed with error " + std::to_string(GetLastError());
        return false;
    }
    const bool all = resolve_exports(api, [module](const char *name) {
        return reinterpret_cast<void *>(GetProcAddress(module, name));
    });
    if (!all)
        *error = path + " lacks an export";
    return all;
}

std::string make_scratch_folder()
{
    char temp[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof temp, temp);
    if (length == 0 || length > MAX_PATH)
        return std::string();
    // The process id and a counter make the name; a clash only tries again.
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        const std::string folder = std::string(temp, length) + "dravenix-diff-" +
                                   std::to_string(GetCurrentProcessId()) + "-" +
                                   std::to_string(attempt);
        if (CreateDirectoryA(folder.c_str(), nullptr))
            return folder;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    return std::string();
}

bool read_file(const std::string &path, std::string *bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bytes->clear();
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        bytes->append(buffer, got);
    CloseHandle(file);
    return true;
}

void remove_file(const std::string &path)
{
    DeleteFileA(path.c_str());
}

void remove_folder(const std::string &path)
{
    RemoveDirectoryA(path.c_str());
}

} // namespace platform
