// What a C++ host on musl takes from cmake/musl/glibc_symbols.c, checked
// through the libstdc++ features that need it: the unwinder's search for
// exception tables, std::random_device's arc4random source, and reference
// counts shared with a second thread. Prints one line a check; the exit
// status counts the failures.
#include <pthread.h>

#include <cstdio>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>

namespace {

[[gnu::noinline]] void throw_from(int depth)
{
    if (depth == 0)
        throw std::runtime_error("thrown");
    throw_from(depth - 1);
}

bool exception_caught()
{
    try {
        throw_from(3);
    } catch (const std::runtime_error &e) {
        return std::string(e.what()) == "thrown";
    }
    return false;
}

bool random_device_varies()
{
    try {
        std::random_device device("arc4random");
        std::set<unsigned> seen;
        for (int i = 0; i < 16; ++i)
            seen.insert(device());
        return seen.size() > 8;
    } catch (const std::exception &) {
        return false;
    }
}

constexpr int copies = 200000;

void *copy_often(void *shared)
{
    for (int i = 0; i < copies; ++i)
        std::shared_ptr<int> copy = *static_cast<std::shared_ptr<int> *>(shared);
    return nullptr;
}

bool counts_exact_with_two_threads()
{
    std::shared_ptr<int> shared = std::make_shared<int>(1);
    pthread_t other;
    if (pthread_create(&other, nullptr, copy_often, &shared) != 0)
        return false;
    copy_often(&shared);
    pthread_join(other, nullptr);
    return shared.use_count() == 1;
}

} // namespace

int main()
{
    const struct {
        const char *what;
        bool (*check)();
    } checks[] = {
        {"an exception thrown three calls down is caught", exception_caught},
        {"std::random_device(\"arc4random\") gives varied numbers", random_device_varies},
        {"shared_ptr counts stay exact with a second thread", counts_exact_with_two_threads},
    };
    int failures = 0;
    for (const auto &c : checks) {
        const bool ok = c.check();
        std::printf("%s: %s\n", ok ? "ok" : "FAILED", c.what);
        failures += ok ? 0 : 1;
    }
    return failures;
}
