// Injected faults: a full device, no descriptors left, no memory left,
// streams used against their mode, a directory, a pipe, files removed or
// truncated under an open stream. Each shows the failing call's failure
// value and that nothing else is lost or changed.
#include "dravenix_test.h"

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#if defined(__linux__)
#  include <sys/resource.h>
#  include <sys/stat.h>
#  include <sys/wait.h>
#  include <unistd.h>
#endif

namespace {

using Fault = DravenixTest;

// A read through one of the fixed-width exports, by name.
struct NumberRead {
    const char *name;
    double (*Api::*read)(double);
    double on_failure;  // the result when nothing can be read
};

const NumberRead number_reads[] = {
    {"FileRead8", &Api::FileRead8, -1},
    {"FileRead16", &Api::FileRead16, 0},
    {"FileRead32", &Api::FileRead32, 0},
    {"FileReadDouble", &Api::FileReadDouble, 0},
};

// A write through one of the exports, by name, with the result of a write
// that fails.
struct Write {
    const char *name;
    std::function<double(const Api &, double)> write;
    double on_failure;
};

std::vector<Write> writes()
{
    static const std::string longer_than_a_buffer(70000, 'z');
    return {
        {"FileWrite8", [](const Api &dx, double h) { return dx.FileWrite8(h, 7); }, -1},
        {"FileWrite16", [](const Api &dx, double h) { return dx.FileWrite16(h, 7); }, 0},
        {"FileWrite32", [](const Api &dx, double h) { return dx.FileWrite32(h, 7); }, 0},
        {"FileWriteDouble", [](const Api &dx, double h) { return dx.FileWriteDouble(h, 7); }, 0},
        {"FileWriteString", [](const Api &dx, double h) { return dx.FileWriteString(h, "abc"); }, -1},
        {"FileWriteString (70000 bytes)",
         [](const Api &dx, double h) { return dx.FileWriteString(h, longer_than_a_buffer.c_str()); },
         -1},
    };
}

std::string all_ff(std::size_t count)
{
    return std::string(count, '\xFF');
}

// Reading from a stream opened only for writing fails, and the output still
// buffered on it reaches the file: a read of a buffer's size or more once
// dropped it, and lost its place.
TEST_F(Fault, ReadsOnAWriteOnlyStreamFailAndLoseNoOutput)
{
    const struct {
        const char *mode;
        Bytes before;  // the file's bytes before the open
    } modes[] = {{"wb", {}}, {"ab", {'<', '>'}}};
    const double string_counts[] = {1, 5, 4095, 4096, 5000, 70000};

    for (const auto &m : modes) {
        const Bytes expected_file = [&] {
            Bytes bytes = m.mode[0] == 'a' ? m.before : Bytes{};
            for (char c : std::string("hello!"))
                bytes.push_back(static_cast<unsigned char>(c));
            return bytes;
        }();
        const double position = static_cast<double>(expected_file.size() - 1);
        auto start = [&] {
            const double h = open_with("out", m.before, m.mode);
            EXPECT_EQ(dx.FileWriteString(h, "hello"), 5);
            return h;
        };
        auto finish = [&](double h, const std::string &row) {
            EXPECT_EQ(dx.FileIsEOF(h), 0) << row << ": a read error is not the end of the file";
            EXPECT_EQ(dx.FileTell(h), position) << row;
            EXPECT_EQ(dx.FileWriteString(h, "!"), 1) << row;
            EXPECT_EQ(dx.FileClose(h), 0) << row;
            EXPECT_EQ(contents("out"), expected_file) << row;
        };

        for (const NumberRead &r : number_reads) {
            const double h = start();
            EXPECT_EQ((dx.*r.read)(h), r.on_failure) << m.mode << " " << r.name;
            finish(h, std::string(m.mode) + " " + r.name);
        }
        for (double count : string_counts) {
            const double h = start();
            const char *got = dx.FileReadString(h, count);
            const std::string row = std::string(m.mode) + " FileReadString " +
                                    std::to_string(static_cast<int>(count));
            EXPECT_EQ(std::string(got), all_ff(static_cast<std::size_t>(count))) << row;
            std::free(const_cast<char *>(got));
            finish(h, row);
        }
    }
}

#if defined(__GLIBC__)
// C leaves a read straight after a write on an update stream undefined (a
// seek belongs between them); glibc writes the output out first and reads
// on after it. Every read, bulk or not, keeps that output.
TEST_F(Fault, AReadRightAfterAWriteOnAnUpdateStreamKeepsTheWrite)
{
    const Bytes before = {'a', 'b', 'c', 'd', 'e', 'f'};
    const Bytes after = {'X', 'b', 'c', 'd', 'e', 'f'};
    for (double count : {3.0, 5000.0}) {
        const double h = open_with("update", before, "r+b");
        ASSERT_EQ(dx.FileWrite8(h, 'X'), 'X');
        const char *got = dx.FileReadString(h, count);
        EXPECT_EQ(std::string(got, 3), "bcd") << count;
        std::free(const_cast<char *>(got));
        EXPECT_EQ(dx.FileClose(h), 0) << count;
        EXPECT_EQ(contents("update"), after) << count;
    }
}
#endif

// Writing to a stream opened only for reading fails, and the stream reads on
// from where it was, from its buffer, with the file unchanged.
TEST_F(Fault, WritesOnAReadOnlyStreamFailAndLeaveTheReadingIntact)
{
    const Bytes bytes = {10, 11, 12, 13};
    for (const Write &w : writes()) {
        const double h = open_with("in", bytes);
        ASSERT_EQ(dx.FileRead8(h), 10) << w.name;  // the buffer now holds the file
        EXPECT_EQ(w.write(dx, h), w.on_failure) << w.name;
        EXPECT_EQ(dx.FileTell(h), 1) << w.name;
        EXPECT_EQ(dx.FileRead8(h), 11) << w.name;
        EXPECT_EQ(dx.FileRead16(h), 13 * 256 + 12) << w.name;
        EXPECT_EQ(dx.FileIsEOF(h), 0) << w.name;
        EXPECT_EQ(dx.FileClose(h), 0) << w.name;
        EXPECT_EQ(contents("in"), bytes) << w.name;
    }
    // Writing nothing cannot fail.
    const double h = open_with("in", bytes);
    EXPECT_EQ(dx.FileWriteString(h, ""), 0);
}

// Windows opens no directory and removes no file that is open: those cases
// are in windows_test.cpp.
#if !defined(_WIN32)

TEST_F(Fault, ADirectoryOpensForReadingOnlyAndEveryReadFails)
{
    std::filesystem::create_directory(path("folder"));
    for (const char *mode : {"wb", "ab", "r+b", "w+b", "a+b"})
        EXPECT_EQ(open("folder", mode), -1) << mode;

    // Linux opens a directory read-only; the reads then fail.
    const double h = open("folder", "rb");
    ASSERT_EQ(h, 0);
    for (const NumberRead &r : number_reads)
        EXPECT_EQ((dx.*r.read)(h), r.on_failure) << r.name;
    for (double count : {4.0, 5000.0}) {
        const char *got = dx.FileReadString(h, count);
        EXPECT_EQ(std::string(got), all_ff(static_cast<std::size_t>(count))) << count;
        std::free(const_cast<char *>(got));
    }
    EXPECT_EQ(dx.FileIsEOF(h), 0);
    EXPECT_EQ(dx.FileWrite8(h, 1), -1);
    EXPECT_EQ(dx.FileClose(h), 0);
    EXPECT_TRUE(std::filesystem::is_directory(path("folder")));
}

// A removed file lives on for the streams open on it, and a new file of the
// same name gets none of their bytes.
TEST_F(Fault, AFileRemovedWhileOpenStaysUsableAndApart)
{
    const double reader = open_with("read", {1, 2, 3, 4, 5});
    const double writer = open("write", "wb");
    ASSERT_EQ(dx.FileWrite32(writer, 0x01020304), 1);
    std::filesystem::remove(path("read"));
    std::filesystem::remove(path("write"));

    EXPECT_EQ(dx.FileRead32(reader), 0x04030201);
    EXPECT_EQ(dx.FileSeek(reader, 0, 2), 0);
    EXPECT_EQ(dx.FileTell(reader), 5);

    const double replacement = open("write", "wb");
    EXPECT_EQ(dx.FileWriteString(replacement, "new"), 3);
    EXPECT_EQ(dx.FileWrite32(writer, 5), 1);
    EXPECT_EQ(dx.FileClose(writer), 0);
    EXPECT_EQ(dx.FileClose(replacement), 0);
    EXPECT_EQ(dx.FileClose(reader), 0);
    EXPECT_EQ(contents("write"), (Bytes{'n', 'e', 'w'}));
    EXPECT_FALSE(exists("read"));
}

#endif // !_WIN32

// After the file shrinks under a stream, a seek drops what the stream had
// buffered: reads then end at the new end, and writes beyond it leave a gap
// of zeros.
TEST_F(Fault, AFileTruncatedWhileOpenEndsWhereItNowEnds)
{
    const double reader = open_with("read", {1, 2, 3, 4, 5, 6, 7, 8});
    ASSERT_EQ(dx.FileRead8(reader), 1);
    std::filesystem::resize_file(path("read"), 2);
    ASSERT_EQ(dx.FileSeek(reader, 0, 0), 0);
    EXPECT_EQ(dx.FileRead32(reader), 0x0201);
    EXPECT_EQ(dx.FileIsEOF(reader), 16);
    EXPECT_EQ(dx.FileSeek(reader, 0, 2), 0);
    EXPECT_EQ(dx.FileTell(reader), 2);
    ASSERT_EQ(dx.FileSeek(reader, 4, 0), 0);
    EXPECT_EQ(dx.FileRead8(reader), -1);
    EXPECT_EQ(dx.FileIsEOF(reader), 16);

    const double writer = open_with("write", {1, 2, 3, 4, 5, 6, 7, 8}, "r+b");
    std::filesystem::resize_file(path("write"), 2);
    ASSERT_EQ(dx.FileSeek(writer, 4, 0), 0);
    EXPECT_EQ(dx.FileWrite8(writer, 9), 9);
    EXPECT_EQ(dx.FileClose(writer), 0);
    EXPECT_EQ(contents("write"), (Bytes{1, 2, 0, 0, 9}));
}

// A device that takes no byte: Linux's /dev/full, which wine also opens
// for a Windows program through its drive Z:, the root of the file system.
std::string full_device()
{
#if defined(_WIN32)
    if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") == nullptr)
        return "";
    return "Z:\\dev\\full";
#else
    return "/dev/full";
#endif
}

// On a full device, the write that has to write out the buffer (or a text
// too long for it) reports the failure, and the stream refuses until a
// seek; a byte buffered after that is reported by FileClose. Files open beside it are unaffected.
TEST_F(Fault, WritesToAFullDeviceReportTheFailure)
{
    const std::string device = full_device();
    if (device.empty())
        GTEST_SKIP() << "no full device on this system";
    const double neighbour = open("neighbour", "wb");
    ASSERT_EQ(dx.FileWriteString(neighbour, "safe"), 4);
    for (const Write &w : writes()) {
        const double h = dx.FileOpen(device.c_str(), "wb");
        ASSERT_EQ(h, 1) << w.name;
        double result = 0;
        int calls = 0;
        do
            result = w.write(dx, h);
        while (result != w.on_failure && ++calls < 100000);
        EXPECT_EQ(result, w.on_failure) << w.name << " never failed";
        // Where the lost output left the stream is unknown: it refuses
        // until a seek positions it again.
        EXPECT_EQ(dx.FileWrite8(h, 1), -1) << w.name << ": refused until a seek";
        EXPECT_EQ(dx.FileRead8(h), -1) << w.name;
        EXPECT_EQ(dx.FileTell(h), -1) << w.name;
        EXPECT_EQ(dx.FileSeek(h, 0, 1), -1) << w.name << ": there is no here to count from";
        EXPECT_EQ(dx.FileSeek(h, 0, 0), 0) << w.name;
        EXPECT_EQ(dx.FileTell(h), 0) << w.name;
        EXPECT_EQ(dx.FileWrite8(h, 1), 1) << w.name << ": the emptied buffer takes a byte";
        EXPECT_EQ(dx.FileClose(h), -1) << w.name << ": which cannot be written";
    }
    EXPECT_EQ(dx.FileClose(neighbour), 0);
    EXPECT_EQ(contents("neighbour"), (Bytes{'s', 'a', 'f', 'e'}));
}

// Every call that makes the C runtime write buffered output out, on a full
// device: the output is lost, and the call reports it where it can; FileClose
// (or FileCloseAll) reports it whichever call made the write-out. A refused
// seek writes nothing out and leaves the output buffered for the close. (A
// close alone: WritesToAFullDeviceReportTheFailure.)
TEST_F(Fault, OutputLostOnAFullDeviceIsReportedWhicheverCallWritesItOut)
{
    const std::string device = full_device();
    if (device.empty())
        GTEST_SKIP() << "no full device on this system";
    constexpr double not_checked = -99;
    using Call = double (*)(const Api &, double);
    const Call read8 = [](const Api &dx, double h) { return dx.FileRead8(h); };
    const Call read32 = [](const Api &dx, double h) { return dx.FileRead32(h); };
    const Call refused_seek = [](const Api &dx, double h) { return dx.FileSeek(h, -1, 0); };
    const Call seek_start = [](const Api &dx, double h) { return dx.FileSeek(h, 0, 0); };
    const Call seek_here = [](const Api &dx, double h) { return dx.FileSeek(h, 0, 1); };
    const Call seek_end = [](const Api &dx, double h) { return dx.FileSeek(h, 0, 2); };
    const Call tell = [](const Api &dx, double h) { return dx.FileTell(h); };
    const struct {
        const char *mode;
        const char *call;
        Call make;
        double result;
        double position_after;  // FileTell after the call
        bool close_all;         // closed by FileCloseAll rather than FileClose
    } rows[] = {
        {"w+b", "FileRead8", read8, -1, not_checked, false},
        {"wb", "FileRead8", read8, -1, not_checked, false},
        {"r+b", "FileRead8", read8, -1, not_checked, false},
        {"w+b", "FileRead32", read32, 0, not_checked, false},
        {"r+b", "FileRead8, then FileCloseAll", read8, -1, not_checked, true},
        {"wb", "FileSeek(h, -1, 0)", refused_seek, -1, 5, false},
        {"w+b", "FileSeek(h, -1, 0)", refused_seek, -1, 5, false},
        {"wb", "FileSeek(h, 0, 0)", seek_start, -1, not_checked, false},
        {"wb", "FileSeek(h, 0, 1), then FileCloseAll", seek_here, -1, not_checked, true},
        {"wb", "FileSeek(h, 0, 2)", seek_end, -1, not_checked, false},
        {"wb", "FileTell", tell, 5, 5, false},
    };
    for (const auto &row : rows) {
        const std::string name = std::string(row.mode) + ", " + row.call;
        const double h = dx.FileOpen(device.c_str(), row.mode);
        ASSERT_EQ(h, 0) << name;
        EXPECT_EQ(dx.FileWriteString(h, "hello"), 5) << name;
        EXPECT_EQ(row.make(dx, h), row.result) << name;
        EXPECT_EQ(dx.FileIsEOF(h), 0) << name << ": a failed write-out is no end of file";
        if (row.position_after != not_checked) {
            EXPECT_EQ(dx.FileTell(h), row.position_after) << name;
        }
        EXPECT_EQ(row.close_all ? dx.FileCloseAll() : dx.FileClose(h), -1)
            << name << ": the output never reached the device";
    }
}

#if defined(__linux__)

// A pipe has no position: FileTell and FileSeek fail, while bytes still
// go through.
TEST_F(Fault, AStreamWithoutPositionsReportsNoneAndDoesNotMove)
{
    ASSERT_EQ(mkfifo(path("pipe").c_str(), 0600), 0);
    // Read and write at once, so the open does not wait for a partner.
    const double h = open("pipe", "r+b");
    ASSERT_EQ(h, 0);
    EXPECT_EQ(dx.FileTell(h), -1);
    EXPECT_EQ(dx.FileWriteString(h, "abc"), 3);
    EXPECT_EQ(dx.FileSeek(h, 0, 0), -1);
    EXPECT_EQ(dx.FileSeek(h, 0, 1), -1);
    EXPECT_EQ(dx.FileIsEOF(h), 0);
    EXPECT_EQ(dx.FileClose(h), 0);
}

// Checks made in a child process, where gtest's own checks cannot report:
// each failure is printed and counted, and the count is the exit status.
class ChildChecks {
public:
    void expect(bool ok, const char *what)
    {
        if (!ok) {
            std::fprintf(stderr, "child: failed: %s\n", what);
            ++failed_;
        }
    }
    int failed() const { return failed_ < 100 ? failed_ : 100; }

private:
    int failed_ = 0;
};

// Runs body in a forked child, so that a lowered limit never reaches the
// rest of the suite; returns the child's failure count, or 200 + the signal
// that ended it.
int in_child(const std::function<void(ChildChecks &)> &body)
{
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        ChildChecks checks;
        body(checks);
        _exit(checks.failed());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
}

// With no descriptor free, FileOpen fails with -1 and leaves its slot
// empty; once descriptors are free again the same slot is
// handed out.
TEST_F(Fault, OpensWithNoDescriptorsLeftFailAndLeaveTheSlotEmpty)
{
    ASSERT_EQ(open_with("kept", {42}), 0);
    const std::string created = path("created");
    const std::string kept = path("kept");
    const int failures = in_child([&](ChildChecks &check) {
        rlimit original{};
        getrlimit(RLIMIT_NOFILE, &original);
        // The lowest free descriptor becomes the limit, and the descriptors
        // below it that are still free (a loader or a tool may keep its own
        // limit) are taken too.
        const int lowest_free = dup(0);
        close(lowest_free);
        rlimit lowered = original;
        lowered.rlim_cur = static_cast<rlim_t>(lowest_free);
        setrlimit(RLIMIT_NOFILE, &lowered);
        std::vector<int> taken;
        for (int fd; (fd = dup(0)) >= 0;)
            taken.push_back(fd);

        check.expect(dx.FileOpen(created.c_str(), "wb") == -1, "an open for writing fails");
        check.expect(dx.FileOpen(kept.c_str(), "rb") == -1, "an open for reading fails");
        check.expect(dx.FileRead8(1) == -1, "slot 1 stays empty");
        check.expect(dx.FileClose(1) == -1, "slot 1 has nothing to close");
        check.expect(dx.FileRead8(0) == 42, "slot 0 reads on");

        for (int fd : taken)
            close(fd);
        setrlimit(RLIMIT_NOFILE, &original);
        check.expect(dx.FileOpen(created.c_str(), "wb") == 1, "the next open takes slot 1");
        check.expect(dx.FileWrite8(1, 7) == 7, "and writes");
        check.expect(dx.FileClose(1) == 0, "and closes");
    });
    EXPECT_EQ(failures, 0);
}

// A child's exit status for an address-space limit that the system takes
// but does not apply: qemu-user accepts setrlimit(RLIMIT_AS) from its guest
// and ignores it, since guest and emulator share one address space.
constexpr int address_limit_not_applied = 150;

// The address space in use now, in bytes.
rlim_t address_space_in_use()
{
    unsigned long pages = 0;
    if (FILE *statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%lu", &pages) != 1)
            pages = 0;
        std::fclose(statm);
    }
    return static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
}

// When the block cannot be allocated, FileReadString returns the failure
// string and consumes nothing; with memory back, the same read works.
TEST_F(Fault, ReadStringWithNoMemoryLeftReturnsTheFailureString)
{
    const double h = open_with("in", {'x', 'y'});
    ASSERT_EQ(h, 0);
    const char *failure = dx.FileReadString(-1, 0);
    const int failures = in_child([&](ChildChecks &check) {
        rlimit original{};
        getrlimit(RLIMIT_AS, &original);
        // Room for small blocks, none for 2^31 bytes.
        rlimit lowered = original;
        lowered.rlim_cur = address_space_in_use() + (rlim_t{64} << 20);
        check.expect(setrlimit(RLIMIT_AS, &lowered) == 0, "the limit is lowered");
        rlimit applied{};
        if (getrlimit(RLIMIT_AS, &applied) != 0 || applied.rlim_cur != lowered.rlim_cur)
            _exit(address_limit_not_applied);
        const char *got = dx.FileReadString(h, 2147483647);
        check.expect(got == failure, "the failure string comes back");
        setrlimit(RLIMIT_AS, &original);
        check.expect(dx.FileTell(h) == 0, "nothing was consumed");
        check.expect(dx.FileIsEOF(h) == 0, "the end was not reached");
        const char *again = dx.FileReadString(h, 3);
        check.expect(again != failure && std::memcmp(again, "xy\xFF", 4) == 0,
                     "the read works with memory back");
        if (again != failure)
            std::free(const_cast<char *>(again));
    });
    if (failures == address_limit_not_applied)
        GTEST_SKIP() << "no address-space limit can be set here (an emulator?)";
    EXPECT_EQ(failures, 0);
}

#endif

} // namespace
