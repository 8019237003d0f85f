// File names on Windows: which names reach the runtime as UTF-16, the wide
// path each is given, and files made through the DLL found again by their
// UTF-16 names.
#include "dravenix_test.h"
#include "win/file_names.h"

#include <windows.h>

#include <cstdlib>
#include <set>
#include <string>
#include <utility>

namespace {

using dravenix::NameRoute;
using WindowsNames = DravenixTest;

std::wstring units(std::initializer_list<unsigned> list)
{
    std::wstring text;
    for (unsigned unit : list)
        text += static_cast<wchar_t>(unit);
    return text;
}

std::wstring wide_of(const std::string &utf8)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
    return wide;
}

// Another current folder for as long as this lives.
class CurrentFolder {
public:
    explicit CurrentFolder(const std::wstring &folder)
    {
        GetCurrentDirectoryW(MAX_PATH, previous_);
        EXPECT_TRUE(SetCurrentDirectoryW(folder.c_str()));
    }
    ~CurrentFolder() { SetCurrentDirectoryW(previous_); }

private:
    wchar_t previous_[MAX_PATH] = {};
};

// What wide_path_for makes of a name: the route, and the path for _wfopen.
std::pair<NameRoute, std::wstring> route_of(const std::string &name)
{
    wchar_t *wide = nullptr;
    const NameRoute route = dravenix::wide_path_for(name.c_str(), &wide);
    std::wstring path = wide != nullptr ? wide : L"";
    std::free(wide);
    EXPECT_EQ(wide != nullptr, route == NameRoute::wide) << name.substr(0, 40);
    return {route, path};
}

// Every kind of name and the path handed on for it. Code-page rows assume
// the prefix's ANSI code page, 1252; relative ones resolve against C:\.
TEST(WindowsNameRoute, EachNameReachesTheRuntimeInTheRightForm)
{
    ASSERT_EQ(GetACP(), 1252u);
    const CurrentFolder folder(L"C:\\");
    const std::string a300(300, 'a');
    const std::wstring wa300(300, L'a');
    const std::wstring verbatim = L"\\\\?\\";

    // To fopen unchanged: ASCII and code-page bytes, including every way
    // bytes above 127 can fail to be well-formed UTF-8, and full paths of
    // up to 259 characters.
    const std::string narrow[] = {
        "plain.bin", "C:\\folder\\..\\plain.bin", "\\\\server\\share\\plain.bin",
        "\\\\?\\C:\\plain.bin", "caf\xE9-ansi.bin", "\xE9t\xE9.bin", "\x80", "\xFF",
        "\xC3", "\xC3(", "\xE6\x97.bin", "\xE9\x80\x80\x80",    // cut short, one too many
        "\xC0\xAF", "\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF",  // overlong
        "\xED\xA0\x80", "\xED\xBF\xBF",                            // surrogates
        "\xF4\x90\x80\x80", "\xF5\x80\x80\x80",                    // past U+10FFFF
        "C:\\" + std::string(256, 'a'), std::string(256, 'a'),
    };
    for (const auto &name : narrow)
        EXPECT_EQ(route_of(name), std::make_pair(NameRoute::narrow, std::wstring())) << name.substr(0, 40);

    // No path: nothing past 32767 units, with the \\?\ prefix.
    const std::string refused[] = {
        "", "C:\\" + std::string(32761, 'a'), std::string(40000, 'a'), "\xC3\xA9" + std::string(32767, 'a'),
    };
    for (const auto &name : refused)
        EXPECT_EQ(route_of(name), std::make_pair(NameRoute::refused, std::wstring())) << name.substr(0, 40);

    const struct {
        std::string name;
        std::wstring wide;
    } wide[] = {
        // UTF-8, as given while short.
        {"caf\xC3\xA9-\xE6\x97\xA5\xE6\x9C\xAC.bin", L"caf" + units({0xE9, '-', 0x65E5, 0x672C}) + L".bin"},
        {"\xF0\x9F\x93\x81-data.bin", units({0xD83D, 0xDCC1}) + L"-data.bin"},
        {"C:\\dossier\\..\\\xC3\xA9t\xC3\xA9", L"C:\\dossier\\..\\" + units({0xE9, 't', 0xE9})},
        {"\xC3\xA9", units({0xE9})},  // "A tilde, copyright sign" in code page 1252
        {"\xC2\x80\xDF\xBF", units({0x80, 0x7FF})},
        {"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF", units({0x800, 0xD7FF, 0xE000, 0xFFFF})},
        {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", units({0xD800, 0xDC00, 0xDBFF, 0xDFFF})},
        {"\\\\?\\C:\\\xC3\xA9", verbatim + L"C:\\" + units({0xE9})},
        // Full paths of 260 characters or more, any encoding: resolved, then
        // the \\?\ form.
        {"C:\\" + std::string(257, 'a'), verbatim + L"C:\\" + std::wstring(257, L'a')},
        {std::string(257, 'a'), verbatim + L"C:\\" + std::wstring(257, L'a')},
        {"x\\..\\.\\" + a300, verbatim + L"C:\\" + wa300},
        {"C:/x/../" + a300 + "/./\xC3\xA9.bin", verbatim + L"C:\\" + wa300 + L"\\" + units({0xE9}) + L".bin"},
        {"C:\\" + a300 + "\\caf\xE9", verbatim + L"C:\\" + wa300 + L"\\caf" + units({0xE9})},
        {"\\\\server\\share\\" + a300, verbatim + L"UNC\\server\\share\\" + wa300},
        {"//server/share/" + a300, verbatim + L"UNC\\server\\share\\" + wa300},
        {"C:\\" + std::string(32760, 'a'), verbatim + L"C:\\" + std::wstring(32760, L'a')},
        // Already in the \\?\ form: handed on as it is.
        {"\\\\?\\C:\\x\\..\\" + a300, verbatim + L"C:\\x\\..\\" + wa300},
    };
    for (const auto &row : wide)
        EXPECT_EQ(route_of(row.name), std::make_pair(NameRoute::wide, row.wide)) << row.name.substr(0, 40);
}

// A file made through the DLL under a name, found again by its UTF-16 name.
struct NamedFile {
    std::string name;      // as the host passes it
    std::wstring on_disk;  // as the file system holds it
};

const NamedFile named_files[] = {
    {"Jos\xC3\xA9-\xC3\xB1" "and\xC3\xBA.bin", L"Jos" + units({0xE9, '-', 0xF1}) + L"and" + units({0xFA}) + L".bin"},
    {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.bin", units({0x65E5, 0x672C, 0x8A9E}) + L".bin"},
    {"caf\xC3\xA9-\xE6\x97\xA5\xE6\x9C\xAC.bin", L"caf" + units({0xE9, '-', 0x65E5, 0x672C}) + L".bin"},
    {"\xF0\x9F\x93\x81-data.bin", units({0xD83D, 0xDCC1}) + L"-data.bin"},
    {"caf\xE9-ansi.bin", L"caf" + units({0xE9}) + L"-ansi.bin"},  // code page 1252
    {"\xE9t\xE9.bin", units({0xE9, 't', 0xE9}) + L".bin"},
    {"plain-ascii.bin", L"plain-ascii.bin"},
};

// The names of the files in a folder, as the wide API lists them.
std::set<std::wstring> listing(const std::wstring &folder)
{
    std::set<std::wstring> names;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            names.insert(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

// The bytes of a file, read through the wide API.
Bytes read_wide(const std::wstring &path)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {};
    Bytes bytes(16);
    DWORD read = 0;
    ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    bytes.resize(read);
    return bytes;
}

// Writes one byte to the file under the name, then finds it by its UTF-16
// name and reads the byte back, both with the wide API and through the DLL.
void write_and_find(Api &dx, const std::string &name, const std::wstring &wide_path, double byte)
{
    const double h = dx.FileOpen(name.c_str(), "wb");
    ASSERT_EQ(h, 0) << name.substr(0, 40);
    EXPECT_EQ(dx.FileWrite8(h, byte), byte);
    ASSERT_EQ(dx.FileClose(h), 0);
    EXPECT_EQ(read_wide(wide_path), Bytes{static_cast<unsigned char>(byte)}) << name.substr(0, 40);
    const double again = dx.FileOpen(name.c_str(), "rb");
    ASSERT_EQ(again, 0) << name.substr(0, 40);
    EXPECT_EQ(dx.FileRead8(again), byte) << name.substr(0, 40);
    EXPECT_EQ(dx.FileClose(again), 0);
}

// DRAVENIX_KEEP_NAMED_FILES=1 keeps the files in names-from-wine beside
// this program, for a check of their names from the Linux side.
TEST_F(WindowsNames, UTF8AndCodePageNamesCreateTheFilesTheySpell)
{
    ASSERT_EQ(GetACP(), 1252u);
    const char *keep = std::getenv("DRAVENIX_KEEP_NAMED_FILES");
    const std::string folder = keep != nullptr && std::string(keep) == "1"
                                   ? Module::beside_this_program("names-from-wine")
                                   : path("names");
    const std::wstring wide_folder = wide_of(folder);
    ASSERT_TRUE(CreateDirectoryW(wide_folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    std::set<std::wstring> expected;
    double byte = 10;
    for (const auto &file : named_files) {
        DeleteFileW((wide_folder + L"\\" + file.on_disk).c_str());
        write_and_find(dx, folder + "\\" + file.name, wide_folder + L"\\" + file.on_disk, ++byte);
        expected.insert(file.on_disk);
    }
    EXPECT_EQ(listing(wide_folder), expected) << "a file under another name";
}

// About 400 characters, with UTF-8 in every component below the scratch
// folder, opened by its absolute path and by a relative one with "/", "."
// and "..".
TEST_F(WindowsNames, PathsOf400CharactersOpen)
{
    const std::string first = "donn\xC3\xA9" "es-" + std::string(120, 'd');
    const std::string second = "\xE6\x97\xA5\xE6\x9C\xAC-" + std::string(120, 'n');
    const std::string leaf = "\xF0\x9F\x93\x81-" + std::string(100, 'f') + ".bin";
    const std::wstring scratch = wide_of(path(""));  // ends in a separator
    const std::wstring verbatim = L"\\\\?\\" + scratch;
    ASSERT_TRUE(CreateDirectoryW((verbatim + wide_of(first)).c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((verbatim + wide_of(first + "\\" + second)).c_str(), nullptr));
    const std::string relative = first + "\\" + second + "\\" + leaf;
    const std::wstring wide_file = verbatim + wide_of(relative);

    // Joined by hand: std::filesystem would read the UTF-8 in the code page.
    const std::string absolute = path("") + relative;
    ASSERT_GE(absolute.size(), 400u);
    ASSERT_GE(wide_of(absolute).size(), 360u);
    write_and_find(dx, absolute, wide_file, 7);
    {
        const CurrentFolder current(scratch);
        write_and_find(dx, first + "/./" + second + "/../" + second + "/" + leaf, wide_file, 8);
    }
    EXPECT_EQ(listing(verbatim + wide_of(first + "\\" + second)), std::set<std::wstring>{wide_of(leaf)});
    // The scratch folder's own removal may not reach this deep.
    DeleteFileW(wide_file.c_str());
    RemoveDirectoryW((verbatim + wide_of(first + "\\" + second)).c_str());
    RemoveDirectoryW((verbatim + wide_of(first)).c_str());
}

// Names for which no path can be formed fail without creating anything,
// and use no slot.
TEST_F(WindowsNames, NamesWithoutAPathFailCleanly)
{
    const std::string folder = path("empty");
    const std::wstring wide_folder = wide_of(folder);
    ASSERT_TRUE(CreateDirectoryW(wide_folder.c_str(), nullptr));
    for (const std::string &name : {folder + "\\" + std::string(33000, 'a'),
                                    folder + "\\\xC3\xA9" + std::string(32767, 'e'), std::string()}) {
        EXPECT_EQ(dx.FileOpen(name.c_str(), "wb"), -1) << name.size();
        EXPECT_EQ(dx.FileOpen(name.c_str(), "ab"), -1) << name.size();
    }
    EXPECT_EQ(listing(wide_folder), std::set<std::wstring>{});
    EXPECT_EQ(dx.FileOpen((folder + "\\x").c_str(), "wb"), 0);
}

} // namespace
