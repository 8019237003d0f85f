// What only the Windows builds have: export numbers, the module's own name,
// its imports, the version resource, the runtime's fopen modes and text mode,
// the runtime's 64-bit seek, and Windows' own file faults (directories,
// files open elsewhere, read-only files).
#include "dravenix_test.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>
#include <string>

namespace {

using Windows = DravenixTest;

// The export numbers, in the alphabetical order of the names.
const char *const exports_by_ordinal[] = {
    "FileClose",   "FileCloseAll", "FileIsEOF",      "FileOpen",
    "FileRead16",  "FileRead32",   "FileRead8",      "FileReadDouble",
    "FileReadString", "FileSeek",  "FileTell",       "FileWrite16",
    "FileWrite32", "FileWrite8",   "FileWriteDouble", "FileWriteString",
};

// The loaded image's headers, found the way the loader finds them.
const IMAGE_NT_HEADERS *nt_headers(HMODULE module)
{
    const auto *base = reinterpret_cast<const unsigned char *>(module);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    return reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
}

template <typename T>
const T *at_rva(HMODULE module, DWORD rva)
{
    return reinterpret_cast<const T *>(reinterpret_cast<const unsigned char *>(module) + rva);
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

TEST_F(Windows, ExportNumbersFindTheSameFunctionsAsTheNames)
{
    const HMODULE module = module_handle();
    for (WORD ordinal = 1; ordinal <= 16; ++ordinal) {
        const char *name = exports_by_ordinal[ordinal - 1];
        const FARPROC by_name = GetProcAddress(module, name);
        ASSERT_NE(by_name, nullptr) << name;
        EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(ordinal)), by_name)
            << ordinal << " " << name;
    }
    EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(17)), nullptr);
    // x86 names carry no decoration: neither "_FileOpen" nor "FileOpen@8".
    for (const char *decorated : {"_FileOpen", "FileOpen@8", "_FileOpen@8", "DllMain", "DllMain@12"})
        EXPECT_EQ(GetProcAddress(module, decorated), nullptr) << decorated;
}

TEST_F(Windows, ExportDirectoryNamesTheModuleAndHoldsTheSixteenOnly)
{
    const HMODULE module = module_handle();
    const IMAGE_DATA_DIRECTORY &entry =
        nt_headers(module)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(entry.VirtualAddress, 0u);
    const auto *exports = at_rva<IMAGE_EXPORT_DIRECTORY>(module, entry.VirtualAddress);

    EXPECT_STREQ(at_rva<char>(module, exports->Name), "Dravenix.dll");
    EXPECT_EQ(exports->Base, 1u);
    ASSERT_EQ(exports->NumberOfFunctions, 16u);
    ASSERT_EQ(exports->NumberOfNames, 16u);
    const auto *names = at_rva<DWORD>(module, exports->AddressOfNames);
    const auto *ordinals = at_rva<WORD>(module, exports->AddressOfNameOrdinals);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        const char *name = at_rva<char>(module, names[i]);
        ASSERT_LT(ordinals[i], 16u) << name;
        EXPECT_STREQ(name, exports_by_ordinal[ordinals[i]]) << "ordinal " << ordinals[i] + 1;
    }
}

// The DLL must load on a bare Windows: no compiler runtime DLL beside it.
TEST_F(Windows, ImportsOnlyTheSystemDlls)
{
    const HMODULE module = module_handle();
    const IMAGE_DATA_DIRECTORY &entry =
        nt_headers(module)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::set<std::string> imported;
    if (entry.VirtualAddress != 0)
        for (auto *d = at_rva<IMAGE_IMPORT_DESCRIPTOR>(module, entry.VirtualAddress); d->Name != 0; ++d)
            imported.insert(lower(at_rva<char>(module, d->Name)));
#if defined(_UCRT) || defined(_MSC_VER)
    // UCRT's functions come through its api-ms-win-crt-* names (or
    // ucrtbase.dll itself), and nothing from msvcrt.dll.
    EXPECT_EQ(imported.count("kernel32.dll"), 1u);
    for (const std::string &dll : imported)
        EXPECT_TRUE(dll == "kernel32.dll" || dll == "ucrtbase.dll" ||
                    dll.rfind("api-ms-win-crt-", 0) == 0)
            << dll;
#else
    EXPECT_EQ(imported, (std::set<std::string>{"kernel32.dll", "msvcrt.dll"}));
#endif
    EXPECT_EQ(nt_headers(module)
                  ->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT]
                  .VirtualAddress,
              0u) << "delay-loaded imports";
}

TEST_F(Windows, VersionResourceReadsBack)
{
    const std::string file = Module::path();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &ignored);
    ASSERT_GT(size, 0u) << file;
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(file.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void **>(&fixed), &length));
    ASSERT_GE(length, sizeof *fixed);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    const struct {
        const char *field;
        DWORD value, expected;
    } numbers[] = {
        {"file version, high", fixed->dwFileVersionMS, MAKELONG(1, 0)},     // 0.1
        {"file version, low", fixed->dwFileVersionLS, MAKELONG(1, 1)},      // 1.1
        {"product version, high", fixed->dwProductVersionMS, MAKELONG(1, 0)},
        {"product version, low", fixed->dwProductVersionLS, MAKELONG(1, 1)},
        {"file type", fixed->dwFileType, VFT_DLL},
    };
    for (const auto &n : numbers)
        EXPECT_EQ(n.value, n.expected) << n.field;

    WORD *translation = nullptr;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                               reinterpret_cast<void **>(&translation), &length));
    ASSERT_EQ(length, 2 * sizeof(WORD));
    EXPECT_EQ(translation[0], 0x0409);  // U.S. English
    EXPECT_EQ(translation[1], 1252);    // Windows Latin-1

    const struct {
        const char *name, *expected;
    } texts[] = {
        {"ProductName", "Dravenix"},
        {"OriginalFilename", "Dravenix"},
        {"ProductVersion", "1.0"},
        {"FileVersion", "0.1.1.1"},
    };
    for (const auto &t : texts) {
        const std::string key = std::string("\\StringFileInfo\\040904E4\\") + t.name;
        char *value = nullptr;
        ASSERT_TRUE(VerQueryValueA(block.data(), key.c_str(), reinterpret_cast<void **>(&value), &length))
            << t.name;
        EXPECT_STREQ(value, t.expected) << t.name;
    }
}

// A mode without "b" is passed to msvcrt.dll as it is, which translates
// line ends: "\n" is stored as "\r\n" and read back as "\n".
TEST_F(Windows, TextModesArePassedThrough)
{
    const struct {
        const char *mode;
        Bytes on_disk;
    } table[] = {
        {"w", {'a', '\r', '\n', 'b'}},
        {"wt", {'a', '\r', '\n', 'b'}},
        {"w+", {'a', '\r', '\n', 'b'}},
        {"wb", {'a', '\n', 'b'}},
        {"w+b", {'a', '\n', 'b'}},
    };
    for (const auto &row : table) {
        const double h = open("text", row.mode);
        ASSERT_EQ(h, 0) << row.mode;
        EXPECT_EQ(dx.FileWriteString(h, "a\nb"), 3) << row.mode;
        ASSERT_EQ(dx.FileClose(h), 0) << row.mode;
        EXPECT_EQ(contents("text"), row.on_disk) << row.mode;
    }

    const double h = open_with("crlf", {'a', '\r', '\n', 'b'}, "r");
    for (double byte : {'a', '\n', 'b'})
        EXPECT_EQ(dx.FileRead8(h), byte);
    EXPECT_EQ(dx.FileRead8(h), -1);
}

// In text mode a position counts the bytes in the file, where "\n" is two:
// FileTell, seeks from the end and refused seeks agree with what is on disk.
TEST_F(Windows, TextModePositionsCountTheBytesInTheFile)
{
    for (const char *mode : {"w+", "w+t", "wt+"}) {
        const double h = open("text", mode);
        ASSERT_EQ(h, 0) << mode;
        EXPECT_EQ(dx.FileWriteString(h, "a\nb\n"), 4) << mode;
        EXPECT_EQ(dx.FileTell(h), 6) << mode;
        ASSERT_EQ(dx.FileSeek(h, 0, 0), 0) << mode;
        const struct {
            double byte, position_after;
        } reads[] = {{'a', 1}, {'\n', 3}, {'b', 4}, {'\n', 6}, {-1, 6}};
        for (const auto &read : reads) {
            EXPECT_EQ(dx.FileRead8(h), read.byte) << mode;
            EXPECT_EQ(dx.FileTell(h), read.position_after) << mode << " after " << read.byte;
        }
        ASSERT_EQ(dx.FileSeek(h, -3, 2), 0) << mode;
        EXPECT_EQ(dx.FileRead8(h), 'b') << mode;
        EXPECT_EQ(dx.FileSeek(h, -7, 2), -1) << mode;
        EXPECT_EQ(dx.FileTell(h), 4) << mode;
        EXPECT_EQ(dx.FileRead8(h), '\n') << mode;
        ASSERT_EQ(dx.FileClose(h), 0) << mode;
        EXPECT_EQ(contents("text"), (Bytes{'a', '\r', '\n', 'b', '\r', '\n'})) << mode;
    }
}

// msvcrt.dll sends a mode it does not know to its invalid-parameter handler,
// whose default ends the process, so such modes must be refused before the
// call. Reaching the handler would end this test program.
TEST_F(Windows, OnlyModesMsvcrtAcceptsReachIt)
{
    for (const char *mode : {"r", "rb", "rt", "r+", "r+b", "rb+", "r+t", "rt+",
                             "w", "wb", "w+", "wb+", "a", "ab", "a+", "a+b", "ab+", "at"}) {
        const double h = open_with("present", {1}, mode);
        EXPECT_EQ(h, 0) << '"' << mode << '"';
        EXPECT_EQ(dx.FileCloseAll(), 0);
    }
    for (const char *mode : {"", "R", " r", "rw", "r++", "rbb", "rbt", "rtb", "wx", "rc", "rn",
                             "rN", "rS", "rR", "rT", "rD", "r,ccs=UTF-8", "r ", "q", "\x80"}) {
        EXPECT_EQ(open_with("present", {1}, mode), -1) << '"' << mode << '"';
        EXPECT_EQ(open("absent", mode), -1) << '"' << mode << '"';
        EXPECT_FALSE(exists("absent")) << '"' << mode << '"';
    }
}

// mingw-w64 links its own _fseeki64 for the system msvcrt.dll, built on
// fsetpos: every successful seek, from any origin, must land exactly and
// clear the end-of-file indicator; a refused one must leave it set.
TEST_F(Windows, EverySuccessfulSeekClearsEndOfFile)
{
    const double h = open_with("f", {1, 2, 3, 4});
    const struct {
        double offset, origin;
        double result, position, eof_after;
    } table[] = {
        {0, 1, 0, 4, 0},    // a seek that moves nothing still clears it
        {0, 2, 0, 4, 0},
        {-1, 2, 0, 3, 0},
        {2, 0, 0, 2, 0},
        {-1, 1, 0, 3, 0},
        {6, 2, 0, 10, 0},   // past the end
        {-5, 1, -1, 4, 16}, // before the start: refused, nothing changes
        {-5, 2, -1, 4, 16},
        {-1, 0, -1, 4, 16},
        {0, 3, -1, 4, 16},  // an origin the runtime would refuse never reaches it
        {0, -1, -1, 4, 16},
    };
    for (const auto &row : table) {
        ASSERT_EQ(dx.FileSeek(h, 0, 2), 0);
        EXPECT_EQ(dx.FileRead8(h), -1);
        ASSERT_EQ(dx.FileIsEOF(h), 16);
        EXPECT_EQ(dx.FileSeek(h, row.offset, row.origin), row.result)
            << row.offset << " from " << row.origin;
        EXPECT_EQ(dx.FileTell(h), row.position) << row.offset << " from " << row.origin;
        EXPECT_EQ(dx.FileIsEOF(h), row.eof_after) << row.offset << " from " << row.origin;
    }
}

// msvcrt.dll opens a directory in no mode, where Linux reads it as a file
// that fails every read.
TEST_F(Windows, ADirectoryOpensInNoMode)
{
    std::filesystem::create_directory(path("folder"));
    for (const char *mode : {"rb", "r", "wb", "ab", "r+b", "w+b", "a+b"})
        EXPECT_EQ(open("folder", mode), -1) << mode;
    EXPECT_TRUE(std::filesystem::is_directory(path("folder")));
    EXPECT_EQ(open("file", "wb"), 0) << "a refused open kept its slot";
}

// msvcrt.dll opens files without sharing delete access, so a file open in a
// slot cannot be removed under the stream, which reads on unharmed.
TEST_F(Windows, AFileOpenInASlotCannotBeRemoved)
{
    const double h = open_with("read", {1, 2, 3, 4, 5});
    std::error_code error;
    EXPECT_FALSE(std::filesystem::remove(path("read"), error));
    EXPECT_TRUE(error);
    EXPECT_EQ(dx.FileRead32(h), 0x04030201);
    EXPECT_EQ(dx.FileRead8(h), 5);
    ASSERT_EQ(dx.FileClose(h), 0);
    EXPECT_TRUE(std::filesystem::remove(path("read")));
}

// A file that may not be written opens for reading alone: every mode that
// would write returns -1, keeps no slot, and leaves the file as it was.
class WindowsLocked : public DravenixTest {
protected:
    void expect_reading_only(const std::string &name, const Bytes &bytes)
    {
        const struct {
            const char *mode;
            double handle;
        } table[] = {
            {"rb", 0}, {"r", 0}, {"r+b", -1}, {"wb", -1}, {"w+b", -1}, {"ab", -1}, {"a+b", -1},
        };
        for (const auto &row : table) {
            const double h = open(name, row.mode);
            EXPECT_EQ(h, row.handle) << row.mode;
            if (h >= 0) {
                EXPECT_EQ(dx.FileRead32(h), 0x04030201) << row.mode;
                EXPECT_EQ(dx.FileWrite8(h, 9), -1) << row.mode;
                EXPECT_EQ(dx.FileClose(h), 0) << row.mode;
            }
            EXPECT_EQ(contents(name), bytes) << row.mode;
        }
        EXPECT_EQ(open("other", "wb"), 0) << "a refused open kept its slot";
    }

    std::wstring wide(const std::string &name) const
    {
        return std::filesystem::path(path(name)).wstring();
    }
};

// Another program holds the file open and shares only reading with others.
TEST_F(WindowsLocked, AFileSharedForReadingOnly)
{
    const Bytes bytes = {1, 2, 3, 4};
    ASSERT_EQ(open_with("held", bytes), 0);
    ASSERT_EQ(dx.FileClose(0), 0);
    const HANDLE holder = CreateFileW(wide("held").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    expect_reading_only("held", bytes);
    CloseHandle(holder);
}

TEST_F(WindowsLocked, AReadOnlyFile)
{
    const Bytes bytes = {1, 2, 3, 4};
    ASSERT_EQ(open_with("locked", bytes), 0);
    ASSERT_EQ(dx.FileClose(0), 0);
    const std::wstring name = wide("locked");
    ASSERT_TRUE(SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_READONLY));
    // Wine keeps the attribute in the Unix permissions, which root passes.
    const HANDLE writer = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (writer != INVALID_HANDLE_VALUE) {
        CloseHandle(writer);
        SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL);
        GTEST_SKIP() << "this system lets a read-only file be written (wine run as root)";
    }
    expect_reading_only("locked", bytes);
    SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL);
}

} // namespace
