// The test host: loads the built module through the platform's loader and
// finds every export by name, as a real host does. No test links the
// library's objects.
#pragma once

#include "dravenix_exports.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#if defined(_WIN32)
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  include <windows.h>
// Leftovers of 16-bit Windows that would rename ordinary words in the tests.
#  undef near
#  undef far
#else
#  include <dlfcn.h>
#  include <unistd.h>
#endif

using Bytes = std::vector<unsigned char>;

class Module {
public:
    // DRAVENIX_MODULE overrides the module the build made, so the suite can
    // be pointed at another build of it.
    static std::string path()
    {
        const char *override_path = std::getenv("DRAVENIX_MODULE");
        if (override_path != nullptr)
            return override_path;
#if defined(_WIN32)
        // The build's path is a path of the build host, which wine may or
        // may not map: load the DLL from beside this program instead, as
        // Windows hosts find theirs.
        return beside_this_program(std::filesystem::path(DRAVENIX_MODULE_PATH).filename());
#else
        return DRAVENIX_MODULE_PATH;
#endif
    }

#if defined(_WIN32)
    bool load() { handle_ = LoadLibraryA(path().c_str()); return handle_ != nullptr; }
    void *find(const char *name) const
    {
        return reinterpret_cast<void *>(GetProcAddress(handle_, name));
    }
    bool unload() { bool ok = FreeLibrary(handle_) != 0; handle_ = nullptr; return ok; }
    HMODULE native() const { return handle_; }

    static std::string beside_this_program(const std::filesystem::path &name)
    {
        char program[MAX_PATH];
        const DWORD length = GetModuleFileNameA(nullptr, program, MAX_PATH);
        if (length == 0 || length == MAX_PATH)
            return name.string();
        return (std::filesystem::path(program).parent_path() / name).string();
    }
#else
    bool load() { handle_ = dlopen(path().c_str(), RTLD_NOW | RTLD_LOCAL); return handle_ != nullptr; }
    void *find(const char *name) const { return dlsym(handle_, name); }
    bool unload() { bool ok = dlclose(handle_) == 0; handle_ = nullptr; return ok; }
#endif

    bool loaded() const { return handle_ != nullptr; }

    // Resolves all sixteen; false if any is missing.
    bool resolve(Api &api) const
    {
        bool all = true;
#define DRAVENIX_RESOLVE(name)                                                   \
        api.name = reinterpret_cast<decltype(api.name)>(find(#name));           \
        all = all && api.name != nullptr;
        DRAVENIX_EXPORT_LIST(DRAVENIX_RESOLVE)
#undef DRAVENIX_RESOLVE
        return all;
    }

private:
#if defined(_WIN32)
    HMODULE handle_ = nullptr;
#else
    void *handle_ = nullptr;
#endif
};

// Each test gets a freshly loaded module, so a fresh stream table, and a
// scratch folder of its own.
class DravenixTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        load();
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        scratch_ = std::filesystem::temp_directory_path() /
                   (std::string("dravenix-") + info->test_suite_name() + "-" +
                    info->name() + "-" + std::to_string(process_id()));
        std::filesystem::remove_all(scratch_);
        std::filesystem::create_directories(scratch_);
    }

    void TearDown() override
    {
        if (module_.loaded()) {
            dx.FileCloseAll();
            module_.unload();
        }
        std::error_code ignored;
        std::filesystem::remove_all(scratch_, ignored);
    }

    void load()
    {
        ASSERT_TRUE(module_.load()) << "cannot load " << Module::path();
        ASSERT_TRUE(module_.resolve(dx)) << "an export is missing";
    }

    void unload() { ASSERT_TRUE(module_.unload()); }

    std::string path(const std::string &name) const { return (scratch_ / name).string(); }

    double open(const std::string &name, const char *mode)
    {
        return dx.FileOpen(path(name).c_str(), mode);
    }

    // Files are read and made through C's streams, not C++'s file streams:
    // the UCRT builds link a libstdc++ compiled for msvcrt.dll, whose
    // file streams hold msvcrt.dll's smaller mbstate_t.
    Bytes contents(const std::string &name) const
    {
        Bytes bytes;
        if (std::FILE *in = std::fopen(path(name).c_str(), "rb")) {
            for (int byte; (byte = std::fgetc(in)) != EOF;)
                bytes.push_back(static_cast<unsigned char>(byte));
            std::fclose(in);
        }
        return bytes;
    }

    bool exists(const std::string &name) const { return std::filesystem::exists(path(name)); }

    // Makes a file with exactly these bytes and opens it for reading.
    double open_with(const std::string &name, const Bytes &bytes, const char *mode = "rb")
    {
        if (std::FILE *out = std::fopen(path(name).c_str(), "wb")) {
            // An empty vector's data() may be NULL, which fwrite must not get.
            if (!bytes.empty())
                std::fwrite(bytes.data(), 1, bytes.size(), out);
            std::fclose(out);
        }
        return open(name, mode);
    }

    Api dx;

#if defined(_WIN32)
    HMODULE module_handle() const { return module_.native(); }
#endif

private:
    static long process_id()
    {
#if defined(_WIN32)
        return static_cast<long>(GetCurrentProcessId());
#else
        return static_cast<long>(getpid());
#endif
    }

    Module module_;
    std::filesystem::path scratch_;
};
