// The call driver's system services on Linux and other POSIX systems.
#include "platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {

bool load_module(Api *api, std::string *error)
{
    const char *override_path = std::getenv("DRAVENIX_MODULE");
    const char *path = override_path != nullptr ? override_path : DRAVENIX_MODULE_PATH;
    void *module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        *error = dlerror();
        return false;
    }
    const bool all =
        resolve_exports(api, [module](const char *name) { return dlsym(module, name); });
    if (!all)
        *error = std::string(path) + " lacks an export";
    return all;
}

std::string make_scratch_folder()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/dravenix-diff-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        return std::string();
    return pattern;
}

bool read_file(const std::string &path, std::string *bytes)
{
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    bytes->clear();
    char buffer[65536];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
        bytes->append(buffer, static_cast<std::size_t>(got));
    ::close(fd);
    return true;
}

void remove_file(const std::string &path)
{
    ::unlink(path.c_str());
}

void remove_folder(const std::string &path)
{
    ::rmdir(path.c_str());
}

} // namespace platform
